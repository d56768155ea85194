// The receive loop that the four services share: clear the buffer, receive,
// end quietly or report a failed receive, drop senders outside the run, and
// hand the datagram to the service.
#ifndef TARVO_LAUNCHER_SERVICELOOP_H
#define TARVO_LAUNCHER_SERVICELOOP_H

#include <cstdio>
#include <cstring>

#include "common/protocol.h"
#include "launcher/context/RunContext.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/Services.h"
#include "launcher/services/SourceFilter.h"

/// How a service reports a receive that fails during the run, before the
/// run ends with status 1: ErrorMsg(step, line, kErrorSource), or perror(step)
/// alone when line is 0, or nothing when step is null.
struct ReceiveFailure {
  const char* step;
  int line;
};

/// One datagram from a sender of the run. The buffer holds `length` bytes
/// received; the rest of it reads as zero.
struct Datagram {
  char* data;
  int length;
  const char* host;  // the sender's dotted address text, 128 bytes
  int port;
};

/// Serves the service's endpoint until the run closes: clears the
/// `capacity` bytes of `buffer` and the sender's text before every receive,
/// and calls handle(const Datagram&) for each datagram whose sender is a
/// host of the run (`service.senders`); the handler returns false to end the
/// thread. A failed receive ends the thread quietly once main has begun to
/// close the endpoints or `service.stopping` is set; otherwise it is
/// reported as `failure` says and ends the run.
template <typename Handle>
void* ServeEndpoint(const ServiceThread& service, char* buffer, int capacity, ReceiveFailure failure, Handle handle) {
  CUDPConnection* endpoint = service.endpoint;
  char host[ADDRESS_TEXT_SIZE];
  int port = 0;
  for (;;) {
    memset(buffer, 0, static_cast<size_t>(capacity));
    memset(host, 0, sizeof host);
    const int got = endpoint->UDPRecv(buffer, &capacity, host, &port);
    if (got == -1) {
      if (ControlClosing() || (service.stopping != nullptr && service.stopping->load())) return nullptr;
      if (failure.step != nullptr && failure.line != 0) ErrorMsg(failure.step, failure.line, kErrorSource);
      if (failure.step != nullptr && failure.line == 0) perror(failure.step);
      RunControl::Fatal(service.control, 1);
      return nullptr;
    }
    if (!service.senders->Admit(host)) continue;  // not a host of this run
    if (!handle(Datagram{buffer, got, host, port})) return nullptr;
  }
}

/// A service thread that another program starts on a bare endpoint: the
/// senders of this host, nothing else of a run.
inline void* ServeAlone(void* (*serve)(void*), void* endpoint) {
  RunSenders senders;
  ServiceThread service{static_cast<CUDPConnection*>(endpoint), &senders, nullptr, nullptr, nullptr};
  return serve(&service);
}

#endif  // TARVO_LAUNCHER_SERVICELOOP_H
