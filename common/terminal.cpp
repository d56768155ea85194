#include "common/terminal.h"

#include <fcntl.h>
#include <termios.h>
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

bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err, int recycled) {
  if (recycled >= 0) {
    if (ReopenOutputTerminal(recycled, size, slave)) {
      *master = recycled;
      return true;
    }
    close(recycled);
  }
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

bool ReopenOutputTerminal(int master, const winsize* size, int* slave) {
#ifdef TIOCGPTPEER
  TerminalRawMode raw;
  {
    std::lock_guard<std::mutex> hold(rawLock);
    raw = rawKnown;
  }
  if (!raw.known) {
    errno = EINVAL;
    return false;
  }
  const int s = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) return false;
  // The last writer may have set another line discipline, its own mode or
  // size, stopped the output or taken the terminal for itself alone.
  int discipline = -1;
  bool ok = ioctl(s, TIOCGETD, &discipline) == 0 && discipline == N_TTY;
  ok = ok && ioctl(s, TIOCNXCL) == 0 && tcflow(s, TCOON) == 0 && tcsetattr(s, TCSANOW, &raw.mode) == 0;
  if (ok && size != nullptr) ok = ioctl(s, TIOCSWINSZ, size) == 0;
  if (!ok) {
    const int saved = errno;
    close(s);
    errno = saved != 0 ? saved : EINVAL;
    return false;
  }
  *slave = s;
  return true;
#else
  (void)master;
  (void)size;
  (void)slave;
  errno = ENOTSUP;
  return false;
#endif
}
