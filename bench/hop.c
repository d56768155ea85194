/* One exec hop, the least that a wrapper such as carrier can cost:
 * hop PROGRAM [ARGS...] replaces itself with PROGRAM. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  execvp(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
