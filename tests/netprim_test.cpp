// The vel socket utilities over real loopback sockets.
#include "netprim/netprim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" int netprimCCheck(void);

namespace {

char kLoopback[] = "127.0.0.1";
char kHostName[] = "localhost";

// Closes the descriptor when the test leaves, however it leaves.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

int BoundUdp() {
  int fd = velSocket(SOCK_DGRAM);
  if (fd >= 0 && velBind(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listening TCP socket on a port that the system chose; -1 on failure.
int Listener(int backlog) {
  int fd = velSocket(SOCK_STREAM);
  if (fd >= 0 && (velBind(fd, 0) != 0 || velListen(fd, backlog) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// The text in a 128-byte address buffer, after checking that everything
// behind it is NUL padding.
std::string PaddedText(const char (&buf)[128]) {
  size_t n = strnlen(buf, sizeof buf);
  EXPECT_LT(n, sizeof buf) << "no terminator";
  for (size_t i = n; i < sizeof buf; ++i) {
    if (buf[i] != '\0') {
      ADD_FAILURE() << "byte " << i << " behind the text is not NUL";
      break;
    }
  }
  return std::string(buf, n);
}

// ---------------------------------------------------------------- TCP

TEST(NetprimTcp, PairCarriesABufferLargerThanOneSegment) {
  Fd lst(velSocket(SOCK_STREAM));
  ASSERT_GE(lst.fd, 0);
  ASSERT_EQ(velBind(lst.fd, 0), 0);
  int port = velGetSockPort(lst.fd);
  ASSERT_GT(port, 0) << "the system chose no port";
  ASSERT_EQ(velListen(lst.fd, 4), 0);

  Fd cli(velSocket(SOCK_STREAM));
  ASSERT_GE(cli.fd, 0);
  EXPECT_EQ(velGetSockPort(cli.fd), 0) << "not bound yet";
  ASSERT_EQ(velConnect(cli.fd, kLoopback, port), 0);
  EXPECT_EQ(velSockReadAvailable(lst.fd, 10.0), 1) << "pending connection";

  char host[128];
  memset(host, 'x', sizeof host);
  int peerPort = -1;
  Fd srv(velAccept(lst.fd, host, &peerPort));
  ASSERT_GE(srv.fd, 0);
  EXPECT_EQ(PaddedText(host), "127.0.0.1");
  EXPECT_EQ(peerPort, velGetSockPort(cli.fd));

  // 1 MiB is many loopback segments; MSG_WAITALL makes one receive take it all.
  const int size = 1 << 20;
  std::vector<unsigned char> out(size), in(size, 0);
  for (int i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
  int sent = -2;
  std::thread sender([&] { sent = velSend(cli.fd, out.data(), size); });
  int got = velRecv(srv.fd, in.data(), size);
  // Take whatever a short receive left behind, so that the sender can end.
  int total = got > 0 ? got : 0;
  for (int i = 0; i < 100000 && total < size; ++i) {
    int r = velRecv(srv.fd, in.data() + total, size - total);
    if (r <= 0) break;
    total += r;
  }
  sender.join();
  EXPECT_EQ(sent, size);
  EXPECT_EQ(got, size) << "the receive did not wait for all bytes";
  EXPECT_TRUE(in == out);

  ASSERT_EQ(velClose(cli.fd), 0);
  cli.fd = -1;
  EXPECT_EQ(velSockReadAvailable(srv.fd, 10.0), 1) << "end of stream is readable";
  char byte = 0;
  EXPECT_EQ(velRecv(srv.fd, &byte, 1), 0);
}

TEST(NetprimTcp, AcceptOutputsAreIndependent) {
  Fd lst(Listener(8));
  ASSERT_GE(lst.fd, 0);
  int port = velGetSockPort(lst.fd);
  Fd c1(velSocket(SOCK_STREAM)), c2(velSocket(SOCK_STREAM)), c3(velSocket(SOCK_STREAM));
  ASSERT_EQ(velConnect(c1.fd, kLoopback, port), 0);
  ASSERT_EQ(velConnect(c2.fd, kLoopback, port), 0);
  ASSERT_EQ(velConnect(c3.fd, kLoopback, port), 0);

  Fd a1(velAccept(lst.fd, nullptr, nullptr));
  EXPECT_GE(a1.fd, 0);

  int onlyPort = -1;
  Fd a2(velAccept(lst.fd, nullptr, &onlyPort));
  EXPECT_GE(a2.fd, 0);
  EXPECT_EQ(onlyPort, velGetSockPort(c2.fd));

  char onlyHost[128];
  memset(onlyHost, 'x', sizeof onlyHost);
  Fd a3(velAccept(lst.fd, onlyHost, nullptr));
  EXPECT_GE(a3.fd, 0);
  EXPECT_EQ(PaddedText(onlyHost), "127.0.0.1");
}

TEST(NetprimTcp, FailedAcceptWritesNothing) {
  Fd notListening(velSocket(SOCK_STREAM));
  ASSERT_GE(notListening.fd, 0);
  ASSERT_EQ(velBind(notListening.fd, 0), 0);
  char host[128];
  memset(host, 'x', sizeof host);
  int port = 4242;
  errno = 0;
  EXPECT_EQ(velAccept(notListening.fd, host, &port), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(port, 4242);
  for (char c : host) ASSERT_EQ(c, 'x');
}

// A host name is not looked up: "localhost" becomes 255.255.255.255, which
// the system refuses before anything is sent. A look-up would reach the
// listener on 127.0.0.1.
TEST(NetprimTcp, ConnectDoesNotLookUpHostNames) {
  Fd lst(Listener(4));
  ASSERT_GE(lst.fd, 0);
  int port = velGetSockPort(lst.fd);
  Fd cli(velSocket(SOCK_STREAM));
  EXPECT_EQ(velConnect(cli.fd, kHostName, port), -1);
  EXPECT_EQ(velSockReadAvailable(lst.fd, 0.0), 0) << "a connection reached the listener";
}

TEST(NetprimTcp, NegativeLengthIsRefused) {
  Fd s(velSocket(SOCK_STREAM));
  char buf[4] = {0, 0, 0, 0};
  errno = 0;
  EXPECT_EQ(velSend(s.fd, buf, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(velRecv(s.fd, buf, -1), -1);
  EXPECT_EQ(errno, EINVAL);
}

// ---------------------------------------------------------------- UDP

TEST(NetprimUdp, DatagramArrivesWithSenderTextAndPort) {
  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  int portA = velGetSockPort(a.fd);
  int portB = velGetSockPort(b.fd);
  ASSERT_GT(portA, 0);
  ASSERT_GT(portB, 0);
  ASSERT_NE(portA, portB);

  ASSERT_EQ(velSendto(a.fd, "hello", 5, kLoopback, portB), 5);
  ASSERT_EQ(velSockReadAvailable(b.fd, 10.0), 1);
  char buf[64] = {};
  char host[128];
  memset(host, 'x', sizeof host);
  int port = -1;
  EXPECT_EQ(velRecvfrom(b.fd, buf, sizeof buf, host, &port), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(PaddedText(host), "127.0.0.1");
  EXPECT_EQ(port, portA);

  // Without outputs only the bytes come back.
  ASSERT_EQ(velSendto(a.fd, "xy", 2, kLoopback, portB), 2);
  ASSERT_EQ(velSockReadAvailable(b.fd, 10.0), 1);
  EXPECT_EQ(velRecvfrom(b.fd, buf, sizeof buf, nullptr, nullptr), 2);
  EXPECT_EQ(std::string(buf, 2), "xy");
}

TEST(NetprimUdp, PortKeepsItsLow16Bits) {
  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  int portB = velGetSockPort(b.fd);
  ASSERT_EQ(velSendto(a.fd, "w", 1, kLoopback, portB + 65536), 1);
  ASSERT_EQ(velSockReadAvailable(b.fd, 10.0), 1);
  char c = 0;
  EXPECT_EQ(velRecvfrom(b.fd, &c, 1, nullptr, nullptr), 1);
  EXPECT_EQ(c, 'w');

  Fd d(velSocket(SOCK_DGRAM));
  ASSERT_EQ(velBind(d.fd, 65536), 0) << "65536 is port 0: the system chooses";
  EXPECT_GT(velGetSockPort(d.fd), 0);
}

TEST(NetprimUdp, FailedReceiveHandsOutZeroAddress) {
  Fd b(BoundUdp());
  ASSERT_GE(b.fd, 0);
  ASSERT_EQ(fcntl(b.fd, F_SETFL, fcntl(b.fd, F_GETFL) | O_NONBLOCK), 0);
  char buf[16];
  char host[128];
  memset(host, 'x', sizeof host);
  int port = 4242;
  errno = 0;
  EXPECT_EQ(velRecvfrom(b.fd, buf, sizeof buf, host, &port), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  EXPECT_EQ(PaddedText(host), "0.0.0.0");
  EXPECT_EQ(port, 0);

  // A closed descriptor fails the same way.
  int closed = BoundUdp();
  ASSERT_GE(closed, 0);
  ASSERT_EQ(velClose(closed), 0);
  memset(host, 'x', sizeof host);
  port = 4242;
  errno = 0;
  EXPECT_EQ(velRecvfrom(closed, buf, sizeof buf, host, &port), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(PaddedText(host), "0.0.0.0");
  EXPECT_EQ(port, 0);
}

// A negative capacity would let the datagram run past the buffer: refused,
// and the datagram stays queued.
TEST(NetprimUdp, NegativeCapacityIsRefused) {
  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  ASSERT_EQ(velSendto(a.fd, "0123456789", 10, kLoopback, velGetSockPort(b.fd)), 10);
  ASSERT_EQ(velSockReadAvailable(b.fd, 10.0), 1);
  char small[2];
  char host[128];
  memset(host, 'x', sizeof host);
  int port = 4242;
  errno = 0;
  EXPECT_EQ(velRecvfrom(b.fd, small, -1, host, &port), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(PaddedText(host), "0.0.0.0");
  EXPECT_EQ(port, 0);
  EXPECT_EQ(velSockReadAvailable(b.fd, 0.0), 1) << "the datagram was consumed";
  errno = 0;
  EXPECT_EQ(velSendto(a.fd, "x", -1, kLoopback, velGetSockPort(b.fd)), -1);
  EXPECT_EQ(errno, EINVAL);
}

// "localhost" becomes the all-ones broadcast address, which an ordinary
// socket may not send to; a look-up would deliver to 127.0.0.1.
TEST(NetprimUdp, SendtoDoesNotLookUpHostNames) {
  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  errno = 0;
  EXPECT_EQ(velSendto(a.fd, "x", 1, kHostName, velGetSockPort(b.fd)), -1);
  EXPECT_TRUE(errno == EACCES || errno == ENETUNREACH) << errno;
  EXPECT_EQ(velSockReadAvailable(b.fd, 0.0), 0) << "the datagram arrived";
}

// ---------------------------------------------------------------- readiness

TEST(NetprimReadAvailable, ZeroTimeOutAndWaitingData) {
  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  EXPECT_EQ(velSockReadAvailable(b.fd, 0.0), 0);
  EXPECT_EQ(velSockReadAvailable(b.fd, 0.0000015), 0);
  ASSERT_EQ(velSendto(a.fd, "d", 1, kLoopback, velGetSockPort(b.fd)), 1);
  EXPECT_EQ(velSockReadAvailable(b.fd, 10.0), 1);
  EXPECT_EQ(velSockReadAvailable(b.fd, 0.0), 1);
}

TEST(NetprimReadAvailable, FailedWaitReadsAsReadable) {
  int closed = BoundUdp();
  ASSERT_GE(closed, 0);
  ASSERT_EQ(velClose(closed), 0);
  EXPECT_EQ(velSockReadAvailable(closed, 0.0), 1);
  EXPECT_EQ(velSockReadAvailable(-1, 0.0), 1);
  EXPECT_EQ(velSockReadAvailable(INT_MIN, 0.0), 1);

  Fd idle(BoundUdp());
  ASSERT_GE(idle.fd, 0);
  EXPECT_EQ(velSockReadAvailable(idle.fd, -1.0), 1) << "negative time-out";
  EXPECT_EQ(velSockReadAvailable(idle.fd, -0.5), 1) << "negative microseconds";
  EXPECT_EQ(velSockReadAvailable(idle.fd, NAN), 1);
}

// Descriptors beyond the 1024-bit read set give the same answers as those
// inside it, without writing past the set (the sanitizer build would see it).
TEST(NetprimReadAvailable, DescriptorsAboveTheReadSet) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlim_t need = 1600;
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < need) {
    GTEST_SKIP() << "descriptor limit " << saved.rlim_max << " below " << need;
  }
  rlimit raised = saved;
  if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur < need) raised.rlim_cur = need;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  Fd a(BoundUdp()), b(BoundUdp());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  const int fds[] = {1023, 1024, 1500};  // select, then poll
  for (int fd : fds) {
    ASSERT_EQ(fcntl(fd, F_GETFD), -1) << fd << " already in use";
    ASSERT_EQ(dup2(b.fd, fd), fd);
  }
  for (int fd : fds) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(velSockReadAvailable(fd, 0.0), 0);
    EXPECT_EQ(velSockReadAvailable(fd, 0.001), 0);
    EXPECT_EQ(velSockReadAvailable(fd, -1.0), 1);
  }
  ASSERT_EQ(velSendto(a.fd, "d", 1, kLoopback, velGetSockPort(b.fd)), 1);
  for (int fd : fds) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(velSockReadAvailable(fd, 10.0), 1);
    EXPECT_EQ(velSockReadAvailable(fd, 0.0), 1);
  }
  for (int fd : fds) {
    ASSERT_EQ(velClose(fd), 0);
    SCOPED_TRACE(fd);
    EXPECT_EQ(velSockReadAvailable(fd, 0.0), 1) << "closed";
  }
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

TEST(NetprimReadAvailable, TimeOutSplit) {
  struct Case {
    double seconds;
    int sec;
    int usec;
  };
  const Case cases[] = {
      {2.5, 2, 500000},        {0.0000015, 0, 1},     {0.0, 0, 0},
      {-2.5, -2, -500000},     {1e12, INT_MAX, 0},    {INFINITY, INT_MAX, 0},
      {-1e12, INT_MIN, 0},     {NAN, -1, 0},          {2147483647.5, INT_MAX, 500000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    int sec = 12345;
    int usec = 12345;
    velSplitTimeout(c.seconds, &sec, &usec);
    EXPECT_EQ(sec, c.sec);
    EXPECT_EQ(usec, c.usec);
  }
}

// ---------------------------------------------------------------- the rest

TEST(NetprimHost, HostAddressIsDottedText) {
  char name[128] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  bool resolvable = gethostbyname(name) != nullptr;
  char out[128];
  memset(out, 'x', sizeof out);
  int rc = velGetHostIP(out);
  ASSERT_EQ(rc, resolvable ? 0 : -1);
  if (rc == 0) {
    ASSERT_LT(strnlen(out, sizeof out), 16u);
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, out, &parsed), 1) << out;
  }
}

std::string FileText(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "<fstat failed>";
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = pread(fd, &text[0], text.size(), 0);
  return n < 0 ? "<pread failed>" : text.substr(0, static_cast<size_t>(n));
}

TEST(NetprimErrorMsg, ReportGoesToBothStreamsUnflushed) {
  fflush(stdout);
  fflush(stderr);
  FILE* outFile = tmpfile();
  FILE* errFile = tmpfile();
  ASSERT_NE(outFile, nullptr);
  ASSERT_NE(errFile, nullptr);
  int keptOut = dup(STDOUT_FILENO);
  int keptErr = dup(STDERR_FILENO);
  ASSERT_GE(keptOut, 0);
  ASSERT_GE(keptErr, 0);
  ASSERT_EQ(dup2(fileno(outFile), STDOUT_FILENO), STDOUT_FILENO);
  ASSERT_EQ(dup2(fileno(errFile), STDERR_FILENO), STDERR_FILENO);

  char file[] = "Control";
  errno = ECONNREFUSED;
  velGetErrorMsg("connect", 983, file);
  std::string beforeFlush = FileText(fileno(outFile));
  fflush(stdout);
  std::string out = FileText(fileno(outFile));
  std::string err = FileText(fileno(errFile));

  dup2(keptOut, STDOUT_FILENO);
  dup2(keptErr, STDERR_FILENO);
  close(keptOut);
  close(keptErr);
  fclose(outFile);
  fclose(errFile);

  EXPECT_EQ(beforeFlush, "") << "standard output was flushed";
  EXPECT_EQ(out, "Error at 983 Control");
  EXPECT_EQ(err, std::string("connect: ") + strerror(ECONNREFUSED) + "\n");
}

TEST(NetprimHeader, ServesCCallers) { EXPECT_EQ(netprimCCheck(), 0); }

}  // namespace
