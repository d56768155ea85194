#include "transport/Connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "tests/support/loopback.h"

namespace {

// A raw loopback UDP socket for the other side of a test.
using Peer = support::LoopbackSocket;

void SetReceiveTimeout(CUDPConnection& c) {
  timeval tv{5, 0};
  setsockopt(c.Socket(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

TEST(UdpEndpoint, OpenZeroBindsSystemChosenPortAndBusyPortFails) {
  CUDPConnection a(100), b(7);
  ASSERT_EQ(a.Open(0), 0);
  EXPECT_GT(a.Port(), 0);
  EXPECT_EQ(b.Reliability(), 7);
  ASSERT_EQ(b.Open(0), 0);
  int before = b.Port();
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(0), 0);
  int cport = c.Port();
  EXPECT_EQ(c.Open(a.Port()), -1) << "already bound";
  EXPECT_EQ(c.Port(), cport);
  CUDPConnection d(100);
  EXPECT_EQ(d.Open(a.Port()), -1) << "port held by another socket";
  EXPECT_EQ(b.Port(), before);
  a.Close();
  b.Close();
  c.Close();
  d.Close();
}

TEST(UdpEndpoint, OpenUsesLow16BitsOfPort) {
  // 70000 = 65536 + 4464.
  CUDPConnection probe(100);
  if (probe.Open(4464) != 0) GTEST_SKIP() << "port 4464 is in use on this machine";
  probe.Close();
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(70000), 0);
  EXPECT_EQ(c.Port(), 4464);
  c.Close();
}

TEST(UdpEndpoint, ReceiveCutsToCapacityKeepsLenAndReportsSender) {
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(0), 0);
  SetReceiveTimeout(c);
  Peer peer;
  std::vector<char> data(176);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
  ASSERT_TRUE(peer.Send(c.Port(), data));

  char buf[176];
  memset(buf, 0x55, sizeof buf);
  int len = 140;
  char host[128];
  memset(host, 'x', sizeof host);
  int sport = -1;
  ASSERT_EQ(c.UDPRecv(buf, &len, host, &sport), 140);
  EXPECT_EQ(len, 140);
  EXPECT_EQ(memcmp(buf, data.data(), 140), 0);
  EXPECT_EQ(static_cast<unsigned char>(buf[140]), 0x55) << "nothing written past the capacity";
  EXPECT_STREQ(host, "127.0.0.1");
  for (size_t i = strlen(host); i < sizeof host; ++i) ASSERT_EQ(host[i], '\0') << "NUL-padded to 128";
  EXPECT_EQ(sport, peer.Port());
  c.Close();
}

TEST(UdpEndpoint, NullSenderHostWritesNeitherTextNorPort) {
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(0), 0);
  SetReceiveTimeout(c);
  Peer peer;
  ASSERT_TRUE(peer.Send(c.Port(), std::vector<char>(10, 'a')));
  char buf[32];
  int len = sizeof buf;
  int sport = 12345;
  EXPECT_EQ(c.UDPRecv(buf, &len, nullptr, &sport), 10);
  EXPECT_EQ(sport, 12345);
  EXPECT_EQ(len, 32);
  c.Close();
}

TEST(UdpEndpoint, FailedReceiveWritesNothing) {
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(0), 0);
  c.Close();
  char buf[8];
  int len = 8;
  char host[128] = "unchanged";
  int sport = 99;
  EXPECT_EQ(c.UDPRecv(buf, &len, host, &sport), -1);
  EXPECT_EQ(len, 8);
  EXPECT_STREQ(host, "unchanged");
  EXPECT_EQ(sport, 99);
  EXPECT_EQ(c.Close(), 0) << "closing twice still gives 0";
  EXPECT_EQ(c.InvalidSocket(), 0) << "a closed socket keeps its number";
}

TEST(UdpEndpoint, SendsToDottedTextAndToHostName) {
  CUDPConnection c(100);
  ASSERT_EQ(c.Open(0), 0);
  Peer peer;
  char msg[] = "abc";
  EXPECT_EQ(c.UDPSend(msg, 3, "127.0.0.1", peer.Port()), 3);
  EXPECT_EQ(c.UDPSend(msg, 3, "localhost", peer.Port()), 3);
  // An empty label: the resolver refuses the name itself, asking no server.
  EXPECT_EQ(c.UDPSend(msg, 3, "no-such-host..invalid", peer.Port()), -1);
  char got[8];
  for (int i = 0; i < 2; ++i) {
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ASSERT_EQ(recvfrom(peer.Fd(), got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &fl), 3);
    EXPECT_EQ(ntohs(from.sin_port), c.Port());
  }
  c.Close();
}

TEST(SocketClass, SharedTextsFollowTheLatestConstruction) {
  CUDPConnection first(100);
  char* ip1 = first.IP();
  ASSERT_NE(ip1, nullptr);
  EXPECT_GT(strlen(ip1), 6u);
  EXPECT_LT(strlen(ip1), 16u) << "dotted text";
  EXPECT_EQ(inet_addr(ip1) == INADDR_NONE, false);
  EXPECT_GT(strlen(first.Hostname()), 0u);
  {
    CUDPConnection second(100);
    EXPECT_EQ(first.IP(), second.IP());
    EXPECT_EQ(first.Hostname(), second.Hostname());
    second.Close();
  }
  // The first object is still alive, so the arrays are too.
  EXPECT_GT(strlen(first.IP()), 0u);
  first.Close();
}

TEST(SocketClass, InvalidSocketTellsNegativeDescriptors) {
  CSocket bad(-1, SOCK_DGRAM, 0);  // no such family
  EXPECT_EQ(bad.InvalidSocket(), 1);
  EXPECT_EQ(bad.Socket(), -1);
  EXPECT_EQ(bad.Close(), 0);
  CUDPConnection good(100);
  EXPECT_EQ(good.InvalidSocket(), 0);
  good.Close();
}

}  // namespace
