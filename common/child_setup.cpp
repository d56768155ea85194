#include "common/child_setup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "common/child_sys.h"

namespace {

const int kLastSignal = 64;

// Neither SIG_DFL (0) nor SIG_IGN (1).
bool Caught(long handler) { return handler != 0 && handler != 1; }

}  // namespace

void ChildSignalsRead(ChildSignals* out) {
  out->count = 0;
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    child_sys::KernelAction now = {};
    // The kernel's view: the C library hides its own signals (those of
    // thread cancellation and set*id) from sigaction.
    const bool caught = child_sys::SignalAction(sig, nullptr, &now) == 0 && Caught(now.words[0]);
    if (caught || sig == SIGINT || sig == SIGQUIT) out->signals[out->count++] = sig;
  }
}

void ChildSetUp(const ChildSetup& setup) {
  const child_sys::KernelAction byDefault = {};
  if (setup.byDefault != nullptr) {
    for (int i = 0; i < setup.byDefault->count; ++i) child_sys::SignalAction(setup.byDefault->signals[i], &byDefault, nullptr);
  } else {
    for (int sig = 1; sig <= kLastSignal; ++sig) {
      child_sys::KernelAction now = {};
      if (sig == SIGINT || sig == SIGQUIT ||
          (child_sys::SignalAction(sig, nullptr, &now) == 0 && Caught(now.words[0]))) {
        child_sys::SignalAction(sig, &byDefault, nullptr);
      }
    }
  }
  child_sys::UnblockAll();
  if (setup.parent != 0) {
    child_sys::Prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (child_sys::Getppid() != setup.parent) child_sys::Exit(1);  // the parent ended before the signal was set
  }
  if (setup.ownSession) {
    child_sys::Setsid();
  } else if (setup.ownGroup) {
    child_sys::Setpgid(0, 0);
  }
  for (int i = 0; i < setup.closeCount; ++i) {
    if (setup.closeFds[i] >= 0) child_sys::Close(setup.closeFds[i]);
  }
  for (int fd = 0; fd < 3; ++fd) {
    if (setup.stdFds[fd] >= 0) child_sys::Dup2(setup.stdFds[fd], fd);
  }
  if (setup.keepFd >= 0) child_sys::Fcntl(setup.keepFd, F_SETFD, 0);
}

void SignalGroup(pid_t leader, int sig) {
  if (kill(-leader, sig) != 0 && errno == ESRCH) kill(leader, sig);
}
