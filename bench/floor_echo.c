/* The floor of the request figures: a UDP echo that answers every datagram
 * with REPLY bytes (0: the datagram itself), to its source.
 *
 *   floor_echo REPLY PORTFILE      runs until it is killed */
#define _POSIX_C_SOURCE 200809L

#include <stdlib.h>

#include "floor_common.h"

/* The largest datagram that UDP over IPv4 carries. */
enum { kMaxDatagram = 65507 };

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int reply = atoi(argv[1]);
  if (reply < 0 || reply > kMaxDatagram) return 2;
  static char buffer[kMaxDatagram];
  int s = FloorOpen(argv[2]);
  if (s < 0) return 1;
  for (;;) {
    struct sockaddr_in addr;
    socklen_t length = sizeof addr;
    ssize_t got = recvfrom(s, buffer, sizeof buffer, 0, (struct sockaddr*)&addr, &length);
    if (got < 0) continue;
    sendto(s, buffer, reply > 0 ? (size_t)reply : (size_t)got, 0, (struct sockaddr*)&addr, length);
  }
}
