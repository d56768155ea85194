// What the runtime library's calls share: one exchange with a launcher
// service (a fresh socket, repeats, answers only from that service's port)
// and the checks every call makes. Inside the library only.
#ifndef TARVO_RUNTIME_EXCHANGE_H
#define TARVO_RUNTIME_EXCHANGE_H

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "common/protocol.h"
#include "common/textfield.h"
#include "netprim/netprim.h"
#include "runtime/tarvo_runtime.h"

namespace trvdetail {

inline double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline bool ValidContext(const trv_ctx* ctx) { return ctx && ctx->attempts > 0 && ctx->timeout > 0; }

// The public header spells the context's address field out, as a C header
// of its own must; it is the contract's address text.
static_assert(sizeof(static_cast<trv_ctx*>(nullptr)->host) == ADDRESS_TEXT_SIZE, "trv_ctx::host is an address text");

// The launcher's address text, terminated, for netprim's calls.
inline void LauncherHost(const trv_ctx* ctx, char (&host)[ADDRESS_TEXT_SIZE]) {
  CopyTextField(host, sizeof host, ctx->host);
  host[sizeof host - 1] = '\0';
}

inline int32_t Field(const char* buffer, size_t offset) {
  int32_t v;
  memcpy(&v, buffer + offset, sizeof v);
  return v;
}

// A fresh socket for one request: the answers to this request come back to
// it alone, so a late answer to an earlier request can never be taken for
// the answer to this one.
inline int FreshSocket() {
  int sock = velSocket(SOCK_DGRAM);
  if (sock < 0) return -1;
  if (velBind(sock, 0) != 0) {
    velClose(sock);
    return -1;
  }
  return sock;
}

// Outcome of one exchange: the answer's length and the attempt (0-based)
// during which it came.
struct Answer {
  int length = 0;
  int attempt = 0;
};

// Sends `request` to the launcher's port `port` up to `attempts` times, each
// time waiting `timeout` seconds for a datagram from that port that `accept`
// takes. Datagrams from other ports and answers that `accept` refuses are
// dropped.
template <typename Accept>
int Exchange(const trv_ctx* ctx, int port, const void* request, int length, char* answer, int capacity,
             int attempts, Accept accept, Answer* got) {
  int sock = FreshSocket();
  if (sock < 0) return TRV_ESOCKET;
  char host[ADDRESS_TEXT_SIZE];
  LauncherHost(ctx, host);
  int result = TRV_ETIMEOUT;
  for (int attempt = 0; attempt < attempts && result == TRV_ETIMEOUT; ++attempt) {
    if (velSendto(sock, request, length, host, port) != length) {
      result = TRV_ESOCKET;
      break;
    }
    double deadline = Now() + ctx->timeout;
    for (;;) {
      double left = deadline - Now();
      if (left <= 0 || !velSockReadAvailable(sock, left)) break;
      char from[ADDRESS_TEXT_SIZE];
      int fromPort = 0;
      int n = velRecvfrom(sock, answer, capacity, from, &fromPort);
      if (n < 0) {
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        result = TRV_ESOCKET;
        break;
      }
      if (fromPort != port || !accept(answer, n)) continue;
      got->length = n;
      got->attempt = attempt;
      result = TRV_OK;
      break;
    }
  }
  velClose(sock);
  return result;
}

}  // namespace trvdetail

#endif  // TARVO_RUNTIME_EXCHANGE_H
