/* carrier's relay of its rank's terminal to the remote shell's output: a
 * remote rank's standard output is a terminal, so that the program's stdio
 * buffers by lines, and carrier, the program's parent, copies what comes
 * out of the terminal's other end to its own standard output byte for byte.
 * One block at a time: the next is read only once the last is written, so
 * that a slow reader holds the program back (its terminal fills) rather
 * than carrier's memory growing. */
#ifndef TARVO_RUNTIME_CARRIER_RELAY_H
#define TARVO_RUNTIME_CARRIER_RELAY_H

#include <poll.h>
#include <stddef.h>
#include <sys/ioctl.h>

typedef struct CarrierRelay {
  int from;       /* the terminal's master side; -1 once it is closed (EIO, EOF) */
  int to;         /* -1 once a write failed: what is read then is dropped */
  size_t length;  /* of the block in hand */
  size_t written; /* of it */
  char block[4096];
} CarrierRelay;

/* Relays FROM (-1: nothing) to TO; FROM is made non-blocking. */
void CarrierRelayStart(CarrierRelay* relay, int from, int to);

/* The poll entry that the relay waits on: FROM readable with no block in
 * hand, else TO writable; fd -1 (poll skips it) once FROM is done. */
void CarrierRelayPoll(const CarrierRelay* relay, struct pollfd* entry);

/* The step that the entry's readiness allows: a read or a write. */
void CarrierRelayStep(CarrierRelay* relay);

/* After the program's end: relays what is left until the terminal's other
 * side is closed, giving up after a while without progress (a descendant
 * of the program in another process group may hold it open). FROM is
 * closed. */
void CarrierRelayDrain(CarrierRelay* relay);

#endif /* TARVO_RUNTIME_CARRIER_RELAY_H */
