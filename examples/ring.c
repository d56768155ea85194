/* ring: every rank registers its own UDP endpoint, all meet, each fetches
 * the table and a token travels around the ring directly between the
 * processes, rank r to rank r + 1 and the last back to rank 0, for a number
 * of laps (the one argument, default 5). Rank 0 prints the laps and the time
 * per hop on the console.
 *
 * The token's sequence number is the count of hops made, so rank r sees
 * r, r + N, r + 2N, ... and rank 0 sees N, 2N, ... at the end of each lap.
 * Every hop is acknowledged and repeated until it is (examples/peer.h). */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "examples/peer.h"

static const char* const kProgram = "ring";

/* Gives up when nothing at all happens for this long: a process of the ring
 * is gone. */
static const double kIdleLimit = 60.0;

int main(int argc, char** argv) {
  const int laps = (int)peer_count(argc, argv, kProgram, "laps", 5, 1000000);
  trv_ctx ctx;
  peer_start(&ctx, kProgram);
  int sock = -1, port = 0;
  char ip[128];
  peer_join(&ctx, kProgram, &sock, &port, ip);

  /* Everyone is registered once everyone has met. */
  int r = trv_collective(&ctx, TRV_GATHER, -1);
  if (r != TRV_OK) peer_die(kProgram, "collective", r);

  const int n = ctx.size;
  trv_entry* table = (trv_entry*)calloc((size_t)n, sizeof(trv_entry));
  int count = 0;
  if (!table) peer_die(kProgram, "table", TRV_EINVAL);
  r = trv_table(&ctx, table, n, &count);
  if (r != TRV_OK) peer_die(kProgram, "table", r);
  const int next_id = (ctx.rank + 1) % n + 1;
  const trv_entry* next = NULL;
  for (int i = 0; i < count && i < n; ++i) {
    if (table[i].id == next_id) next = &table[i];
  }
  if (!next) {
    fprintf(stderr, "ring: rank %d is not in the table\n", next_id - 1);
    return 1;
  }

  const int total = laps * n;
  const int last_in = ctx.rank == 0 ? total : (laps - 1) * n + ctx.rank;
  double* lap_end = (double*)calloc((size_t)laps, sizeof(double));
  if (!lap_end) peer_die(kProgram, "memory", TRV_EINVAL);
  int last_seen = 0;
  int have_out = 0, repeats = 0;
  peer_msg out;
  memset(&out, 0, sizeof out);
  double sent_at = 0, start = peer_now(), last_event = start;

  if (ctx.rank == 0) {
    out.kind = PEER_DATA;
    out.rank = 0;
    out.seq = 1;
    have_out = 1;
    sent_at = peer_now();
    start = sent_at;
    peer_send(sock, &out, next->ip, next->port);
  }
  while (last_seen < last_in || have_out) {
    double now = peer_now();
    double wait = have_out ? sent_at + PEER_REPEAT_MS / 1000.0 - now : 1.0;
    peer_msg m;
    char from[128];
    int from_port = 0;
    if (peer_recv(sock, wait, &m, from, &from_port)) {
      last_event = peer_now();
      if (m.kind == PEER_ACK) {
        if (have_out && m.seq == out.seq) have_out = 0;
        continue;
      }
      peer_ack(sock, ctx.rank, &m, from, from_port);
      if (m.seq <= last_seen) continue;  /* a repeat: acknowledged again */
      last_seen = m.seq;
      if (ctx.rank == 0 && m.seq % n == 0 && m.seq / n <= laps) lap_end[m.seq / n - 1] = last_event;
      if (m.seq < total) {
        out.kind = PEER_DATA;
        out.rank = ctx.rank;
        out.seq = m.seq + 1;
        have_out = 1;
        repeats = 0;
        sent_at = peer_now();
        peer_send(sock, &out, next->ip, next->port);
      }
      continue;
    }
    now = peer_now();
    if (have_out && now >= sent_at + PEER_REPEAT_MS / 1000.0) {
      if (++repeats > PEER_REPEATS) {
        fprintf(stderr, "ring: rank %d does not acknowledge the token\n", next_id - 1);
        return 1;
      }
      sent_at = now;
      peer_send(sock, &out, next->ip, next->port);
    } else if (!have_out && now - last_event > kIdleLimit) {
      fprintf(stderr, "ring: rank %d: no token for %.0f s\n", ctx.rank, kIdleLimit);
      return 1;
    }
  }

  if (ctx.rank == 0) {
    char path[4096];
    int used = snprintf(path, sizeof path, "0");
    for (int k = 1; k <= n && used < (int)sizeof path - 16; ++k)
      used += snprintf(path + used, sizeof path - (size_t)used, " -> %d", k % n);
    peer_printf(&ctx, kProgram, "ring: %d process%s in the table, the token goes %s\n", count, count == 1 ? "" : "es", path);
    double prev = start;
    for (int k = 0; k < laps && k < 100; ++k) {
      peer_printf(&ctx, kProgram,
                  "ring: lap %d: %d hop%s, %.1f us per hop\n", k + 1, n, n == 1 ? "" : "s", (lap_end[k] - prev) * 1e6 / n);
      prev = lap_end[k];
    }
    if (laps > 100) peer_printf(&ctx, kProgram, "ring: (laps 101 to %d not shown)\n", laps);
    peer_printf(&ctx, kProgram, "ring: %d lap%s, %d hop%s, %.1f us per hop\n", laps, laps == 1 ? "" : "s", total, total == 1 ? "" : "s",
               (lap_end[laps - 1] - start) * 1e6 / total);
  }

  /* Stay for the others (and answer a repeated token) before leaving. */
  r = peer_meet(&ctx, sock, TRV_GATHER);
  if (r != TRV_OK) peer_die(kProgram, "collective", r);
  r = trv_leave(&ctx, ctx.rank + 1);
  if (r != TRV_OK) peer_die(kProgram, "LEAVE", r);
  close(sock);
  free(lap_end);
  free(table);
  trv_finish(&ctx);
  return 0;
}
