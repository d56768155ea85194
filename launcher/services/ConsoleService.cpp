// The console service: DistConsole prints the text that processes send.
#include "launcher/services/ServiceLoop.h"
#include "launcher/services/ConsoleService.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/context/RunContext.h"
#include "launcher/services/Services.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/SourceFilter.h"

size_t FormatConsoleLine(const char* data, int len, char (&line)[kConsoleLineSize]) {
  size_t bound = len <= 0 ? 0 : static_cast<size_t>(len < kConsoleTextSize ? len : kConsoleTextSize);
  size_t text = bound > 0 ? strnlen(data, bound) : 0;
  memcpy(line, kConsolePrefix, kConsolePrefixLength);
  if (text > 0) memcpy(line + kConsolePrefixLength, data, text);
  return kConsolePrefixLength + text;
}

void* ServeConsole(void* arg) {
  const ServiceThread& service = *static_cast<ServiceThread*>(arg);
  CUDPConnection* endpoint = service.endpoint;
  char text[kConsoleTextSize];
  return ServeEndpoint(service, text, sizeof text, ReceiveFailure{kStepConsoleRecv, 0}, [endpoint](const Datagram& d) {
    if (ControlClosing()) return false;  // the run is over: main waits for this thread
    static const char ack[1] = {kConsoleAck};
    char line[kConsoleLineSize];
    // One stdio write, so that no other output cuts into a datagram's text,
    // and out before the acknowledgement: an acknowledged line is never
    // lost, and tarvo's own reports come after it.
    fwrite(line, 1, FormatConsoleLine(d.data, d.length, line), stdout);
    fflush(stdout);
    endpoint->UDPSend(ack, sizeof ack, d.host, d.port);
    return true;
  });
}

void* DistConsole(void* endpoint) { return ServeAlone(ServeConsole, endpoint); }
