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
/// bound, /proc/sys/kernel/pty/max, reached). `recycled`, where not -1, is
/// a master to open again first (ReopenOutputTerminal); when it cannot be,
/// it is closed and a new terminal opened.
bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err, int recycled = -1);

/// A new slave for `master`, an output terminal of OpenOutputTerminal's
/// whose every slave has been closed (its reader has seen EIO and read all
/// that was written): raw and sized again, whatever its last writer made of
/// it. Cheaper than a new terminal by the system's allocation and freeing
/// of the pair. False (errno) when the terminal cannot be had again; the
/// caller closes `master` then.
bool ReopenOutputTerminal(int master, const winsize* size, int* slave);

#endif  // TARVO_COMMON_TERMINAL_H
