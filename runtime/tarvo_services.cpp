// The process side of the synchronisation and console protocols, and the
// texts of the library's results.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/messages.h"
#include "netprim/netprim.h"
#include "runtime/exchange.h"
#include "runtime/tarvo_runtime.h"

using trvdetail::Answer;
using trvdetail::Exchange;
using trvdetail::Field;
using trvdetail::FreshSocket;
using trvdetail::LauncherHost;
using trvdetail::Now;
using trvdetail::ValidContext;

extern "C" {

int trv_collective(trv_ctx* ctx, int code, double seconds) {
  if (!ctx || code < TRV_BROADCAST || code > TRV_SCATTER) return TRV_EINVAL;
  if (ctx->sync_sock < 0) {
    ctx->sync_sock = FreshSocket();
    if (ctx->sync_sock < 0) return TRV_ESOCKET;
  }
  // The release goes to the socket of the request, so one socket serves
  // every collective operation of the process.
  char host[ADDRESS_TEXT_SIZE];
  LauncherHost(ctx, host);
  SyncMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.rank = ctx->rank;

  // A release already waiting answers a request that the service counted
  // in a later cycle than the one it was meant for (a repeat that crossed
  // its release, or an operation that timed out). That cycle closed, so
  // every other rank has entered it: it releases this operation, and
  // sending now would put this rank one cycle ahead.
  bool sent = false;
  double start = Now(), lastSend = start;
  for (;;) {
    double now = Now();
    double wait = 0;
    if (sent) {
      wait = ctx->sync_repeat > 0 ? lastSend + ctx->sync_repeat - now : 86400;
      if (seconds >= 0 && start + seconds - now < wait) wait = start + seconds - now;
      if (wait < 0) wait = 0;
      if (wait > 86400) wait = 86400;  // longer waits go round the loop
    }
    if (velSockReadAvailable(ctx->sync_sock, wait)) {
      char buf[sizeof(SyncMessage)];
      char from[ADDRESS_TEXT_SIZE];
      int fromPort = 0;
      int n = velRecvfrom(ctx->sync_sock, buf, sizeof buf, from, &fromPort);
      if (n < 0 && errno != EINTR && errno != ECONNREFUSED) return TRV_ESOCKET;
      if (n >= 4 && fromPort == ctx->sync_port && Field(buf, 0) == 0) return TRV_OK;
      continue;  // something else: look again
    }
    now = Now();
    if (sent && seconds >= 0 && now - start >= seconds) return TRV_ETIMEOUT;
    if (!sent || (ctx->sync_repeat > 0 && now - lastSend >= ctx->sync_repeat)) {
      if (velSendto(ctx->sync_sock, &m, sizeof m, host, ctx->sync_port) != static_cast<int>(sizeof m))
        return TRV_ESOCKET;
      sent = true;
      lastSend = now;
    }
  }
}

int trv_print(trv_ctx* ctx, const char* text, int len) {
  if (!ValidContext(ctx) || len < 0 || (len > 0 && !text)) return TRV_EINVAL;
  int total = static_cast<int>(strnlen(text ? text : "", static_cast<size_t>(len)));
  char ack[16];
  for (int at = 0; at < total; at += TRV_CONSOLE_CHUNK) {
    int n = total - at < TRV_CONSOLE_CHUNK ? total - at : TRV_CONSOLE_CHUNK;
    Answer got;
    int r = Exchange(ctx, ctx->console_port, text + at, n, ack, sizeof ack, ctx->attempts,
                     [](const char* a, int k) { return k == 1 && a[0] == 's'; }, &got);
    if (r != TRV_OK) return r;
  }
  return TRV_OK;
}

int trv_printf(trv_ctx* ctx, const char* format, ...) {
  if (!format) return TRV_EINVAL;
  const size_t cap = 65536;
  char* buf = static_cast<char*>(malloc(cap));
  if (!buf) return TRV_ESOCKET;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, cap, format, ap);
  va_end(ap);
  int r = TRV_EINVAL;
  if (n >= 0) r = trv_print(ctx, buf, n < static_cast<int>(cap) ? n : static_cast<int>(cap) - 1);
  free(buf);
  return r;
}

const char* trv_strerror(int code) {
  switch (code) {
    case TRV_OK: return "success";
    case TRV_ENOTTARVO: return "not started by tarvo (carrier's environment is missing)";
    case TRV_ESOCKET: return "socket failure";
    case TRV_ETIMEOUT: return "the launcher's service did not answer";
    case TRV_ENOTFOUND: return "no such registered process";
    case TRV_ECONFLICT: return "the identifier is registered from another address";
    case TRV_EINVAL: return "invalid argument";
    case TRV_EPROTO: return "the service's answer breaks the protocol";
    default: return "unknown error";
  }
}

}  // extern "C"
