// Bounded waiting for tests: a pause, polling a condition until a deadline,
// and waiting for a child, so that no test can hang on something that
// never happens.
#ifndef TARVO_TESTS_SUPPORT_WAIT_H
#define TARVO_TESTS_SUPPORT_WAIT_H

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>

namespace support {

inline void Pause(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

/// Polls `done` every `everyMs` until it holds or `boundMs` has passed;
/// true when it held. `done` is asked once more at the deadline.
template <typename Done>
bool WaitUntil(int boundMs, Done done, int everyMs = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    Pause(everyMs);
  }
  return done();
}

/// A child's status as a shell gives it: its exit code, or 128 + the
/// signal that ended it; -1 for anything else.
inline int StatusOf(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

/// Waits at most `boundMs` for the child `pid` and returns StatusOf it;
/// after that kills and reaps it and returns -1.
inline int WaitChild(pid_t pid, int boundMs) {
  int st = 0;
  if (WaitUntil(boundMs, [&] { return waitpid(pid, &st, WNOHANG) == pid; })) return StatusOf(st);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_WAIT_H
