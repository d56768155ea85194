// The synchronisation and console services of a running tarvo, reached over
// loopback while the recording stand-ins hold.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "tests/launcher_harness.h"
#include "tests/support/loopback.h"

namespace {

// A loopback socket playing one process; every wait is bounded.
using Socket = support::LoopbackSocket;

const std::string kRelease(sizeof(SyncMessage), '\0');

TEST(ServicesEndToEnd, FourProcessesMeetAHundredTimesInARow) {
  const int n = 4;
  harness::LauncherRun run({"-np", std::to_string(n), "prog"});
  ASSERT_TRUE(run.WaitForChildren(n)) << run.Stdout() << run.Stderr();
  const int port = run.SyncPort();
  ASSERT_GT(port, 0);

  Socket rank[n], moved;  // `moved` stands in for rank 3 every tenth round
  for (int round = 0; round < 100; ++round) {
    Socket* from[n] = {&rank[0], &rank[1], &rank[2], round % 10 == 9 ? &moved : &rank[3]};
    for (int k = 0; k < n; ++k) {
      int r = (round + k) % n;  // arrival order turns from round to round
      SyncMessage m;
      memset(&m, 0, sizeof m);
      m.code = Msg_TopologyBroadcast + (round + r) % 4;
      m.rank = r;
      ASSERT_TRUE(from[r]->Send(port, &m, sizeof m));
    }
    for (int r = 0; r < n; ++r) ASSERT_EQ(from[r]->Next(), kRelease) << "round " << round << " rank " << r;
  }
  for (auto& s : rank) EXPECT_TRUE(s.Idle()) << "one release per round";
  EXPECT_TRUE(moved.Idle());

  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0) << run.Stderr();
  EXPECT_EQ(run.Stderr().find("UDPRecv"), std::string::npos) << run.Stderr();
}

// tarvo's standard output is a file: each acknowledged line is in it at
// once, while the run goes on.
TEST(ServicesEndToEnd, AnAcknowledgedConsoleLineIsOutAtOnce) {
  harness::LauncherRun run({"-np", "1", "prog"});
  ASSERT_TRUE(run.WaitForChildren(1)) << run.Stdout() << run.Stderr();
  Socket s;
  for (int k = 0; k < 3; ++k) {
    const std::string line = "line " + std::to_string(k) + "\n";
    ASSERT_TRUE(s.Send(run.ConsolePort(), line));
    ASSERT_EQ(s.Next(), "s");
    EXPECT_NE(run.Stdout().find(line), std::string::npos) << k;
  }
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0) << run.Stderr();
}

TEST(ServicesEndToEnd, ConsoleTextFromSeveralSendersAtOnce) {
  harness::LauncherRun run({"-np", "2", "prog"});
  ASSERT_TRUE(run.WaitForChildren(2)) << run.Stdout() << run.Stderr();
  const int port = run.ConsolePort();
  ASSERT_GT(port, 0);

  const int senders = 4, lines = 25;
  Socket s[senders];
  auto text = [](int who, int k) { return "sender " + std::to_string(who) + " line " + std::to_string(k) + "\n"; };
  for (int k = 0; k < lines; ++k) {
    for (int who = 0; who < senders; ++who) {
      std::string t = text(who, k);
      ASSERT_TRUE(s[who].Send(port, t.data(), t.size()));
    }
    for (int who = 0; who < senders; ++who) ASSERT_EQ(s[who].Next(), "s") << "line " << k << " of " << who;
  }
  // More than the console takes in, without a NUL: a whole buffer is shown.
  std::string full(2048, 'z'), over = full + std::string(952, 'q');
  ASSERT_TRUE(s[0].Send(port, over.data(), over.size()));
  ASSERT_EQ(s[0].Next(), "s");
  for (auto& one : s) EXPECT_TRUE(one.Idle()) << "one acknowledgement per datagram";

  run.ReleaseChildren();
  ASSERT_EQ(run.Wait(), 0) << run.Stderr();
  const std::string out = run.Stdout();
  for (int who = 0; who < senders; ++who) {
    size_t last = 0;
    for (int k = 0; k < lines; ++k) {
      std::string line = "Console-> " + text(who, k);
      size_t at = out.find(line);
      ASSERT_NE(at, std::string::npos) << line << out;
      EXPECT_EQ(out.find(line, at + 1), std::string::npos) << "printed twice: " << line;
      EXPECT_GE(at, last) << "out of order: " << line;
      last = at;
    }
  }
  EXPECT_NE(out.find("Console-> " + full), std::string::npos);
  EXPECT_EQ(out.find('q'), std::string::npos) << "bytes beyond the buffer are shown";
  size_t prefixes = 0;
  for (size_t at = out.find("Console-> "); at != std::string::npos; at = out.find("Console-> ", at + 1)) ++prefixes;
  EXPECT_EQ(prefixes, static_cast<size_t>(senders * lines + 1));
}

}  // namespace
