/* pi: each rank integrates its share of 4 / (1 + x^2) over [0, 1] with the
 * midpoint rule (intervals rank, rank + N, rank + 2N, ... of the one
 * argument's count, default 1000000), and the partial sums travel directly
 * to rank 0 over the processes' own UDP endpoints. Rank 0 adds them in rank
 * order and prints the result and its error on the console. */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "examples/peer.h"

static const char* const kProgram = "pi";
static const double kPi = 3.14159265358979323846;

int main(int argc, char** argv) {
  const long intervals = peer_count(argc, argv, kProgram, "intervals", 1000000, 2000000000L);
  trv_ctx ctx;
  peer_start(&ctx, kProgram);
  int sock = -1, port = 0;
  char ip[128];
  peer_join(&ctx, kProgram, &sock, &port, ip);

  const double h = 1.0 / (double)intervals;
  double sum = 0;
  for (long i = ctx.rank; i < intervals; i += ctx.size) {
    double x = h * ((double)i + 0.5);
    sum += 4.0 / (1.0 + x * x);
  }
  double part = h * sum;

  /* Rank 0 is registered once everyone has met. */
  int r = trv_collective(&ctx, TRV_GATHER, -1);
  if (r != TRV_OK) peer_die(kProgram, "collective", r);

  if (ctx.rank != 0) {
    char root_ip[128];
    int root_port = 0;
    r = trv_address(&ctx, 1, root_ip, &root_port);
    if (r != TRV_OK) peer_die(kProgram, "ADDRESS of rank 0", r);
    peer_msg m;
    m.kind = PEER_DATA;
    m.rank = ctx.rank;
    m.seq = ctx.rank;
    m.value = part;
    int acked = 0;
    for (int k = 0; k <= PEER_REPEATS && !acked; ++k) {
      peer_send(sock, &m, root_ip, root_port);
      double until = peer_now() + PEER_REPEAT_MS / 1000.0;
      peer_msg a;
      char from[128];
      int from_port = 0;
      while (!acked && peer_now() < until) {
        if (peer_recv(sock, until - peer_now(), &a, from, &from_port) && a.kind == PEER_ACK && a.seq == m.seq)
          acked = 1;
      }
    }
    if (!acked) {
      fprintf(stderr, "pi: rank 0 does not acknowledge the partial sum of rank %d\n", ctx.rank);
      return 1;
    }
  } else {
    double* parts = (double*)calloc((size_t)ctx.size, sizeof(double));
    char* have = (char*)calloc((size_t)ctx.size, 1);
    if (!parts || !have) peer_die(kProgram, "memory", TRV_EINVAL);
    parts[0] = part;
    have[0] = 1;
    int missing = ctx.size - 1;
    double last = peer_now();
    while (missing > 0) {
      peer_msg m;
      char from[128];
      int from_port = 0;
      if (!peer_recv(sock, 1.0, &m, from, &from_port)) {
        if (peer_now() - last > 60.0) {
          fprintf(stderr, "pi: %d partial sums did not arrive\n", missing);
          return 1;
        }
        continue;
      }
      if (m.kind != PEER_DATA || m.rank < 1 || m.rank >= ctx.size) continue;
      peer_ack(sock, 0, &m, from, from_port);
      last = peer_now();
      if (have[m.rank]) continue;  /* a repeat */
      have[m.rank] = 1;
      parts[m.rank] = m.value;
      --missing;
    }
    double total = 0;
    for (int k = 0; k < ctx.size; ++k) total += parts[k];
    peer_printf(&ctx, kProgram, "pi: %d process%s, %ld intervals: %.16f, error %.3e\n", ctx.size,
                ctx.size == 1 ? "" : "es", intervals, total,
                fabs(total - kPi));
    free(parts);
    free(have);
  }

  /* Rank 0 stays, answering repeated partial sums, until all are done. */
  r = peer_meet(&ctx, sock, TRV_REDUCE);
  if (r != TRV_OK) peer_die(kProgram, "collective", r);
  r = trv_leave(&ctx, ctx.rank + 1);
  if (r != TRV_OK) peer_die(kProgram, "LEAVE", r);
  close(sock);
  trv_finish(&ctx);
  return 0;
}
