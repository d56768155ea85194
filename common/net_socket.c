#include "common/net_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* The reason's text in ERR, errno as it was: NET_ERR. */
static int Failed(char* err) {
  const int e = errno;
  if (err != NULL) {
    strncpy(err, strerror(e), NET_ERR_LEN - 1);
    err[NET_ERR_LEN - 1] = '\0';
  }
  errno = e;
  return NET_ERR;
}

/* ... and the socket FD closed. */
static int FailedClosing(char* err, int fd) {
  const int e = errno;
  close(fd);
  errno = e;
  return Failed(err);
}

/* ADDR and PORT as a socket address: 0, or NET_ERR (EINVAL) for no dotted
 * address. */
static int Address(char* err, const char* addr, int port, struct sockaddr_in* to) {
  memset(to, 0, sizeof *to);
  to->sin_family = AF_INET;
  to->sin_port = htons((uint16_t)port);
  if (inet_pton(AF_INET, addr, &to->sin_addr) == 1) return 0;
  errno = EINVAL;
  return Failed(err);
}

int NetTcpConnect(char* err, const char* addr, int port) {
  struct sockaddr_in to;
  if (Address(err, addr, port, &to) != 0) return NET_ERR;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(err);
  while (connect(fd, (const struct sockaddr*)&to, sizeof to) != 0) {
    if (errno != EINTR) return FailedClosing(err, fd);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int NetTcpServer(char* err, int port, int backlog, int* bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Failed(err);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons((uint16_t)port);
  socklen_t length = sizeof a;
  if (bind(fd, (const struct sockaddr*)&a, sizeof a) != 0 || (backlog > 0 && listen(fd, backlog) != 0) ||
      getsockname(fd, (struct sockaddr*)&a, &length) != 0) {
    return FailedClosing(err, fd);
  }
  *bound = ntohs(a.sin_port);
  return fd;
}

int NetUdpSendOnce(char* err, const char* addr, int port, const void* data, size_t length) {
  struct sockaddr_in to;
  if (Address(err, addr, port, &to) != 0) return NET_ERR;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(err);
  if (sendto(fd, data, length, 0, (const struct sockaddr*)&to, sizeof to) < 0) return FailedClosing(err, fd);
  close(fd);
  return 0;
}
