// The door through which libpmix's threads call into the PMIx host (its
// upcalls, and the answers to them on their way back to the library): open
// while the host serves, shut for good once it stops. Close waits for the
// calls already inside, so that nothing the calls touch is torn down under
// them, and every later call finds the door shut and does nothing. Header
// only, nothing of libpmix. Passed through HostCall
// (pmi/pmix_server_state.h), which holds the host while it is inside.
#ifndef TARVO_PMI_UPCALL_GATE_H
#define TARVO_PMI_UPCALL_GATE_H

#include <condition_variable>
#include <mutex>

namespace pmi {

class UpcallGate {
 public:
  // True: the caller is inside until its Leave. False once Close has begun.
  bool Enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    ++inside_;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0) left_.notify_all();
  }
  // Opens the door (once; a closed door stays closed).
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) open_ = true;
  }
  // Shuts the door and returns once every call inside has left. Never from
  // inside a call (it would wait for itself); a call inside may Enter again
  // while the door is open (a completion made at once), and finds it shut
  // once Close has begun.
  void Close() {
    std::unique_lock<std::mutex> lock(mutex_);
    open_ = false;
    closed_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool open_ = false;
  bool closed_ = false;
  int inside_ = 0;
};

}  // namespace pmi

#endif  // TARVO_PMI_UPCALL_GATE_H
