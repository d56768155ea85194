// The door through which a library's threads call into an object of ours
// (libpmix's server upcalls and the completions of its fences): open while
// the object serves, shut for good once it stops. Close waits for the calls
// already inside, so that nothing the calls touch is torn down under them,
// and every later call finds the door shut and does nothing. Header only,
// nothing of libpmix, so that a test drives it without the library.
//
//   if (UpcallGate::Pass pass{gate}) { ...touch the state... }
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

  // Inside for its life when it converts to true.
  class Pass {
   public:
    explicit Pass(UpcallGate& gate) : gate_(gate), in_(gate.Enter()) {}
    ~Pass() {
      if (in_) gate_.Leave();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const { return in_; }

   private:
    UpcallGate& gate_;
    bool in_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool open_ = false;
  bool closed_ = false;
  int inside_ = 0;
};

}  // namespace pmi

#endif  // TARVO_PMI_UPCALL_GATE_H
