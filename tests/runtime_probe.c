/* Run under tarvo by examples_e2e_test: puts the library's reading of the
 * address protocol to the real address service. Each check that fails is
 * named on standard error; the exit status is the number of failures. The
 * ranks use disjoint identifiers (100 * rank + k) so that they can run at
 * once. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "runtime/tarvo_runtime.h"

static int failures = 0;

static void Expect(int got, int want, const char* what) {
  if (got == want) return;
  fprintf(stderr, "probe: %s: got %d (%s), want %d (%s)\n", what, got, trv_strerror(got), want, trv_strerror(want));
  ++failures;
}

int main(void) {
  trv_ctx ctx;
  int r = trv_init(&ctx);
  if (r != TRV_OK) {
    fprintf(stderr, "probe: trv_init: %s (%s)\n", trv_strerror(r), ctx.problem);
    return 100;
  }
  int a = -1, pa = 0, b = -1, pb = 0;
  char ip[128];
  Expect(trv_open_endpoint(&a, &pa), TRV_OK, "endpoint a");
  Expect(trv_open_endpoint(&b, &pb), TRV_OK, "endpoint b");
  Expect(trv_local_address(&ctx, ip), TRV_OK, "local address");
  const int id = 100 * ctx.rank + 10;

  Expect(trv_join(&ctx, id, 7, ip, "probehost", pa, NULL), TRV_OK, "first JOIN");
  Expect(trv_join(&ctx, id, 7, ip, "probehost", pa, NULL), TRV_OK, "repeated JOIN (997)");
  Expect(trv_join(&ctx, id, 7, ip, "probehost", pb, NULL), TRV_ECONFLICT, "JOIN of a held identifier");

  char got_ip[128];
  int got_port = 0;
  Expect(trv_address(&ctx, id, got_ip, &got_port), TRV_OK, "ADDRESS");
  Expect(got_port, pa, "ADDRESS keeps the first port");
  Expect(strcmp(got_ip, ip), 0, "ADDRESS gives the registered address");
  Expect(trv_address(&ctx, id + 5, got_ip, &got_port), TRV_ENOTFOUND, "ADDRESS of an absent identifier");

  trv_entry table[64];
  int count = 0;
  Expect(trv_table(&ctx, table, 64, &count), TRV_OK, "table");
  int seen = 0;
  for (int i = 0; i < count && i < 64; ++i) {
    if (table[i].id == id && table[i].port == pa && table[i].tag == 7 && strcmp(table[i].hostname, "probehost") == 0)
      ++seen;
  }
  Expect(seen, 1, "own entry in the table, once");

  Expect(trv_leave(&ctx, id), TRV_OK, "LEAVE");
  Expect(trv_leave(&ctx, id), TRV_ENOTFOUND, "second LEAVE (997)");
  Expect(trv_address(&ctx, id, got_ip, &got_port), TRV_ENOTFOUND, "ADDRESS after LEAVE");

  /* Only rank 0 asks for a chosen identifier (the highest one plus 1), so
   * that every other rank's id + 5 stays free. */
  if (ctx.rank == 0) {
    int chosen = -1;
    Expect(trv_join(&ctx, TRV_ANY_ID, 8, ip, "probehost", pb, &chosen), TRV_OK, "JOIN 999");
    if (chosen > 0) {
      Expect(trv_address(&ctx, chosen, got_ip, &got_port), TRV_OK, "ADDRESS of the chosen identifier");
      Expect(got_port, pb, "chosen identifier has the port");
      Expect(trv_join(&ctx, TRV_ANY_ID, 8, ip, "probehost", pb, &r), TRV_OK, "JOIN 999 again");
      Expect(r, chosen, "JOIN 999 again finds the same entry");
      Expect(trv_leave(&ctx, chosen), TRV_OK, "LEAVE of the chosen identifier");
    } else {
      Expect(chosen > 0, 1, "JOIN 999 gives an identifier");
    }
  }

  Expect(trv_collective(&ctx, TRV_SCATTER, 30.0), TRV_OK, "collective");
  if (ctx.rank == 0 && failures == 0) trv_printf(&ctx, "probe: %d ranks passed\n", ctx.size);
  close(a);
  close(b);
  trv_finish(&ctx);
  return failures;
}
