#include "launcher/services/SyncService.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "launcher/Control.h"
#include "tests/support/loopback.h"

namespace {

std::vector<char> Request(int32_t code, int32_t rank, size_t len = sizeof(SyncMessage)) {
  SyncMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.rank = rank;
  memset(m.body, 0x5A, sizeof m.body);  // the body is never read
  std::vector<char> bytes(len > sizeof m ? len : sizeof m, 0x7F);
  memcpy(bytes.data(), &m, sizeof m);
  bytes.resize(len);
  return bytes;
}

// Distinct ranks heard in the current cycle: the records marked heard.
int Arrived(const SyncCycle& c) {
  int n = 0;
  for (int j = 0; j < c.Size(); ++j) n += c.Record(j).heard ? 1 : 0;
  return n;
}

bool Offer(SyncCycle& c, int32_t code, int32_t rank, int port, const char* host = "127.0.0.1") {
  std::vector<char> r = Request(code, rank);
  return c.Accept(r.data(), static_cast<int>(r.size()), host, port);
}

TEST(SyncCycle, OneRankIsReleasedAtEveryRequest) {
  SyncCycle c(1);
  ASSERT_TRUE(c.Valid());
  EXPECT_TRUE(Offer(c, Msg_TopologyBroadcast, 0, 4000, "127.0.0.9"));
  EXPECT_STREQ(c.Record(0).host, "127.0.0.9");
  EXPECT_EQ(c.Record(0).port, 4000);
  EXPECT_TRUE(Offer(c, Msg_TopologyScatter, 0, 4001));
  EXPECT_EQ(c.Record(0).port, 4001);
  EXPECT_EQ(Arrived(c), 0);
}

TEST(SyncCycle, ClosesAtTheLastRankWithRecordsInRankOrder) {
  SyncCycle c(3);
  EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, 2, 7002, "127.0.0.3"));
  EXPECT_FALSE(Offer(c, Msg_TopologyGather, 0, 7000, "127.0.0.1"));
  EXPECT_EQ(Arrived(c), 2);
  EXPECT_TRUE(Offer(c, Msg_TopologyReduce, 1, 7001, "127.0.0.2"));
  EXPECT_EQ(Arrived(c), 0);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(c.Record(j).port, 7000 + j);
    EXPECT_EQ(std::string(c.Record(j).host), "127.0.0." + std::to_string(j + 1));
  }
}

TEST(SyncCycle, RefusesCodesOutsideTheCollectiveOperations) {
  SyncCycle c(1);
  for (int32_t code : {Msg_TopologyRecv, 33, 0, -1, INT_MIN, INT_MAX, INT_MIN + 29}) {
    EXPECT_FALSE(Offer(c, code, 0, 5000)) << code;
  }
  EXPECT_EQ(Arrived(c), 0);
  EXPECT_EQ(c.Record(0).port, 0) << "a refused request is not recorded";
  EXPECT_EQ(c.Record(0).host[0], '\0');
}

TEST(SyncCycle, JudgesOnlyTheFirst140BytesAndReadsMissingBytesAsZero) {
  SyncCycle c(2);
  std::vector<char> code30 = Request(Msg_TopologyGather, 1, 4);  // the rank is not received
  EXPECT_FALSE(c.Accept(code30.data(), 4, "127.0.0.1", 6000));
  EXPECT_EQ(c.Record(0).port, 6000) << "a 4-byte request comes from rank 0";
  EXPECT_FALSE(c.Accept(nullptr, 0, "127.0.0.1", 6001)) << "an empty datagram has code 0";
  std::vector<char> long1 = Request(Msg_TopologyScatter, 1, 200);
  EXPECT_TRUE(c.Accept(long1.data(), 200, "127.0.0.1", 6002));
  EXPECT_EQ(c.Record(1).port, 6002);
}

TEST(SyncCycle, DropsRanksOutsideTheRun) {
  SyncCycle c(3);
  for (int32_t rank : {3, 100, -1, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, rank, 5000)) << rank;
  }
  EXPECT_EQ(Arrived(c), 0);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(c.Record(j).port, 0);
  SyncCycle none(0);
  EXPECT_FALSE(none.Valid());
  EXPECT_FALSE(Offer(none, Msg_TopologyBroadcast, 0, 5000));
}

TEST(SyncCycle, RepeatedRankMovesItsAddressButCountsOnce) {
  SyncCycle c(3);
  EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, 0, 8000));
  EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, 0, 8001));
  EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, 0, 8002));
  EXPECT_EQ(Arrived(c), 1) << "three requests of one rank must not release three processes";
  EXPECT_FALSE(Offer(c, Msg_TopologyBroadcast, 2, 8020));
  EXPECT_TRUE(Offer(c, Msg_TopologyBroadcast, 1, 8010));
  EXPECT_EQ(c.Record(0).port, 8002) << "released at its latest address";
}

TEST(SyncCycle, NextCycleStartsAfreshAndFollowsANewPort) {
  SyncCycle c(2);
  EXPECT_FALSE(Offer(c, Msg_TopologyGather, 0, 9000));
  EXPECT_TRUE(Offer(c, Msg_TopologyReduce, 1, 9001));
  EXPECT_FALSE(Offer(c, Msg_TopologyReduce, 1, 9011)) << "rank 1 opens the next cycle";
  EXPECT_EQ(Arrived(c), 1);
  EXPECT_TRUE(Offer(c, Msg_TopologyGather, 0, 9000));
  EXPECT_EQ(c.Record(0).port, 9000);
  EXPECT_EQ(c.Record(1).port, 9011);
}

TEST(SyncCycle, HostTextIsBoundedAndTerminated) {
  SyncCycle c(1);
  std::string wide(300, '9');
  EXPECT_TRUE(Offer(c, Msg_TopologyBroadcast, 0, 1, wide.c_str()));
  EXPECT_EQ(strlen(c.Record(0).host), 128u);
  EXPECT_TRUE(Offer(c, Msg_TopologyBroadcast, 0, 1, "10.0.0.1"));
  EXPECT_STREQ(c.Record(0).host, "10.0.0.1") << "a shorter text leaves no tail of the longer one";
}

// ---- SynControler on a real endpoint -------------------------------------

// A loopback socket playing one process.
struct Process : support::LoopbackSocket {
  void Ask(int to, int32_t code, int32_t rank) { ASSERT_TRUE(Send(to, Request(code, rank))); }
  // True when the next datagram is a 140-byte all-zero release.
  bool Released() { return Receive() == std::vector<char>(sizeof(SyncMessage), 0); }
};

// One service for the whole binary, with N = 3. A thread blocked in its
// receive cannot be stopped, so it is left running and ends with the process.
class SyncService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (endpoint != nullptr) return;
    numProcs = 3;
    endpoint = new CUDPConnection(100);
    ASSERT_EQ(endpoint->Open(0), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, SynControler, endpoint), 0);
    pthread_detach(thread);
  }
  static CUDPConnection* endpoint;
};
CUDPConnection* SyncService::endpoint = nullptr;

TEST_F(SyncService, RetriedAndInvalidRequestsAreNotAnswered) {
  Process first, retry, one, two;
  first.Ask(endpoint->Port(), Msg_TopologyGather, 0);
  retry.Ask(endpoint->Port(), Msg_TopologyGather, 0);  // the same process again, from another socket
  one.Ask(endpoint->Port(), Msg_TopologyRecv, 1);       // refused code
  one.Ask(endpoint->Port(), Msg_TopologyGather, 3);     // no such rank
  one.Ask(endpoint->Port(), Msg_TopologyGather, -2);
  one.Ask(endpoint->Port(), Msg_TopologyGather, 1);
  two.Ask(endpoint->Port(), Msg_TopologyGather, 2);
  EXPECT_TRUE(retry.Released());
  EXPECT_TRUE(one.Released());
  EXPECT_TRUE(two.Released());
  // A second cycle from the first socket: whatever the first cycle sent has
  // arrived by the time this one is released.
  first.Ask(endpoint->Port(), Msg_TopologyReduce, 0);
  one.Ask(endpoint->Port(), Msg_TopologyReduce, 1);
  two.Ask(endpoint->Port(), Msg_TopologyReduce, 2);
  EXPECT_TRUE(first.Released());
  EXPECT_TRUE(one.Released());
  EXPECT_TRUE(two.Released());
  EXPECT_TRUE(first.Idle() && retry.Idle() && one.Idle() && two.Idle());
}

}  // namespace
