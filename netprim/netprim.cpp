// The vel socket utilities: each public function is a few lines over the
// helpers below, which fill and read the 16-byte IPv4 socket address.
#include "netprim/netprim.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every address passed to the system is a plain IPv4 socket address.
static_assert(sizeof(sockaddr_in) == 16, "IPv4 socket address is 16 bytes");

const socklen_t kAddrLen = sizeof(sockaddr_in);

// Address texts handed out are copied into caller buffers of this size.
const size_t kHostTextSize = 128;

// A zero-filled IPv4 address. The port keeps its low 16 bits only, so
// 65536 is port 0.
sockaddr_in MakeAddress(in_addr_t addr, int port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

// Dotted text without look-up: a host name or malformed text gives
// INADDR_NONE, the all-ones address, and the call goes there.
sockaddr_in PeerAddress(const char* ip, int port) {
  return MakeAddress(inet_addr(ip), port);
}

// Hands out a peer address: text padded with NULs to 128 bytes, port in
// host order. Either output may be null.
void HandOut(const sockaddr_in& sa, char* outHost, int* outPort) {
  if (outHost != nullptr) strncpy(outHost, inet_ntoa(sa.sin_addr), kHostTextSize);
  if (outPort != nullptr) *outPort = ntohs(sa.sin_port);
}

sockaddr* AsSockaddr(sockaddr_in* sa) { return reinterpret_cast<sockaddr*>(sa); }

// A negative length would reach the system as a huge size_t and let a
// datagram run past the caller's buffer; it is refused instead.
bool BadLength(int len) {
  if (len >= 0) return false;
  errno = EINVAL;
  return true;
}

// Readiness of a descriptor beyond the select read set. poll reports the
// same conditions that select puts in the read set (POLLIN, POLLHUP,
// POLLERR), and POLLNVAL where select fails with EBADF; a failed or
// refused wait gives 1 as it does with select.
int PollReadable(int sock, int sec, int usec) {
  if (sec < 0 || usec < 0) return 1;  // select refuses a negative time-out
  pollfd pfd;
  pfd.fd = sock;
  pfd.events = POLLIN;
  pfd.revents = 0;
  timespec ts;
  ts.tv_sec = sec;
  ts.tv_nsec = static_cast<long>(usec) * 1000L;
  return ppoll(&pfd, 1, &ts, nullptr) == 0 ? 0 : 1;
}

}  // namespace

extern "C" {

int velSockStartup(void) { return 0; }

int velSocket(int type) { return socket(AF_INET, type, 0); }

int velConnect(int sock, const char* ip, int port) {
  sockaddr_in sa = PeerAddress(ip, port);
  return connect(sock, AsSockaddr(&sa), kAddrLen);
}

int velBind(int sock, int port) {
  sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), port);
  return bind(sock, AsSockaddr(&sa), kAddrLen);
}

int velGetHostIP(char* out) {
  char name[128];
  if (gethostname(name, sizeof name) == -1) return -1;
  name[sizeof name - 1] = '\0';  // a truncated name need not be terminated
  hostent* he = gethostbyname(name);
  if (he == nullptr || he->h_addr_list[0] == nullptr) return -1;
  in_addr first;
  memcpy(&first, he->h_addr_list[0], sizeof first);
  const char* text = inet_ntoa(first);
  memcpy(out, text, strlen(text) + 1);
  return 0;
}

int velGetSockPort(int sock) {
  sockaddr_in sa = MakeAddress(0, 0);
  socklen_t len = kAddrLen;
  if (getsockname(sock, AsSockaddr(&sa), &len) == -1) return -1;
  return ntohs(sa.sin_port);
}

int velListen(int sock, int backlog) { return listen(sock, backlog); }

int velAccept(int sock, char* outHost, int* outPort) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = kAddrLen;
  int fd = accept(sock, AsSockaddr(&sa), &len);
  if (fd == -1) return -1;  // nothing is handed out after a failure
  HandOut(sa, outHost, outPort);
  return fd;
}

int velSend(int sock, void* data, int len) {
  if (BadLength(len)) return -1;
  return static_cast<int>(send(sock, data, static_cast<size_t>(len), MSG_WAITALL));
}

int velRecv(int sock, void* buf, int len) {
  if (BadLength(len)) return -1;
  return static_cast<int>(recv(sock, buf, static_cast<size_t>(len), MSG_WAITALL));
}

int velSendto(int sock, const void* data, int len, char* ip, int port) {
  if (BadLength(len)) return -1;
  sockaddr_in sa = PeerAddress(ip, port);
  return static_cast<int>(sendto(sock, data, static_cast<size_t>(len), 0, AsSockaddr(&sa), kAddrLen));
}

// The sender is handed out whatever the result: after a failure the address
// is still zero, so the caller reads 0.0.0.0 and port 0.
int velRecvfrom(int sock, void* buf, int len, char* outHost, int* outPort) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t alen = kAddrLen;
  int n = -1;
  if (!BadLength(len)) {
    n = static_cast<int>(recvfrom(sock, buf, static_cast<size_t>(len), 0, AsSockaddr(&sa), &alen));
  }
  int saved = errno;  // inet_ntoa must not disturb the caller's errno
  HandOut(sa, outHost, outPort);
  errno = saved;
  return n;
}

int velClose(int sock) { return close(sock); }

int velSockCleanup(void) { return 0; }

void velSplitTimeout(double seconds, int* sec, int* usec) {
  // Converting a double outside the int range is undefined, so such
  // time-outs are held at the ends of the range.
  if (std::isnan(seconds)) {
    *sec = -1;
    *usec = 0;
  } else if (seconds >= 2147483648.0) {
    *sec = INT_MAX;
    *usec = 0;
  } else if (seconds <= -2147483649.0) {
    *sec = INT_MIN;
    *usec = 0;
  } else {
    *sec = static_cast<int>(seconds);
    *usec = static_cast<int>((seconds - *sec) * 1000000.0);
  }
}

// select's result is not examined: when the call fails the set still holds
// sock, so a failed wait reads as readable.
int velSockReadAvailable(int sock, double seconds) {
  int sec = 0;
  int usec = 0;
  velSplitTimeout(seconds, &sec, &usec);
  if (sock < 0) return 1;  // as for any bad descriptor
  if (sock >= FD_SETSIZE) return PollReadable(sock, sec, usec);
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET(sock, &readSet);
  timeval tv;
  tv.tv_sec = sec;
  tv.tv_usec = usec;
  select(sock + 1, &readSet, nullptr, nullptr, &tv);
  return FD_ISSET(sock, &readSet) ? 1 : 0;
}

void velGetErrorMsg(const char* msg, int line, char* file) {
  int saved = errno;  // the report is about the caller's error, not stdio's
  printf("Error at %d ", line);
  if (file != nullptr) fputs(file, stdout);
  errno = saved;
  perror(msg);
}

}  // extern "C"
