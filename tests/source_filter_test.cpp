#include "launcher/services/SourceFilter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(SourceSet, ListsOfAddressesAndPrefixes) {
  SourceSet s;
  ASSERT_TRUE(s.AddList(" 10.2.0.5 ,10.1.7.9/16,\t192.168.4.0/23 , 172.16.0.1/32"));
  for (const char* in : {"10.2.0.5", "10.1.0.0", "10.1.255.255", "192.168.5.200", "172.16.0.1"}) {
    EXPECT_TRUE(s.Accepts(in)) << in;
  }
  for (const char* out : {"10.2.0.4", "10.0.255.255", "192.168.6.0", "172.16.0.2", "127.0.0.1", "", "10.2.0.5x"}) {
    EXPECT_FALSE(s.Accepts(out)) << out;
  }
  SourceSet all;
  ASSERT_TRUE(all.AddList("0.0.0.0/0"));
  EXPECT_TRUE(all.Accepts("203.0.113.9"));
  SourceSet none;
  ASSERT_TRUE(none.AddList("  "));
  EXPECT_FALSE(none.Accepts("127.0.0.1"));
}

TEST(SourceSet, MalformedListsAddNothing) {
  for (const char* bad : {"10.1.0", "10.1.0.0/33", "10.1.0.0/", "10.1.0.0/-1", "10.1.0.0/+8", "10.1.0.0/008",
                          "1.2.3.4,,5.6.7.8", "1.2.3.4,", ",1.2.3.4", "01.2.3.4", "256.1.1.1", "host.example",
                          "1.2.3.4 5.6.7.8", "1.2.3.4/8/8", "1.2.3.4;5.6.7.8"}) {
    SourceSet s;
    EXPECT_FALSE(s.AddList(bad)) << bad;
    EXPECT_FALSE(s.Accepts("1.2.3.4")) << bad;
  }
}

TEST(SourceSet, MachineFileNamesAndTheLocalHost) {
  std::string file = "127.0.0.2\n localhost\t127.0.0.2\n";
  FILE* f = fmemopen(&file[0], file.size(), "r");
  ASSERT_NE(f, nullptr);
  SourceSet s;
  s.AddMachineFile(f);
  fclose(f);
  EXPECT_TRUE(s.Accepts("127.0.0.2"));
  EXPECT_TRUE(s.Accepts("127.0.0.1"));  // localhost
  EXPECT_FALSE(s.Accepts("127.0.0.3"));

  SourceSet exact, whole;
  exact.AddLocalHost(false);
  whole.AddLocalHost(true);
  EXPECT_TRUE(exact.Accepts("127.0.0.1"));
  EXPECT_FALSE(exact.Accepts("127.0.0.3"));
  EXPECT_TRUE(whole.Accepts("127.0.0.3"));
}

TEST(IgnoredSenders, ReportsTheFirstTenAndCountsAllFromFourThreads) {
  IgnoredSenders ignored;
  EXPECT_EQ(ignored.Summary(), "");
  EXPECT_EQ(ignored.Count("10.2.0.5"), "tarvo: ignoring datagrams from 10.2.0.5, not a host of this run; "
                                       "TARVO_ACCEPT_FROM adds it\n");
  EXPECT_EQ(ignored.Count("10.2.0.5"), "");
  EXPECT_EQ(ignored.Summary(), "tarvo: ignored 2 datagrams from 1 address not of this run\n");

  // Four threads, as the four services: senders 10.0.0.0 to 10.0.0.19,
  // each five times.
  std::vector<std::string> reports[4];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ignored, &reports, t] {
      for (int k = 0; k < 25; ++k) {
        std::string line = ignored.Count(("10.0.0." + std::to_string((t * 25 + k) % 20)).c_str());
        if (!line.empty()) reports[t].push_back(line);
      }
    });
  }
  for (auto& th : threads) th.join();
  size_t lines = 0;
  for (auto& r : reports) lines += r.size();
  EXPECT_EQ(lines, IgnoredSenders::kReported - 1) << "10.2.0.5 took the first place";
  EXPECT_EQ(ignored.Summary(), "tarvo: ignored 102 datagrams from 21 addresses not of this run\n");

  IgnoredSenders flood;
  for (uint32_t k = 0; k <= IgnoredSenders::kRemembered; ++k) {
    flood.Count(("10." + std::to_string(k >> 16) + "." + std::to_string((k >> 8) & 255) + "." +
                 std::to_string(k & 255)).c_str());
  }
  EXPECT_EQ(flood.Summary(), "tarvo: ignored 4097 datagrams from more than 4096 addresses not of this run\n");
}

}  // namespace
