/* control_rank: one rank of the run-control tests, started by the real tarvo
 * through the real carrier. Every rank first writes its pid to DIR/pid.RANK;
 * a rank that holds has its signal handlers in place before it writes it;
 * every wait is bounded (60 s; a collective operation 120 s, as long as the
 * tests wait for a run: 64 logins to a loopback sshd take most of a minute
 * on a two-core machine, and more under ThreadSanitizer).
 *
 *   control_rank DIR hold
 *       Notes the size of its standard output's terminal in DIR/size.RANK
 *       (rows * 10000 + columns; -1: no terminal), then waits. SIGUSR1 is noted in DIR/usr1.RANK; a SIGINT is counted, and
 *       half a second after the first the count goes to DIR/int.RANK and the
 *       rank exits with 130.
 *   control_rank DIR stubborn
 *       Waits, ignoring SIGINT and SIGTERM.
 *   control_rank DIR fail VICTIM STATUS
 *       Rank VICTIM waits until every rank has written its pid, then exits
 *       with STATUS, or waits when STATUS is "wait"; every other rank enters
 *       a collective operation, which VICTIM never enters. */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "runtime/tarvo_runtime.h"

static volatile sig_atomic_t interrupts = 0;
static volatile sig_atomic_t usr1 = 0;

static void OnInterrupt(int sig) {
  (void)sig;
  ++interrupts;
}

static void OnUsr1(int sig) {
  (void)sig;
  usr1 = 1;
}

static void Note(const char* dir, const char* what, int rank, long value) {
  char tmp[512], path[512];
  snprintf(tmp, sizeof tmp, "%s/.%s.%d.tmp", dir, what, rank);
  snprintf(path, sizeof path, "%s/%s.%d", dir, what, rank);
  FILE* f = fopen(tmp, "w");
  if (f == NULL) exit(20);
  fprintf(f, "%ld\n", value);
  if (fclose(f) != 0 || rename(tmp, path) != 0) exit(21);
}

static void Pause(int ms) {
  struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

static int AllStarted(const char* dir, int size) {
  for (int r = 0; r < size; ++r) {
    char path[512];
    snprintf(path, sizeof path, "%s/pid.%d", dir, r);
    if (access(path, F_OK) != 0) return 0;
  }
  return 1;
}

static int Hold(const char* dir, int rank) {
  for (int k = 0; k < 6000; ++k) {
    if (usr1) {
      Note(dir, "usr1", rank, 1);
      usr1 = 0;
    }
    if (interrupts > 0) {
      Pause(500); /* a second delivery would arrive meanwhile */
      Note(dir, "int", rank, interrupts);
      return 130;
    }
    Pause(10);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* dir = argv[1];
  trv_ctx ctx;
  int r = trv_init(&ctx);
  if (r != TRV_OK) return 10;
  /* A test signals a rank once its pid is written: the rank's handlers are
   * in place by then, however late a loaded machine runs it. */
  if (strcmp(argv[2], "hold") == 0) {
    signal(SIGINT, OnInterrupt);
    signal(SIGUSR1, OnUsr1);
    struct winsize size;
    Note(dir, "size", ctx.rank, ioctl(1, TIOCGWINSZ, &size) == 0 ? size.ws_row * 10000L + size.ws_col : -1L);
  } else if (strcmp(argv[2], "stubborn") == 0) {
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
  }
  Note(dir, "pid", ctx.rank, (long)getpid());
  if (strcmp(argv[2], "hold") == 0) return Hold(dir, ctx.rank);
  if (strcmp(argv[2], "stubborn") == 0) {
    Pause(60000);
    return 0;
  }
  if (strcmp(argv[2], "fail") == 0 && argc == 5) {
    if (ctx.rank == atoi(argv[3])) {
      for (int k = 0; k < 1000 && !AllStarted(dir, ctx.size); ++k) Pause(10);
      if (strcmp(argv[4], "wait") == 0) Pause(60000);
      return atoi(argv[4]);
    }
    r = trv_collective(&ctx, TRV_BROADCAST, 120.0);
    return r == TRV_OK ? 0 : 11;
  }
  return 2;
}
