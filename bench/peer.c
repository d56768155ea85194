/* The program that the service figures run under tarvo. Rank 0 writes what
 * carrier handed it (the launcher's address and the service ports) to the
 * file $TARVO_BENCH_PORTS, then holds until its standard input ends, so that
 * the bench can talk to the live services meanwhile; the other ranks end at
 * once. The bench itself plays the processes of the run. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* Env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

int main(void) {
  if (strcmp(Env("TARVO_RANK"), "0") != 0) return 0;
  const char* file = getenv("TARVO_BENCH_PORTS");
  if (file == NULL) return 2;
  char aside[4096];
  snprintf(aside, sizeof aside, "%s.part", file);
  FILE* f = fopen(aside, "w");
  if (f == NULL) return 1;
  fprintf(f, "%s %s %s %s %s\n", Env("TARVO_HOST"), Env("TARVO_SYNC_PORT"), Env("TARVO_ADDRESS_PORT"),
          Env("TARVO_CONSOLE_PORT"), Env("TARVO_SIZE"));
  if (fclose(f) != 0 || rename(aside, file) != 0) return 1;
  char buffer[256];
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
