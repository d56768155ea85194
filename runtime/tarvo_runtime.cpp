// The process side of a tarvo run: carrier's environment, the address,
// synchronisation and console protocols, on top of netprim.
#include "runtime/tarvo_runtime.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "common/carrier_params.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "common/textfield.h"
#include "netprim/netprim.h"

namespace {

// The identifiers of the C header are the protocol's.
static_assert(TRV_ANY_ID == kNewIdentifier, "TRV_ANY_ID is the protocol's 999");
static_assert(TRV_TABLE_ID == kWholeTable, "TRV_TABLE_ID is the protocol's 998");
static_assert(TRV_NONE_ID == kNotFound, "TRV_NONE_ID is the protocol's 997");

// The largest UDP payload over IPv4; the table reply must fit in it.
const int kMaxDatagram = 65507;
const int kRecordSize = static_cast<int>(sizeof(ProcessAddress));
const int kHeaderSize = static_cast<int>(sizeof(AddressMessage));

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Reads carrier's parameter `param`, a decimal number within [lo, hi].
bool EnvInt(int param, int lo, int hi, int* out) {
  const char* text = getenv(tarvo_param_name(param));
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

bool IsDotted(const char* text) {
  in_addr a;
  return inet_pton(AF_INET, text, &a) == 1;
}

// Names the missing or malformed parameter.
int Fail(trv_ctx* ctx, int param) {
  snprintf(ctx->problem, sizeof ctx->problem, "%s", tarvo_param_name(param));
  return TRV_ENOTTARVO;
}

// A fresh socket for one request: the answers to this request come back to
// it alone, so a late answer to an earlier request can never be taken for
// the answer to this one.
int FreshSocket() {
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
  char host[128];
  CopyTextField(host, sizeof host, ctx->host);
  host[sizeof host - 1] = '\0';
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
      char from[128];
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

int32_t Field(const char* buffer, size_t offset) {
  int32_t v;
  memcpy(&v, buffer + offset, sizeof v);
  return v;
}

AddressMessage Request(int32_t code, int32_t id) {
  AddressMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.fd = id;
  return m;
}

// An ordinary 176-byte answer with this code whose fd is the request's or 997.
auto AnswerFor(int32_t code, int32_t id) {
  return [code, id](const char* a, int n) {
    if (n < kHeaderSize) return false;
    int32_t fd = Field(a, offsetof(AddressMessage, fd));
    return Field(a, 0) == code && (fd == id || fd == TRV_NONE_ID);
  };
}

// The table reply: header with code ADDRESSACK, fd 0 and the record count,
// followed by exactly that many records.
bool IsTable(const char* a, int n) {
  if (n < kHeaderSize || Field(a, 0) != ADDRESSACK || Field(a, offsetof(AddressMessage, fd)) != 0) return false;
  int32_t count = Field(a, offsetof(AddressMessage, port));
  return count >= 0 && count <= (kMaxDatagram - kHeaderSize) / kRecordSize &&
         n == kHeaderSize + count * kRecordSize;
}

void ToEntry(const char* record, trv_entry* e) {
  ProcessAddress r;
  memcpy(&r, record, sizeof r);
  e->id = r.fd;
  e->tag = r.tag;
  size_t n = TextFieldLength(r.ip, sizeof r.ip);
  memcpy(e->ip, r.ip, n);
  e->ip[n] = '\0';
  n = TextFieldLength(r.hostname, sizeof r.hostname);
  memcpy(e->hostname, r.hostname, n);
  e->hostname[n] = '\0';
  e->port = r.port;
}

bool ValidContext(const trv_ctx* ctx) { return ctx && ctx->attempts > 0 && ctx->timeout > 0; }

// Fetches the table reply into buf (kMaxDatagram + 1 bytes; one byte more
// than the largest datagram, so that a too long reply is seen as such and
// refused rather than cut). The number of records goes to *count.
int FetchTable(const trv_ctx* ctx, char* buf, int* count) {
  AddressMessage m = Request(ADDRESS, TRV_TABLE_ID);
  Answer got;
  int r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, kMaxDatagram + 1, ctx->attempts, IsTable, &got);
  if (r == TRV_OK) *count = Field(buf, offsetof(AddressMessage, port));
  return r;
}

// Finds the newest entry (highest identifier) registered from ip:port, in
// one reply, so that the table cannot change under the search.
int FindOwn(const trv_ctx* ctx, const char* ip, int port, int* id) {
  char* buf = static_cast<char*>(malloc(kMaxDatagram + 1));
  if (!buf) return TRV_ESOCKET;
  int count = 0;
  int r = FetchTable(ctx, buf, &count);
  if (r == TRV_OK) {
    r = TRV_ENOTFOUND;
    for (int i = 0; i < count; ++i) {
      trv_entry e;
      ToEntry(buf + kHeaderSize + i * kRecordSize, &e);
      if (e.port == port && strcmp(e.ip, ip) == 0) {
        *id = e.id;
        r = TRV_OK;
      }
    }
  }
  free(buf);
  return r;
}

}  // namespace

extern "C" {

int trv_init(trv_ctx* ctx) {
  if (!ctx) return TRV_EINVAL;
  memset(ctx, 0, sizeof *ctx);
  ctx->sync_sock = -1;
  ctx->timeout = 1.0;
  ctx->attempts = 5;
  ctx->sync_repeat = 5.0;
  if (!EnvInt(TARVO_PARAM_SIZE, 1, 1 << 20, &ctx->size)) return Fail(ctx, TARVO_PARAM_SIZE);
  if (!EnvInt(TARVO_PARAM_RANK, 0, ctx->size - 1, &ctx->rank)) return Fail(ctx, TARVO_PARAM_RANK);
  const char* host = getenv(tarvo_param_name(TARVO_PARAM_HOST));
  if (!host || strlen(host) >= sizeof ctx->host || !IsDotted(host)) return Fail(ctx, TARVO_PARAM_HOST);
  memcpy(ctx->host, host, strlen(host) + 1);
  if (!EnvInt(TARVO_PARAM_CONSOLE_PORT, 1, 65535, &ctx->console_port)) return Fail(ctx, TARVO_PARAM_CONSOLE_PORT);
  if (!EnvInt(TARVO_PARAM_SYNC_PORT, 1, 65535, &ctx->sync_port)) return Fail(ctx, TARVO_PARAM_SYNC_PORT);
  if (!EnvInt(TARVO_PARAM_ADDRESS_PORT, 1, 65535, &ctx->address_port)) return Fail(ctx, TARVO_PARAM_ADDRESS_PORT);
  if (!EnvInt(TARVO_PARAM_VISUAL_PORT, 1, 65535, &ctx->visual_port)) return Fail(ctx, TARVO_PARAM_VISUAL_PORT);
  const char* dir = getenv(tarvo_param_name(TARVO_PARAM_WORKDIR));
  if (dir) snprintf(ctx->workdir, sizeof ctx->workdir, "%s", dir);
  return TRV_OK;
}

void trv_finish(trv_ctx* ctx) {
  if (!ctx) return;
  if (ctx->sync_sock >= 0) velClose(ctx->sync_sock);
  ctx->sync_sock = -1;
}

int trv_local_address(const trv_ctx* ctx, char* out) {
  if (!ctx || !out) return TRV_EINVAL;
  // The source address that the system picks for datagrams to the launcher
  // is the one the launcher's other processes can reach this host at.
  int sock = velSocket(SOCK_DGRAM);
  if (sock < 0) return TRV_ESOCKET;
  int result = TRV_ESOCKET;
  sockaddr_in self;
  socklen_t len = sizeof self;
  memset(&self, 0, sizeof self);
  if (velConnect(sock, ctx->host, ctx->address_port) == 0 &&
      getsockname(sock, reinterpret_cast<sockaddr*>(&self), &len) == 0 && self.sin_addr.s_addr != 0) {
    memset(out, 0, 128);
    if (inet_ntop(AF_INET, &self.sin_addr, out, 128)) result = TRV_OK;
  }
  velClose(sock);
  if (result != TRV_OK && velGetHostIP(out) == 0) result = TRV_OK;
  return result;
}

int trv_open_endpoint(int* sock, int* port) {
  if (!sock || !port) return TRV_EINVAL;
  int s = FreshSocket();
  if (s < 0) return TRV_ESOCKET;
  int p = velGetSockPort(s);
  if (p <= 0) {
    velClose(s);
    return TRV_ESOCKET;
  }
  *sock = s;
  *port = p;
  return TRV_OK;
}

int trv_join(trv_ctx* ctx, int id, int tag, const char* ip, const char* hostname, int port, int* got_id) {
  if (!ValidContext(ctx) || !ip || strlen(ip) >= 128 || port < 0 || port > 65535) return TRV_EINVAL;
  if (id < 0 || id == TRV_NONE_ID || id == TRV_TABLE_ID) return TRV_EINVAL;
  AddressMessage m = Request(JOIN, id);
  m.tag = tag;
  CopyTextField(m.ip, sizeof m.ip, ip);
  char name[128];
  memset(name, 0, sizeof name);
  if (hostname) snprintf(name, sizeof name, "%s", hostname);
  else if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
  CopyTextField(m.hostname, sizeof m.hostname, name);
  m.port = port;
  char buf[sizeof(AddressMessage)];
  Answer got;

  if (id == TRV_ANY_ID) {
    // The answer carries 999, not the identifier that the registry chose, and
    // a repeat would register a second entry: before each send, look in the
    // table whether an earlier send was served, and take the identifier from
    // there.
    for (int attempt = 0; attempt <= ctx->attempts; ++attempt) {
      int found = 0;
      int r = FindOwn(ctx, ip, port, &found);
      if (r == TRV_OK) {
        if (got_id) *got_id = found;
        return TRV_OK;
      }
      if (r != TRV_ENOTFOUND) return r;
      if (attempt == ctx->attempts) break;
      r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, sizeof buf, 1, AnswerFor(JOINACK, id), &got);
      if (r != TRV_OK && r != TRV_ETIMEOUT) return r;
    }
    return TRV_ETIMEOUT;
  }

  int r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, sizeof buf, ctx->attempts, AnswerFor(JOINACK, id), &got);
  if (r != TRV_OK) return r;
  if (Field(buf, offsetof(AddressMessage, fd)) != TRV_NONE_ID) {
    // The registry answers with the identifier both when it stored the entry
    // and when another address already holds it: ask which one it keeps.
    char have[128];
    int havePort = 0;
    r = trv_address(ctx, id, have, &havePort);
    if (r == TRV_ENOTFOUND) return TRV_EPROTO;
    if (r != TRV_OK) return r;
    if (havePort != port || strcmp(have, ip) != 0) return TRV_ECONFLICT;
  }
  // 997: this same address and port is registered under id already.
  if (got_id) *got_id = id;
  return TRV_OK;
}

int trv_address(trv_ctx* ctx, int id, char* out_ip, int* out_port) {
  if (!ValidContext(ctx) || id < 0 || id == TRV_NONE_ID || id == TRV_TABLE_ID) return TRV_EINVAL;
  AddressMessage m = Request(ADDRESS, id);
  char buf[sizeof(AddressMessage)];
  Answer got;
  int r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, sizeof buf, ctx->attempts, AnswerFor(ADDRESSACK, id), &got);
  if (r != TRV_OK) return r;
  AddressMessage a;
  memcpy(&a, buf, sizeof a);
  if (a.fd == TRV_NONE_ID) return TRV_ENOTFOUND;
  if (out_ip) {
    size_t n = TextFieldLength(a.ip, sizeof a.ip);
    if (n >= sizeof a.ip) return TRV_EPROTO;  // no room for the terminator
    memcpy(out_ip, a.ip, n);
    memset(out_ip + n, 0, sizeof a.ip - n);
  }
  if (out_port) *out_port = a.port;
  return TRV_OK;
}

int trv_table(trv_ctx* ctx, trv_entry* out, int max, int* count) {
  if (!ValidContext(ctx) || !count || max < 0 || (max > 0 && !out)) return TRV_EINVAL;
  char* buf = static_cast<char*>(malloc(kMaxDatagram + 1));
  if (!buf) return TRV_ESOCKET;
  int n = 0;
  int r = FetchTable(ctx, buf, &n);
  if (r == TRV_OK) {
    *count = n;
    for (int i = 0; i < n && i < max; ++i) ToEntry(buf + kHeaderSize + i * kRecordSize, &out[i]);
  }
  free(buf);
  return r;
}

int trv_leave(trv_ctx* ctx, int id) {
  if (!ValidContext(ctx) || id < 0 || id == TRV_NONE_ID || id == TRV_TABLE_ID) return TRV_EINVAL;
  AddressMessage m = Request(LEAVE, id);
  char buf[sizeof(AddressMessage)];
  Answer got;
  int r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, sizeof buf, ctx->attempts, AnswerFor(LEAVEACK, id), &got);
  if (r != TRV_OK) return r;
  if (Field(buf, offsetof(AddressMessage, fd)) == TRV_NONE_ID && got.attempt == 0) return TRV_ENOTFOUND;
  return TRV_OK;
}

int trv_collective(trv_ctx* ctx, int code, double seconds) {
  if (!ctx || code < TRV_BROADCAST || code > TRV_SCATTER) return TRV_EINVAL;
  if (ctx->sync_sock < 0) {
    ctx->sync_sock = FreshSocket();
    if (ctx->sync_sock < 0) return TRV_ESOCKET;
  }
  // The release goes to the socket of the request, so one socket serves
  // every collective operation of the process.
  char host[128];
  CopyTextField(host, sizeof host, ctx->host);
  host[sizeof host - 1] = '\0';
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
      char from[128];
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
