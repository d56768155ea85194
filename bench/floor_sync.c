/* The floor of the synchronisation figures: a bare gather-and-release
 * server over the same 140-byte datagrams. It keeps the source of each
 * rank's request and, when N requests have come, sends the 140-byte
 * release to every rank in rank order; no text, no checks beyond the rank.
 *
 *   floor_sync N PORTFILE      runs until it is killed */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdlib.h>

#include "floor_common.h"

enum { kSyncSize = 140 };

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int n = atoi(argv[1]);
  if (n < 1) return 2;
  struct sockaddr_in* from = calloc((size_t)n, sizeof *from);
  int s = FloorOpen(argv[2]);
  if (s < 0 || from == NULL) return 1;
  char request[kSyncSize];
  char release[kSyncSize];
  memset(release, 0, sizeof release);
  int arrived = 0;
  for (;;) {
    struct sockaddr_in addr;
    socklen_t length = sizeof addr;
    ssize_t got = recvfrom(s, request, sizeof request, 0, (struct sockaddr*)&addr, &length);
    if (got < 8) continue;
    int32_t rank;
    memcpy(&rank, request + 4, sizeof rank);
    if ((uint32_t)rank >= (uint32_t)n) continue;
    from[rank] = addr;
    if (++arrived < n) continue;
    arrived = 0;
    for (int j = 0; j < n; ++j) {
      sendto(s, release, sizeof release, 0, (struct sockaddr*)&from[j], sizeof from[j]);
    }
  }
}
