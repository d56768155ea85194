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

}  // namespace

bool OpenOutputTerminal(const winsize* size, int* master, int* slave, std::string* err) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return Fail("posix_openpt", -1, -1, err);
  if (grantpt(m) != 0 || unlockpt(m) != 0) return Fail("unlockpt", m, -1, err);
  // The peer straight from the master, without a look-up of its name.
  int s = ioctl(m, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    char name[64];
    if (ptsname_r(m, name, sizeof name) != 0) return Fail("ptsname_r", m, -1, err);
    s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) return Fail(name, m, -1, err);
  }
  termios mode;
  if (tcgetattr(s, &mode) != 0) return Fail("tcgetattr", m, s, err);
  cfmakeraw(&mode);
  if (tcsetattr(s, TCSANOW, &mode) != 0) return Fail("tcsetattr", m, s, err);
  if (size != nullptr) ioctl(s, TIOCSWINSZ, size);
  *master = m;
  *slave = s;
  return true;
}
