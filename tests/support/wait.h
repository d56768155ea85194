// Bounded waiting for tests: a pause, and polling a condition until a
// deadline, so that no test can hang on something that never happens.
#ifndef TARVO_TESTS_SUPPORT_WAIT_H
#define TARVO_TESTS_SUPPORT_WAIT_H

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

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_WAIT_H
