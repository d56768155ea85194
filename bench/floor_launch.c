/* The launch floors: a minimal launcher that starts N copies of a program
 * and waits for all of them, and does nothing else.
 *
 *   floor_launch fork N PROGRAM        fork, execv PROGRAM, wait
 *   floor_launch hop N HOP PROGRAM     fork, execv HOP PROGRAM, wait
 *   floor_launch spawn N PROGRAM       posix_spawn PROGRAM, wait
 *   floor_launch spawnhop N HOP PROGRAM  posix_spawn HOP PROGRAM, wait
 *
 * Exits 0 when every child ended with 0, 1 otherwise. */
#define _GNU_SOURCE

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: floor_launch fork|hop|spawn|spawnhop N [HOP] PROGRAM\n", stderr);
    return 2;
  }
  const char* mode = argv[1];
  int n = atoi(argv[2]);
  int hop = strcmp(mode, "hop") == 0 || strcmp(mode, "spawnhop") == 0;
  int spawn = strcmp(mode, "spawn") == 0 || strcmp(mode, "spawnhop") == 0;
  if (hop && argc < 5) return 2;
  /* The child's vector: PROGRAM, or HOP PROGRAM. */
  char* child[3] = {argv[3], hop ? argv[4] : NULL, NULL};
  int started = 0;
  for (int i = 0; i < n; ++i) {
    pid_t pid;
    if (spawn) {
      if (posix_spawn(&pid, child[0], NULL, NULL, child, environ) != 0) return 1;
    } else {
      pid = fork();
      if (pid < 0) return 1;
      if (pid == 0) {
        execv(child[0], child);
        _exit(127);
      }
    }
    ++started;
  }
  int failed = 0;
  for (int i = 0; i < started; ++i) {
    int status = 0;
    if (wait(&status) < 0) return 1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = 1;
  }
  return failed;
}
