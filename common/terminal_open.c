#define _GNU_SOURCE /* ptsname_r, cfmakeraw, TIOCGPTPEER */

#include "common/terminal_open.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static int Fail(const char* what, int master, int slave, const char** step) {
  const int saved = errno;
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
  *step = what;
  return saved;
}

/* A run opens one terminal per rank while it starts them, so each system
 * call counts: the master is opened non-blocking, as its readers use it;
 * grantpt is left out (devpts gives the slave its owner and mode itself);
 * the slave comes straight from the master where the kernel can
 * (TIOCGPTPEER), without a look-up of its name; and a known mode is set
 * without reading it first. The failing step of the open is named as the
 * C library's call that does it, which is what users know. */
int TerminalOpen(const struct winsize* size, TerminalRawMode* raw, int* master, int* slave, const char** step) {
  const int m = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m < 0) return Fail("posix_openpt", -1, -1, step);
  if (unlockpt(m) != 0) return Fail("unlockpt", m, -1, step);
  int s = -1;
#ifdef TIOCGPTPEER
  s = ioctl(m, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
#endif
  if (s < 0) {
    char name[64];
    if (ptsname_r(m, name, sizeof name) != 0) return Fail("ptsname_r", m, -1, step);
    s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) return Fail("open of the terminal's peer", m, -1, step);
  }
  struct termios mode;
  if (raw != NULL && raw->known) {
    mode = raw->mode;
  } else {
    if (tcgetattr(s, &mode) != 0) return Fail("tcgetattr", m, s, step);
    cfmakeraw(&mode);
    if (raw != NULL) {
      raw->mode = mode;
      raw->known = 1;
    }
  }
  if (tcsetattr(s, TCSANOW, &mode) != 0) return Fail("tcsetattr", m, s, step);
  if (size != NULL) ioctl(s, TIOCSWINSZ, size);
  *master = m;
  *slave = s;
  return 0;
}
