// The address service of a running tarvo, reached over loopback from the
// test's own sockets while the recording stand-ins hold.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/launcher_harness.h"
#include "tests/support/address_wire.h"
#include "tests/support/loopback.h"

namespace {

using namespace support;  // the datagram builders and their offsets

// A loopback socket playing one process.
using Client = support::LoopbackSocket;

std::string HostOf(int fd) { return "node" + std::to_string(fd); }

// The largest table that fits one datagram: 176 + 379 x 172 = 65,364 bytes;
// one entry more exceeds the 65,507 bytes a UDP datagram carries, so that
// request gets no answer, and the service goes on.
TEST(AddressEndToEnd, TableOf379FitsOneDatagramAnd380GetsNoAnswer) {
  harness::LauncherRun run({"-np", "1", "prog"});
  ASSERT_TRUE(run.WaitForChildren(1)) << run.Stdout() << run.Stderr();
  const int port = run.AddressPort();
  ASSERT_GT(port, 0);

  Client c;
  for (int fd = 1; fd <= 379; ++fd) {
    ASSERT_EQ(c.Ask(port, Message(JOIN, fd, fd * 10, "127.0.0.1", HostOf(fd), 20000 + fd)), Answer(JOINACK, fd))
        << "fd " << fd;
  }
  std::vector<char> table = c.Ask(port, Message(ADDRESS, 998));
  ASSERT_EQ(table.size(), 65364u);
  EXPECT_EQ(std::vector<char>(table.begin(), table.begin() + kSize), Answer(ADDRESSACK, 0, "", 379));
  for (int k = 0; k < 379; ++k) {
    const size_t at = kSize + kRecord * static_cast<size_t>(k);
    ASSERT_EQ(GetInt(table, at), k + 1) << "ascending order";
    EXPECT_EQ(GetInt(table, at + kRecTag), (k + 1) * 10);
    EXPECT_EQ(std::string(table.data() + at + kRecIp, 10), std::string("127.0.0.1\0", 10));
    EXPECT_EQ(std::string(table.data() + at + kRecHost), HostOf(k + 1));
    EXPECT_EQ(GetInt(table, at + kRecPort), 20000 + k + 1);
  }

  ASSERT_EQ(c.Ask(port, Message(JOIN, 999, 0, "127.0.0.1", "", 1)), Answer(JOINACK, 999));
  c.SetTimeout(500);
  EXPECT_TRUE(c.Ask(port, Message(ADDRESS, 998)).empty()) << "65,536 bytes do not fit one datagram";
  c.SetTimeout(10000);
  EXPECT_EQ(c.Ask(port, Message(ADDRESS, 380)), Answer(ADDRESSACK, 380, "127.0.0.1", 1))
      << "the service still answers, and 999 was given 380";
  EXPECT_EQ(c.Ask(port, Message(LEAVE, 380)), Answer(LEAVEACK, 380));
  EXPECT_EQ(c.Ask(port, Message(ADDRESS, 998)).size(), 65364u) << "back to 379 entries, back to one datagram";

  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0) << run.Stderr();
  EXPECT_EQ(run.Stderr(), "");
}

TEST(AddressEndToEnd, AnswersGoToTheSourceNotToTheEndpointInTheRequest) {
  harness::LauncherRun run({"-np", "2", "prog"});
  ASSERT_TRUE(run.WaitForChildren(2)) << run.Stdout() << run.Stderr();
  const int port = run.AddressPort();
  ASSERT_GT(port, 0);

  Client asker, other, named(500);
  const std::vector<char> join = Message(JOIN, 4, 7, "127.0.0.1", "x", named.Port());
  EXPECT_EQ(asker.Ask(port, join), Answer(JOINACK, 4));
  // The same request from another source repeats the registration: the
  // request's fields, not its source, are compared with the entry.
  EXPECT_EQ(other.Ask(port, join), Answer(JOINACK, 997));
  EXPECT_EQ(other.Ask(port, Message(ADDRESS, 4)), Answer(ADDRESSACK, 4, "127.0.0.1", named.Port()));
  EXPECT_EQ(asker.Ask(port, Message(LEAVE, 4)), Answer(LEAVEACK, 4));
  EXPECT_EQ(asker.Ask(port, Message(LEAVE, 4)), Answer(LEAVEACK, 997));
  EXPECT_TRUE(named.Receive().empty()) << "the endpoint named inside the requests heard nothing";

  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0) << run.Stderr();
}

}  // namespace
