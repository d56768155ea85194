/* What the examples share: start-up through the runtime library, and a small
 * stop-and-wait protocol between the processes' own UDP endpoints.
 *
 * A peer datagram is 24 bytes: kind, sender's rank, sequence number, a spare
 * word and one double. Every data datagram is acknowledged by the receiver
 * with an ack carrying the same sequence number; the sender repeats it until
 * the ack comes, so a lost datagram costs a repeat and a duplicate is
 * recognised by its sequence number. The double travels in host order: the
 * processes of a run are all on the same kind of machine. */
#ifndef TARVO_EXAMPLES_PEER_H
#define TARVO_EXAMPLES_PEER_H

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "netprim/netprim.h"
#include "runtime/tarvo_runtime.h"

enum { PEER_DATA = 1, PEER_ACK = 2 };
enum { PEER_SIZE = 24 };
/* A data datagram is repeated every PEER_REPEAT_MS until acknowledged, at
 * most PEER_REPEATS times (10 s in all). */
enum { PEER_REPEAT_MS = 200, PEER_REPEATS = 50 };

typedef struct peer_msg {
  int32_t kind;
  int32_t rank;
  int32_t seq;
  double value;
} peer_msg;

static inline void peer_pack(const peer_msg* m, char* out) {
  int32_t spare = 0;
  memcpy(out, &m->kind, 4);
  memcpy(out + 4, &m->rank, 4);
  memcpy(out + 8, &m->seq, 4);
  memcpy(out + 12, &spare, 4);
  memcpy(out + 16, &m->value, 8);
}

static inline void peer_unpack(const char* in, peer_msg* m) {
  memcpy(&m->kind, in, 4);
  memcpy(&m->rank, in + 4, 4);
  memcpy(&m->seq, in + 8, 4);
  memcpy(&m->value, in + 16, 8);
}

static inline double peer_now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Ends the program with a message on standard error. */
static inline void peer_die(const char* program, const char* what, int code) {
  fprintf(stderr, "%s: %s: %s\n", program, what, trv_strerror(code));
  exit(1);
}

/* The program's one argument, WHAT, a count of 1 to MAX (FALLBACK when
 * there is none); anything else ends the program with status 2. */
static inline long peer_count(int argc, char** argv, const char* program, const char* what, long fallback,
                              long max) {
  if (argc < 2) return fallback;
  char* end = NULL;
  long v = strtol(argv[1], &end, 10);
  if (*end != '\0' || v < 1 || v > max) {
    fprintf(stderr, "%s: %s must be 1 to %ld: %s\n", program, what, max, argv[1]);
    exit(2);
  }
  return v;
}

/* printf on the launcher's console; ends the program when the console does
 * not answer. */
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
static inline void peer_printf(trv_ctx* ctx, const char* program, const char* format, ...) {
  char text[8192];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (n >= (int)sizeof text) n = (int)sizeof text - 1;
  int r = trv_print(ctx, text, n);
  if (r != TRV_OK) peer_die(program, "console", r);
}

/* trv_init, or a clear message and exit when not started by tarvo. */
static inline void peer_start(trv_ctx* ctx, const char* program) {
  int r = trv_init(ctx);
  if (r == TRV_ENOTTARVO) {
    fprintf(stderr,
            "%s: not started by tarvo (%s is missing or malformed); run it as: tarvo -np 4 %s\n",
            program, ctx->problem, program);
    exit(2);
  }
  if (r != TRV_OK) peer_die(program, "trv_init", r);
}

/* Receives one peer datagram within seconds: 1 with the message and its
 * source, 0 on time-out or for a datagram that is not a peer datagram. */
static inline int peer_recv(int sock, double seconds, peer_msg* m, char* from, int* from_port) {
  char buf[64];
  if (!velSockReadAvailable(sock, seconds < 0 ? 0 : seconds)) return 0;
  int n = velRecvfrom(sock, buf, sizeof buf, from, from_port);
  if (n != PEER_SIZE) return 0;
  peer_unpack(buf, m);
  return m->kind == PEER_DATA || m->kind == PEER_ACK;
}

static inline int peer_send(int sock, const peer_msg* m, const char* ip, int port) {
  char buf[PEER_SIZE];
  char host[128];
  peer_pack(m, buf);
  size_t n = strnlen(ip, sizeof host - 1);
  memcpy(host, ip, n);
  memset(host + n, 0, sizeof host - n);
  return velSendto(sock, buf, PEER_SIZE, host, port) == PEER_SIZE ? 0 : -1;
}

/* Acknowledges a data datagram to where it came from. */
static inline void peer_ack(int sock, int my_rank, const peer_msg* data, const char* from, int from_port) {
  peer_msg a;
  a.kind = PEER_ACK;
  a.rank = my_rank;
  a.seq = data->seq;
  a.value = 0;
  peer_send(sock, &a, from, from_port);
}

/* Meets every other rank in a collective operation while still answering
 * repeated data datagrams (an ack of ours may have been lost, and the sender
 * waits for it). Each round waits 0.2 s for the release; the next round's
 * request is a repeat that the service does not count again. */
static inline int peer_meet(trv_ctx* ctx, int sock, int code) {
  for (;;) {
    int r = trv_collective(ctx, code, 0.2);
    if (r != TRV_ETIMEOUT) return r;
    peer_msg m;
    char from[128];
    int from_port = 0;
    while (peer_recv(sock, 0.0, &m, from, &from_port)) {
      if (m.kind == PEER_DATA) peer_ack(sock, ctx->rank, &m, from, from_port);
    }
  }
}

/* Registers this process's endpoint under identifier rank + 1, its rank as
 * the tag. */
static inline void peer_join(trv_ctx* ctx, const char* program, int* sock, int* port, char* ip) {
  int r = trv_open_endpoint(sock, port);
  if (r != TRV_OK) peer_die(program, "endpoint", r);
  r = trv_local_address(ctx, ip);
  if (r != TRV_OK) peer_die(program, "local address", r);
  r = trv_join(ctx, ctx->rank + 1, ctx->rank, ip, NULL, *port, NULL);
  if (r != TRV_OK) peer_die(program, "JOIN", r);
}

#endif /* TARVO_EXAMPLES_PEER_H */
