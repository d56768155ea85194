/* Compiled as C: the netprim header must serve C callers, and its functions
 * must be reachable under their C names. */
#include "netprim/netprim.h"

#include <sys/socket.h>

int netprimCCheck(void);

/* 0 when a C caller sees the expected results, else the failing step. */
int netprimCCheck(void) {
  int sec = 0;
  int usec = 0;
  int sock;
  if (velSockStartup() != 0) return 1;
  velSplitTimeout(2.5, &sec, &usec);
  if (sec != 2 || usec != 500000) return 2;
  sock = velSocket(SOCK_DGRAM);
  if (sock < 0) return 3;
  if (velBind(sock, 0) != 0 || velGetSockPort(sock) <= 0) return 4;
  if (velClose(sock) != 0) return 5;
  if (velSockCleanup() != 0) return 6;
  return 0;
}
