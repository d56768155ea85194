/* The program of the output figures: writes LINES lines of 64 bytes (the
 * line end included) on standard output, through stdio, as fast as it can. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  long lines = argc > 1 ? atol(argv[1]) : 0;
  const char* rank = getenv("TARVO_RANK");
  for (long i = 0; i < lines; ++i) {
    printf("rank %4.4s line %10ld .....................................\n", rank ? rank : "-", i);
  }
  return 0;
}
