/* hello: every rank prints its rank, the count and its host on the
 * launcher's console, in rank order: rank r prints in turn r, and a
 * collective operation after each turn holds the later ranks back until the
 * line is on the console. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <unistd.h>

#include "examples/peer.h"

int main(void) {
  trv_ctx ctx;
  peer_start(&ctx, "hello");
  char host[256];
  if (gethostname(host, sizeof host - 1) != 0) snprintf(host, sizeof host, "unknown");
  host[sizeof host - 1] = '\0';
  for (int turn = 0; turn < ctx.size; ++turn) {
    if (turn == ctx.rank) {
      peer_printf(&ctx, "hello", "hello from rank %d of %d on %s\n", ctx.rank, ctx.size, host);
    }
    int r = trv_collective(&ctx, TRV_BROADCAST, -1);
    if (r != TRV_OK) peer_die("hello", "collective", r);
  }
  trv_finish(&ctx);
  return 0;
}
