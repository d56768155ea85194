// The console service's handler: what the launcher shows for one console
// datagram. DistConsole receives, prints what this forms and acknowledges.
#ifndef TARVO_LAUNCHER_CONSOLESERVICE_H
#define TARVO_LAUNCHER_CONSOLESERVICE_H

#include <cstddef>

#include "common/reports.h"  // kConsolePrefix

/// The receive takes in at most this much of a console datagram.
const int kConsoleTextSize = 2048;
const size_t kConsolePrefixLength = sizeof kConsolePrefix - 1;
/// Room for the prefix and a whole buffer of text.
const size_t kConsoleLineSize = kConsolePrefixLength + kConsoleTextSize;
/// The one-byte acknowledgement each datagram's source gets back.
const char kConsoleAck = 's';

/// Forms in `line` the prefix followed by the datagram's text: its bytes up
/// to the first NUL, at most `len` and never more than kConsoleTextSize.
/// Nothing is added. Returns the number of bytes formed.
size_t FormatConsoleLine(const char* data, int len, char (&line)[kConsoleLineSize]);

#endif  // TARVO_LAUNCHER_CONSOLESERVICE_H
