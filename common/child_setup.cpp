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
  // A launcher that a script started in the background has SIGINT and
  // SIGQUIT ignored, which a child would keep across its exec: the SIGINT
  // that ends a run would then wait out the grace.
  struct sigaction byDefault;
  byDefault.sa_handler = SIG_DFL;
  byDefault.sa_flags = 0;
  sigemptyset(&byDefault.sa_mask);
  sigaction(SIGINT, &byDefault, nullptr);
  sigaction(SIGQUIT, &byDefault, nullptr);
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
