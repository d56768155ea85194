#include "common/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/terminal_open.h"

bool OwnWindowSize(winsize* size) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO, STDIN_FILENO}) {
    if (ioctl(fd, TIOCGWINSZ, size) == 0 && size->ws_col > 0) return true;
  }
  return false;
}

namespace {

// The raw mode, read from the first terminal that this process opens; a
// relay may open terminals on more than one thread.
std::mutex rawLock;
TerminalRawMode rawKnown;

}  // namespace

bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err) {
  TerminalRawMode raw;
  {
    std::lock_guard<std::mutex> hold(rawLock);
    raw = rawKnown;
  }
  const char* step = nullptr;
  const int e = TerminalOpen(size, &raw, master, slave, &step);
  if (e != 0) {
    *err = std::string(step) + ": " + strerror(e);
    errno = e;
    return false;
  }
  std::lock_guard<std::mutex> hold(rawLock);
  rawKnown = raw;
  return true;
}
