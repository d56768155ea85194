// The address list on its own: links libpeerbook.a and nothing else of ours.
#include "registry/peerbook.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<int> Fds(AddressList& list) {
  std::vector<int> fds;
  for (AddressNode* n = list.head; n != nullptr; n = n->next) fds.push_back(n->fd);
  return fds;
}

std::vector<int> Tags(AddressList& list) {
  std::vector<int> tags;
  for (AddressNode* n = list.head; n != nullptr; n = n->next) tags.push_back(n->tag);
  return tags;
}

std::string Print(AddressList& list) {
  testing::internal::CaptureStdout();
  list.MappingPrint();
  return testing::internal::GetCapturedStdout();
}

TEST(AddressList, EmptyListAnswersEveryQueryWithNothing) {
  AddressList list;
  EXPECT_EQ(list.Size(), 0);
  EXPECT_EQ(list.NewID(), 1);
  EXPECT_EQ(list.Find(1), nullptr);
  EXPECT_EQ(list.MappingFd("", 0), -1);
  EXPECT_FALSE(list.Remove(1));
  ProcessAddress probe;
  memset(&probe, 0x5A, sizeof probe);
  ProcessAddress untouched = probe;
  list.ToAddressArray(&probe);
  EXPECT_EQ(memcmp(&probe, &untouched, sizeof probe), 0) << "an empty list writes no record";
  EXPECT_FALSE(list.Lookup(1, &probe));
  std::unique_ptr<ProcessAddress[]> records;
  EXPECT_EQ(list.Snapshot(&records), 0);
  EXPECT_EQ(records, nullptr);
  EXPECT_EQ(Print(list), "");
}

TEST(AddressList, KeepsAscendingOrderAndInsertionOrderAmongEqualIds) {
  AddressList list;
  list.Add(5, 50, "h", "n", 1);
  list.Add(2, 20, "h", "n", 1);
  list.Add(3, 30, "h", "n", 1);
  EXPECT_EQ(Fds(list), (std::vector<int>{2, 3, 5}));
  EXPECT_EQ(list.NewID(), 6);
  list.Add(3, 31, "h", "n", 1);  // after the existing 3
  list.Add(1, 10, "h", "n", 1);  // new head
  list.Add(5, 51, "h", "n", 1);  // after the last node
  list.Add(3, 32, "h", "n", 1);
  EXPECT_EQ(Fds(list), (std::vector<int>{1, 2, 3, 3, 3, 5, 5}));
  EXPECT_EQ(Tags(list), (std::vector<int>{10, 20, 30, 31, 32, 50, 51}));
  EXPECT_EQ(list.Size(), 7);
  ASSERT_NE(list.Find(3), nullptr);
  EXPECT_EQ(list.Find(3)->tag, 30) << "Find gives the oldest of equal ids";
  EXPECT_TRUE(list.Remove(3));
  EXPECT_EQ(Tags(list), (std::vector<int>{10, 20, 31, 32, 50, 51})) << "Remove takes the oldest";
  EXPECT_EQ(list.Find(3)->tag, 31);
  EXPECT_EQ(list.Size(), 6);
}

TEST(AddressList, FillsGapsInTheMiddle) {
  AddressList list;
  for (int fd : {1, 3, 2, 5}) list.Add(fd, 0, "", "", 0);
  EXPECT_EQ(Fds(list), (std::vector<int>{1, 2, 3, 5}));
  list.Add(-4, 0, "", "", 0);
  EXPECT_EQ(Fds(list).front(), -4);
}

TEST(AddressList, AllocatesIdentifiersFromTheLargest) {
  AddressList list;
  EXPECT_EQ(list.Add(999, 7, "a", "b", 1)->fd, 1);
  EXPECT_EQ(list.Add(999, 7, "a", "b", 1)->fd, 2);
  list.Add(10, 0, "", "", 0);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 11);
  // A removed identifier comes back only when it was the largest.
  EXPECT_TRUE(list.Remove(2));
  EXPECT_EQ(list.NewID(), 12);
  EXPECT_TRUE(list.Remove(11));
  EXPECT_EQ(list.NewID(), 11);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 11);
  // The protocol values are not skipped.
  list.Add(996, 0, "", "", 0);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 997);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 998);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 999);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 1000);
  EXPECT_EQ(Fds(list), (std::vector<int>{1, 10, 11, 996, 997, 998, 999, 1000}));
}

TEST(AddressList, AllocatesTheLowestFreeIdOnceTheLargestIntIsTaken) {
  AddressList list;
  for (int fd : {1, 2, 4}) list.Add(fd, 0, "", "", 0);
  list.Add(INT32_MAX, 0, "", "", 0);
  EXPECT_EQ(list.NewID(), 3) << "no INT32_MAX + 1";
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 3);
  EXPECT_EQ(list.Add(999, 0, "", "", 0)->fd, 5);
  EXPECT_EQ(Fds(list), (std::vector<int>{1, 2, 3, 4, 5, INT32_MAX}));
}

TEST(AddressList, RemovesHeadMiddleAndLastAndIgnoresAbsentIds) {
  AddressList list;
  for (int fd : {1, 2, 3, 4}) list.Add(fd, 0, "", "", 0);
  EXPECT_FALSE(list.Remove(7));
  EXPECT_EQ(list.Size(), 4);
  EXPECT_TRUE(list.Remove(1));
  EXPECT_EQ(list.head->fd, 2);
  EXPECT_TRUE(list.Remove(3));
  EXPECT_TRUE(list.Remove(4));
  EXPECT_EQ(list.NewID(), 3);
  EXPECT_EQ(Fds(list), (std::vector<int>{2}));
  EXPECT_TRUE(list.Remove(2));
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.Size(), 0);
  EXPECT_EQ(list.NewID(), 1);
  EXPECT_FALSE(list.Remove(2));
}

TEST(AddressList, StoresFullWidthTextsWithoutTerminatorAndReadsThemByWidth) {
  const std::string longIp(200, 'a');
  const std::string longHost(40, 'h');
  AddressList list;
  AddressNode* node = list.Add(4, 0, longIp.c_str(), longHost.c_str(), 77);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(memcmp(node->ip, longIp.data(), 128), 0);
  EXPECT_EQ(memcmp(node->hostname, longHost.data(), 32), 0);

  // The record carries exactly the field bytes, and what follows each text
  // field is the next field, not a spilled terminator.
  ProcessAddress out[2];
  memset(out, 0x5A, sizeof out);
  list.ToAddressArray(out);
  EXPECT_EQ(out[0].fd, 4);
  EXPECT_EQ(memcmp(out[0].ip, longIp.data(), 128), 0);
  EXPECT_EQ(memcmp(out[0].hostname, longHost.data(), 32), 0);
  EXPECT_EQ(out[0].port, 77);
  const unsigned char* second = reinterpret_cast<const unsigned char*>(&out[1]);
  for (size_t i = 0; i < sizeof out[1]; ++i) ASSERT_EQ(second[i], 0x5A) << "byte " << i << " of the next record";

  // Output and comparison stop at the end of the field.
  EXPECT_EQ(Print(list), "fd:4 IP:" + std::string(128, 'a') + " Port:77\n");
  EXPECT_EQ(list.MappingFd(std::string(128, 'a').c_str(), 77), 4);
  EXPECT_EQ(list.MappingFd(longIp.c_str(), 77), 4) << "the text that was added finds its entry";
  EXPECT_EQ(list.MappingFd(std::string(127, 'a').c_str(), 77), -1);
}

TEST(AddressList, PadsShortTextsWithNul) {
  AddressList list;
  list.Add(1, -3, "10.0.0.1", "node", 5);
  ProcessAddress out;
  memset(&out, 0x5A, sizeof out);
  list.ToAddressArray(&out);
  ProcessAddress want;
  memset(&want, 0, sizeof want);
  want.fd = 1;
  want.tag = -3;
  memcpy(want.ip, "10.0.0.1", 8);
  memcpy(want.hostname, "node", 4);
  want.port = 5;
  EXPECT_EQ(memcmp(&out, &want, sizeof out), 0);
}

TEST(AddressList, MappingFdNeedsPortAndExactText) {
  AddressList list;
  list.Add(1, 0, "10.0.0.1", "", 5);
  list.Add(2, 0, "10.0.0.2", "", 5);
  list.Add(3, 0, "10.0.0.2", "", 6);
  list.Add(4, 0, "10.0.0.2", "", 6);
  EXPECT_EQ(list.MappingFd("10.0.0.2", 5), 2);
  EXPECT_EQ(list.MappingFd("10.0.0.2", 6), 3) << "the first in list order";
  EXPECT_EQ(list.MappingFd("10.0.0.1", 6), -1) << "text matches, port does not";
  EXPECT_EQ(list.MappingFd("10.0.0.3", 5), -1) << "port matches, text does not";
  EXPECT_EQ(list.MappingFd("10.0.0.", 5), -1) << "a prefix is not equal";
  EXPECT_EQ(list.MappingFd("10.0.0.10", 5), -1);
  list.Add(5, 0, "Host", "", 9);
  EXPECT_EQ(list.MappingFd("host", 9), -1) << "case-sensitive";
}

TEST(AddressList, PrintsOneFlushedLinePerEntryInOrder) {
  AddressList list;
  list.Add(2, 9, "10.0.0.2", "b", 2000);
  list.Add(1, 9, "10.0.0.1", "a", 1000);
  EXPECT_EQ(Print(list), "fd:1 IP:10.0.0.1 Port:1000\nfd:2 IP:10.0.0.2 Port:2000\n");
}

TEST(AddressList, ArrayMatchesSizeAfterAddsAndRemoves) {
  AddressList list;
  int added = 0, removed = 0;
  for (int i = 0; i < 30; ++i, ++added) list.Add((i * 7) % 11, i, "ip", "host", i);
  for (int fd : {0, 3, 3, 10, 42, 5}) removed += list.Remove(fd) ? 1 : 0;
  EXPECT_EQ(removed, 5) << "42 is absent";
  ASSERT_EQ(list.Size(), added - removed);

  const int n = list.Size();
  std::vector<ProcessAddress> out(static_cast<size_t>(n) + 1);
  memset(out.data(), 0x5A, sizeof(ProcessAddress) * out.size());
  list.ToAddressArray(out.data());
  std::vector<int> fds = Fds(list);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(out[i].fd, fds[i]);
    if (i > 0) {
      EXPECT_LE(out[i - 1].fd, out[i].fd);
    }
  }
  const unsigned char* past = reinterpret_cast<const unsigned char*>(&out[n]);
  for (size_t i = 0; i < sizeof(ProcessAddress); ++i) ASSERT_EQ(past[i], 0x5A) << "nothing past Size() records";

  std::unique_ptr<ProcessAddress[]> snap;
  ASSERT_EQ(list.Snapshot(&snap), n);
  EXPECT_EQ(memcmp(snap.get(), out.data(), sizeof(ProcessAddress) * n), 0);
}

TEST(AddressList, LookupCopiesTheFirstEntryOut) {
  AddressList list;
  list.Add(8, 1, "x", "y", 3);
  list.Add(8, 2, "z", "w", 4);
  ProcessAddress got;
  ASSERT_TRUE(list.Lookup(8, &got));
  EXPECT_EQ(got.tag, 1);
  EXPECT_STREQ(got.ip, "x");
  EXPECT_TRUE(list.Remove(8));
  EXPECT_EQ(got.tag, 1) << "the copy outlives the entry";
  ASSERT_TRUE(list.Lookup(8, &got));
  EXPECT_EQ(got.tag, 2);
}

// Threads that add, remove and read the same identifiers at once: without
// the lock, count drifts from the nodes, entries are lost, or a walk meets a
// freed node.
TEST(AddressList, SerialisesOperationsFromSeveralThreads) {
  AddressList list;
  const int kAdders = 4, kPerThread = 3000, kIds = 61;
  auto adder = [&list](int seed) {
    for (int i = 0; i < kPerThread; ++i) list.Add((seed + i) % kIds, i, "10.1.1.1", "h", i);
  };
  auto reader = [&list]() {
    ProcessAddress got;
    for (int i = 0; i < kPerThread; ++i) {
      list.Lookup(i % kIds, &got);
      list.MappingFd("10.1.1.1", i);
      std::unique_ptr<ProcessAddress[]> snap;
      if (i % 50 == 0) list.Snapshot(&snap);
    }
  };
  int removed = 0;  // written by the remover alone, read after the joins
  auto remover = [&list, &removed]() {
    for (int i = 0; i < 20 * kPerThread && removed < kPerThread; ++i) removed += list.Remove(i % kIds) ? 1 : 0;
  };
  std::vector<std::thread> threads;
  for (int k = 0; k < kAdders; ++k) threads.emplace_back(adder, k * 17);
  threads.emplace_back(reader);
  threads.emplace_back(remover);
  for (std::thread& t : threads) t.join();
  std::vector<int> fds = Fds(list);
  EXPECT_EQ(static_cast<int>(fds.size()), list.Size());
  EXPECT_EQ(list.Size(), kAdders * kPerThread - removed);
  for (size_t i = 1; i < fds.size(); ++i) ASSERT_LE(fds[i - 1], fds[i]);
}

}  // namespace
