#include "runtime/carrier_relay.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

/* How long the drain waits for the next byte from the terminal, for the
 * reader of the remote shell's output to take the block in hand, and in all
 * (a descendant of the program may write on). */
enum { kDrainReadMs = 1000, kDrainWriteMs = 10000, kDrainMostMs = 30000 };

void CarrierRelayStart(CarrierRelay* relay, int from, int to) {
  relay->from = from;
  relay->to = to;
  relay->length = relay->written = 0;
  if (from >= 0) fcntl(from, F_SETFL, fcntl(from, F_GETFL) | O_NONBLOCK);
}

void CarrierRelayPoll(const CarrierRelay* relay, struct pollfd* entry) {
  entry->revents = 0;
  if (relay->length > 0) {
    entry->fd = relay->to;
    entry->events = POLLOUT;
  } else {
    entry->fd = relay->from;
    entry->events = POLLIN;
  }
}

void CarrierRelayStep(CarrierRelay* relay) {
  if (relay->length == 0) {
    if (relay->from < 0) return;
    const ssize_t got = read(relay->from, relay->block, sizeof relay->block);
    if (got > 0) {
      relay->length = relay->to >= 0 ? (size_t)got : 0; /* no reader: dropped */
      relay->written = 0;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      /* EIO: no one holds the terminal's side any more, all is read. */
      close(relay->from);
      relay->from = -1;
    }
    return;
  }
  /* Written only once poll found the output writable: at most one block,
   * which a pipe or socket then takes without a long wait. */
  const ssize_t put = write(relay->to, relay->block + relay->written, relay->length - relay->written);
  if (put > 0) {
    relay->written += (size_t)put;
    if (relay->written == relay->length) relay->length = 0;
  } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
    relay->to = -1; /* the reader is gone (EPIPE): the rest is dropped */
    relay->length = 0;
  }
}

static long long NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void CarrierRelayDrain(CarrierRelay* relay) {
  const long long until = NowMs() + kDrainMostMs;
  for (;;) {
    struct pollfd entry;
    CarrierRelayPoll(relay, &entry);
    const long long left = until - NowMs();
    if (entry.fd < 0 || left <= 0) break;
    const int wait = relay->length > 0 ? kDrainWriteMs : kDrainReadMs;
    const int ready = poll(&entry, 1, wait < left ? wait : (int)left);
    if (ready == 0 || (ready < 0 && errno != EINTR)) break;
    if (ready > 0) CarrierRelayStep(relay);
  }
  if (relay->from >= 0) close(relay->from);
  relay->from = -1;
}
