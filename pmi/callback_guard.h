// How libpmix's upcalls reach the owner's callbacks (PmixCallbacks): through
// a guard that the server's Start makes and its Stop closes. An upcall
// calls into the owner under the guard's lock, and so does an answer on its
// way back to the library (an answer may come at once, on the same thread:
// the lock is recursive); Stop takes the lock and marks the guard not
// serving, after which the callbacks are not used and late answers are
// dropped. Each upcall family keeps its guard in a GuardSlot, where the
// next Start replaces it.
#ifndef TARVO_PMI_CALLBACK_GUARD_H
#define TARVO_PMI_CALLBACK_GUARD_H

#include <memory>
#include <mutex>
#include <utility>

#include "pmi/pmix_host.h"

namespace pmi {

struct CallbackGuard {
  std::recursive_mutex mutex;
  bool serving = true;
  const PmixCallbacks* callbacks = nullptr;
};

template <typename Guard>
class GuardSlot {
 public:
  std::shared_ptr<Guard> Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return guard_;
  }
  void Set(std::shared_ptr<Guard> guard) {
    std::lock_guard<std::mutex> lock(mutex_);
    guard_ = std::move(guard);
  }
  // Waits for the calls inside the owner, then drops every later one.
  void Stop() {
    std::shared_ptr<Guard> g = Current();
    if (g == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(g->mutex);
    g->serving = false;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<Guard> guard_;
};

}  // namespace pmi

#endif  // TARVO_PMI_CALLBACK_GUARD_H
