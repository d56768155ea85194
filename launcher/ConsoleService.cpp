// The console service: DistConsole prints the text that processes send.
#include "launcher/ConsoleService.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/Control.h"
#include "launcher/RunControl.h"
#include "launcher/SourceFilter.h"

size_t FormatConsoleLine(const char* data, int len, char (&line)[kConsoleLineSize]) {
  size_t bound = len <= 0 ? 0 : static_cast<size_t>(len < kConsoleTextSize ? len : kConsoleTextSize);
  size_t text = bound > 0 ? strnlen(data, bound) : 0;
  memcpy(line, kConsolePrefix, kConsolePrefixLength);
  if (text > 0) memcpy(line + kConsolePrefixLength, data, text);
  return kConsolePrefixLength + text;
}

void* DistConsole(void* arg) {
  CUDPConnection* endpoint = static_cast<CUDPConnection*>(arg);
  char text[kConsoleTextSize];
  int capacity = sizeof text;
  char host[128] = {0};
  int port = 0;
  const char ack[1] = {kConsoleAck};
  char line[kConsoleLineSize];
  for (;;) {
    memset(text, 0, sizeof text);
    int got = endpoint->UDPRecv(text, &capacity, host, &port);
    if (got == -1) {
      // main closes the endpoints at the end of a complete run: not a failure.
      if (ControlClosing()) return nullptr;
      perror("console UDPRecv");
      RunControlFatal(1);
      return nullptr;
    }
    if (!AdmitSender(host)) continue;  // not a host of this run
    if (ControlClosing()) return nullptr;  // the run is over: main waits for this thread
    // One stdio write, so that no other output cuts into a datagram's text.
    // No flush: the text goes out as the stream's buffering decides.
    fwrite(line, 1, FormatConsoleLine(text, got, line), stdout);
    endpoint->UDPSend(ack, sizeof ack, host, port);
  }
}
