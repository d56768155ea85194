// A pseudo-terminal that a child writes its output to: programs buffer by
// lines when their standard output is a terminal, so that a rank ended at
// once has written every line it finished.
#ifndef TARVO_COMMON_TERMINAL_H
#define TARVO_COMMON_TERMINAL_H

#include <sys/ioctl.h>

#include <string>

/// The window size of the caller's own terminal (its standard output, error
/// or input, the first that is one); false when it has none.
bool OwnWindowSize(winsize* size);

/// A pseudo-terminal in raw mode (bytes pass as written: no line-end
/// translation, no echo, no signals from its characters), sized `size`
/// when not null. Both ends are close-on-exec, the master is non-blocking,
/// and neither becomes anyone's controlling terminal. False with *err when none can be had (the system's
/// bound, /proc/sys/kernel/pty/max, reached).
bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err);

#endif  // TARVO_COMMON_TERMINAL_H
