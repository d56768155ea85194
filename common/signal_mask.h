// The one place where tarvo's programs change their signal masks. The
// launcher's and the agent's loops take their signals through a signalfd,
// the signals blocked in every thread; a thread that writes to another
// process's pipe or socket holds SIGPIPE, so that a reader that has gone
// fails the write with EPIPE instead of ending the process. Every child gets
// the ordinary mask back in its set-up (child_setup.h). Header-only: the
// PMIx module, which links nothing of common/, holds SIGPIPE too.
#ifndef TARVO_COMMON_SIGNAL_MASK_H
#define TARVO_COMMON_SIGNAL_MASK_H

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <vector>

namespace signal_mask {

inline sigset_t PipeSignal() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  return pipe;
}

}  // namespace signal_mask

/// Blocks `signals` in the calling thread and in the threads that it starts
/// afterwards (call it before any), and returns a nonblocking,
/// close-on-exec signalfd that takes them; -1 when none can be had.
inline int SignalsTaken(const std::vector<int>& signals) {
  sigset_t taken;
  sigemptyset(&taken);
  for (int sig : signals) sigaddset(&taken, sig);
  pthread_sigmask(SIG_BLOCK, &taken, nullptr);
  return signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
}

/// Holds SIGPIPE in the calling thread for good.
inline void PipeSignalHeld() {
  const sigset_t pipe = signal_mask::PipeSignal();
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

/// Holds `signals` in the calling thread while it lives (a section that a
/// signal must not interrupt, or the start of threads that are to start
/// with them held); the thread's mask is put back at the end.
class SignalsHeldWhile {
 public:
  explicit SignalsHeldWhile(const std::vector<int>& signals) {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : signals) sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
  }
  ~SignalsHeldWhile() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeldWhile(const SignalsHeldWhile&) = delete;
  SignalsHeldWhile& operator=(const SignalsHeldWhile&) = delete;

 private:
  sigset_t before_;
};

/// SIGPIPE held while it lives, so that the threads started meanwhile (a
/// library's among them) start with it held.
class PipeSignalHeldWhile : public SignalsHeldWhile {
 public:
  PipeSignalHeldWhile() : SignalsHeldWhile({SIGPIPE}) {}
};

#endif  // TARVO_COMMON_SIGNAL_MASK_H
