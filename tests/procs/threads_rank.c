/* threads_rank: a rank of the call-stack tests, which reads where each
 * thread of each rank is. It writes its pid into DIR/RANK.pid (RANK from
 * TARVO_RANK) and then, bounded to 60 s:
 *
 *   threads_rank DIR thread
 *       a second thread waits in hanging_in_helper; the main thread joins it.
 *   threads_rank DIR moving
 *       rank 1 keeps changing its stack: every 20 ms it recurses to another
 *       depth of step() (1 to 30) and spins there; the other ranks sleep in
 *       napping. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double Seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static volatile int sink;

__attribute__((noinline)) void napping(void) {
  const double until = Seconds() + 60;
  while (Seconds() < until) {
    const struct timespec s = {0, 100 * 1000 * 1000};
    nanosleep(&s, NULL);
  }
}

__attribute__((noinline)) void hanging_in_helper(void) { napping(); }

__attribute__((noinline)) void* helper_thread(void* arg) {
  (void)arg;
  hanging_in_helper();
  return NULL;
}

static long Bucket(void) { return (long)(Seconds() * 50.0); }

/* Spins until the 20 ms bucket changes. */
__attribute__((noinline)) void spin(void) {
  const long at = Bucket();
  while (Bucket() == at) ++sink;
}

__attribute__((noinline)) void step(int depth) {
  if (depth > 0) {
    step(depth - 1);
  } else {
    spin();
  }
  ++sink;
}

__attribute__((noinline)) void moving(void) {
  const double until = Seconds() + 60;
  while (Seconds() < until) step((int)(Bucket() % 30) + 1);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: threads_rank DIR thread|moving\n");
    return 2;
  }
  const char* rank = getenv("TARVO_RANK");
  char path[4096];
  snprintf(path, sizeof path, "%s/%s.pid", argv[1], rank != NULL ? rank : "0");
  FILE* f = fopen(path, "w");
  if (f == NULL) return 3;
  fprintf(f, "%d\n", (int)getpid());
  fclose(f);
  if (strcmp(argv[2], "thread") == 0) {
    pthread_t t;
    if (pthread_create(&t, NULL, helper_thread, NULL) != 0) return 4;
    pthread_join(t, NULL);
  } else if (rank != NULL && strcmp(rank, "1") == 0) {
    moving();
  } else {
    napping();
  }
  return 0;
}
