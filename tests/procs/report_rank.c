/* report_rank: a rank that prints a report through stdio with its default
 * buffering (a block at a time when its standard output is a pipe or a file,
 * a line at a time when it is a terminal), as a tester does before it ends
 * the run on purpose.
 *
 *   report_rank DIR LINES ENDER abort|kill
 *       Prints LINES lines "report R line I" (and one on standard error),
 *       then rank ENDER waits (at most 30 s) until every other rank of
 *       TARVO_SIZE has left DIR/printed.R and ends itself with abort() or
 *       SIGKILL, which flush nothing; the others leave DIR/printed.R and
 *       wait to be ended, and after 30 s end without flushing either. */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void Nap(void) {
  struct timespec t = {0, 20 * 1000 * 1000};
  nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: report_rank DIR LINES ENDER abort|kill\n");
    return 2;
  }
  const char* dir = argv[1];
  const int lines = atoi(argv[2]);
  const int ender = atoi(argv[3]);
  const int rank = atoi(getenv("TARVO_RANK") ? getenv("TARVO_RANK") : "0");
  const int size = atoi(getenv("TARVO_SIZE") ? getenv("TARVO_SIZE") : "1");
  for (int i = 0; i < lines; ++i) printf("report %d line %d ..........................................\n", rank, i);
  fprintf(stderr, "report %d done\n", rank);
  char path[4096];
  if (rank == ender) {
    for (int waited = 0; waited < 1500; ++waited) {
      int printed = 0;
      for (int r = 0; r < size; ++r) {
        snprintf(path, sizeof path, "%s/printed.%d", dir, r);
        printed += r != ender && access(path, F_OK) == 0;
      }
      if (printed == size - 1) break;
      Nap();
    }
    if (strcmp(argv[4], "kill") == 0) raise(SIGKILL);
    abort();
  }
  snprintf(path, sizeof path, "%s/printed.%d", dir, rank);
  FILE* mark = fopen(path, "w");
  if (mark != NULL) fclose(mark);
  for (int waited = 0; waited < 1500; ++waited) Nap();
  _exit(3);
}
