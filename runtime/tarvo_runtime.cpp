// The process side of a tarvo run: carrier's environment and the address
// protocol, on top of netprim (tarvo_services.cpp holds the synchronisation
// and console protocols).
#include "runtime/tarvo_runtime.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "common/carrier_params.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "common/textfield.h"
#include "netprim/netprim.h"
#include "runtime/exchange.h"

using trvdetail::Answer;
using trvdetail::Exchange;
using trvdetail::Field;
using trvdetail::FreshSocket;
using trvdetail::ValidContext;

namespace {

// The identifiers of the C header are the protocol's.
static_assert(TRV_ANY_ID == kNewIdentifier, "TRV_ANY_ID is the protocol's 999");
static_assert(TRV_TABLE_ID == kWholeTable, "TRV_TABLE_ID is the protocol's 998");
static_assert(TRV_NONE_ID == kNotFound, "TRV_NONE_ID is the protocol's 997");

// The largest UDP payload over IPv4; the table reply must fit in it.
const int kMaxDatagram = 65507;
const int kRecordSize = static_cast<int>(sizeof(ProcessAddress));
const int kHeaderSize = static_cast<int>(sizeof(AddressMessage));

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

// Sends the request `m` to the address service, repeated as the context
// says, until an ordinary answer with `code` comes; it goes to *a.
int Ask(const trv_ctx* ctx, const AddressMessage& m, int32_t code, AddressMessage* a, Answer* got) {
  char buf[sizeof(AddressMessage)];
  int r = Exchange(ctx, ctx->address_port, &m, sizeof m, buf, sizeof buf, ctx->attempts, AnswerFor(code, m.fd), got);
  if (r == TRV_OK) memcpy(a, buf, sizeof *a);
  return r;
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
    memset(out, 0, ADDRESS_TEXT_SIZE);
    if (inet_ntop(AF_INET, &self.sin_addr, out, ADDRESS_TEXT_SIZE)) result = TRV_OK;
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
  if (!ValidContext(ctx) || !ip || strlen(ip) >= ADDRESS_TEXT_SIZE || port < 0 || port > 65535) return TRV_EINVAL;
  if (id < 0 || id == TRV_NONE_ID || id == TRV_TABLE_ID) return TRV_EINVAL;
  AddressMessage m = Request(JOIN, id);
  m.tag = tag;
  CopyTextField(m.ip, sizeof m.ip, ip);
  // The host name, cut to the message's field below.
  char name[HOST_NAME_MAX + 1];
  memset(name, 0, sizeof name);
  if (hostname) snprintf(name, sizeof name, "%s", hostname);
  else if (gethostname(name, sizeof name) != 0) name[0] = '\0';
  name[sizeof name - 1] = '\0';
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

  AddressMessage a;
  int r = Ask(ctx, m, JOINACK, &a, &got);
  if (r != TRV_OK) return r;
  if (a.fd != TRV_NONE_ID) {
    // The registry answers with the identifier both when it stored the entry
    // and when another address already holds it: ask which one it keeps.
    char have[ADDRESS_TEXT_SIZE];
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
  AddressMessage a;
  Answer got;
  int r = Ask(ctx, Request(ADDRESS, id), ADDRESSACK, &a, &got);
  if (r != TRV_OK) return r;
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
  AddressMessage a;
  Answer got;
  int r = Ask(ctx, Request(LEAVE, id), LEAVEACK, &a, &got);
  if (r != TRV_OK) return r;
  if (a.fd == TRV_NONE_ID && got.attempt == 0) return TRV_ENOTFOUND;
  return TRV_OK;
}

}  // extern "C"
