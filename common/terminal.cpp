#include "common/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool OwnWindowSize(winsize* size) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO, STDIN_FILENO}) {
    if (ioctl(fd, TIOCGWINSZ, size) == 0 && size->ws_col > 0) return true;
  }
  return false;
}

namespace {

bool Fail(const char* what, int master, int slave, std::string* err) {
  const int saved = errno;
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
  *err = std::string(what) + ": " + strerror(saved);
  errno = saved;
  return false;
}

// The raw form of a new terminal's mode, which is the same for every new
// terminal: read from the first, then set on each without a read.
struct RawMode {
  bool known = false;
  termios mode{};
};

RawMode ReadRawMode(int fd) {
  RawMode raw;
  if (tcgetattr(fd, &raw.mode) == 0) {
    cfmakeraw(&raw.mode);
    raw.known = true;
  }
  return raw;
}

}  // namespace

// A run opens one terminal per rank while it starts them, so each system
// call counts: the master is opened non-blocking, as the reader uses it, grantpt
// is left out (devpts gives the slave its owner and mode itself), the slave
// comes straight from the master without a look-up of its name where the
// kernel can (TIOCGPTPEER), and the mode is set without reading it first.
bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err) {
  const int m = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m < 0) return Fail("posix_openpt", -1, -1, err);
  if (unlockpt(m) != 0) return Fail("unlockpt", m, -1, err);
  int s = ioctl(m, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    char name[64];
    if (ptsname_r(m, name, sizeof name) != 0) return Fail("ptsname_r", m, -1, err);
    s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) return Fail(name, m, -1, err);
  }
  static const RawMode raw = ReadRawMode(s);
  termios mode = raw.mode;
  if (!raw.known) {
    if (tcgetattr(s, &mode) != 0) return Fail("tcgetattr", m, s, err);
    cfmakeraw(&mode);
  }
  if (tcsetattr(s, TCSANOW, &mode) != 0) return Fail("tcsetattr", m, s, err);
  if (size != nullptr) ioctl(s, TIOCSWINSZ, size);
  *master = m;
  *slave = s;
  return true;
}
