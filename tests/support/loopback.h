// A UDP socket of the test's own on 127.0.0.1: it plays a process (or a
// service) on the far side of the launcher's endpoints. Every receive is
// bounded by a time-out; traffic goes to loopback only.
#ifndef TARVO_TESTS_SUPPORT_LOOPBACK_H
#define TARVO_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace support {

/// A TCP socket of the test's own listening on 127.0.0.1, at a port that
/// the system chooses (in *port), closed on exec; -1 when it cannot be had.
inline int LoopbackTcpListener(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(at.sin_port);
  return fd;
}

class LoopbackSocket {
 public:
  /// Binds a port that the system chooses on `local` (127.0.0.1 unless a
  /// test plays a sender at another loopback address, in host order);
  /// receives wait at most `timeoutMs`.
  explicit LoopbackSocket(int timeoutMs = 10000, uint32_t local = INADDR_LOOPBACK) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int buf = 1 << 20;  // room for the largest table reply and a burst of datagrams
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in a = To(0);
    a.sin_addr.s_addr = htonl(local);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    SetTimeout(timeoutMs);
  }
  ~LoopbackSocket() { close(fd_); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  int Fd() const { return fd_; }
  int Port() const { return port_; }
  void SetTimeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  /// Sends one datagram to `port` on 127.0.0.1; true when it went whole.
  bool Send(int port, const void* data, size_t len) {
    sockaddr_in a = To(port);
    return sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == static_cast<ssize_t>(len);
  }
  template <typename Bytes>
  bool Send(int port, const Bytes& d) {
    return Send(port, d.data(), d.size());
  }

  /// The next datagram whole; empty after the time-out (or, with
  /// MSG_DONTWAIT, when nothing waits).
  std::vector<char> Receive(int flags = 0) {
    std::vector<char> buf(70000);
    ssize_t n = recv(fd_, buf.data(), buf.size(), flags);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
  /// The same as text.
  std::string Next(int flags = 0) {
    std::vector<char> d = Receive(flags);
    return std::string(d.begin(), d.end());
  }
  /// True when no datagram waits (not even an empty one).
  bool Idle() {
    char c;
    return recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK) == -1;
  }
  /// Sends and waits for the answer; empty when there was none.
  std::vector<char> Ask(int port, const std::vector<char>& d) {
    if (!Send(port, d)) return std::vector<char>();
    return Receive();
  }

  static sockaddr_in To(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_LOOPBACK_H
