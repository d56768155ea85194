#include "common/child_setup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

void ChildSetUp(const ChildSetup& setup) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (setup.parent != 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != setup.parent) _exit(1);  // the parent ended before the signal was set
  }
  if (setup.ownSession) {
    setsid();
  } else if (setup.ownGroup) {
    setpgid(0, 0);
  }
  for (int i = 0; i < setup.closeCount; ++i) {
    if (setup.closeFds[i] >= 0) close(setup.closeFds[i]);
  }
  for (int fd = 0; fd < 3; ++fd) {
    if (setup.stdFds[fd] >= 0) dup2(setup.stdFds[fd], fd);
  }
  if (setup.keepFd >= 0) fcntl(setup.keepFd, F_SETFD, 0);
}

void SignalGroup(pid_t leader, int sig) {
  if (kill(-leader, sig) != 0 && errno == ESRCH) kill(leader, sig);
}
