#include "launcher/output/TerminalPool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/terminal.h"

namespace {

// The thread is woken once this many outputs have been taken or ends
// released, rather than at each: a wake costs the starting thread a system
// call and the machine a switch of threads.
const size_t kBatch = TerminalPool::kAhead / 2;

void CloseAll(const TerminalPool::Outputs& o) {
  for (int fd : {o.master, o.slave, o.errRead, o.errWrite}) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace

// A new read end's status flags are O_RDONLY alone, so they are set
// without a read.
bool OutputPipe(int (&ends)[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  return true;
}

TerminalPool::TerminalPool(const winsize* size, bool errorPipe, std::function<bool(Outputs*)> made,
                           std::function<void(const Outputs&)> unmade)
    : haveSize_(size != nullptr), errorPipe_(errorPipe), made_(std::move(made)), unmade_(std::move(unmade)) {
  if (size != nullptr) size_ = *size;
}

TerminalPool::~TerminalPool() { Stop(); }

bool TerminalPool::Start(size_t count) {
  if (started_ || count == 0) return false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    toMake_ = count;
  }
  if (pthread_create(&thread_, nullptr, Loop, this) != 0) {
    std::lock_guard<std::mutex> lock(lock_);
    toMake_ = 0;
    return false;
  }
  started_ = true;
  return true;
}

void* TerminalPool::Loop(void* self) {
  static_cast<TerminalPool*>(self)->Run();
  return nullptr;
}

// One rank's outputs, as the relay makes them: the pipe's read end
// non-blocking, its write end (the rank's) not; the terminal `recycled`
// when it can be had again (-1: none), else a new one.
bool TerminalPool::Make(int recycled, Outputs* o) {
  std::string err;
  if (!OpenOutputTerminal(haveSize_ ? &size_ : nullptr, &o->master, &o->slave, &err, recycled)) return false;
  int ends[2];
  if (errorPipe_) {
    if (!OutputPipe(ends)) {
      CloseAll(*o);
      return false;
    }
    o->errRead = ends[0];
    o->errWrite = ends[1];
  }
  if (made_ && !made_(o)) {
    CloseAll(*o);
    return false;
  }
  return true;
}

void TerminalPool::Run() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    if (!released_.empty()) {
      std::vector<int> closing;
      closing.swap(released_);
      lock.unlock();
      for (int fd : closing) close(fd);
      lock.lock();
      continue;
    }
    if (stopping_) break;
    // The outputs that Take's callers made themselves while the pool was busy.
    const size_t missed = missed_.exchange(0, std::memory_order_relaxed);
    toMake_ -= std::min(toMake_, missed);
    if (toMake_ > 0 && !failed_ && ready_.size() < kAhead) {
      --toMake_;
      int recycled = -1;
      if (!recycled_.empty()) {
        recycled = recycled_.back();
        recycled_.pop_back();
      }
      lock.unlock();
      Outputs o;
      const bool made = Make(recycled, &o);
      lock.lock();
      // None could be made (no terminal left): the takers make their own
      // from here on, each meeting the bound (and its report) in its turn.
      if (!made) {
        failed_ = true;
        toMake_ = 0;
        continue;
      }
      ready_.push_back(o);
      continue;
    }
    waiting_ = true;
    wake_.wait(lock);
    waiting_ = false;
  }
}

// The starting thread never waits for the pool's, which may be held off
// the processor on a busy machine: when the pool is busy, it makes its own
// and closes its own.
bool TerminalPool::Take(Outputs* outputs) {
  std::unique_lock<std::mutex> lock(lock_, std::try_to_lock);
  if (!lock.owns_lock()) {
    missed_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (ready_.empty()) {
    // The caller makes this one: the thread makes one fewer, so that no
    // more are made than ranks start.
    if (toMake_ > 0) --toMake_;
    return false;
  }
  *outputs = ready_.front();
  ready_.pop_front();
  if (waiting_ && toMake_ > 0 && ready_.size() + kBatch <= kAhead) wake_.notify_one();
  return true;
}

int TerminalPool::TakeRecycled() {
  std::unique_lock<std::mutex> lock(lock_, std::try_to_lock);
  if (!lock.owns_lock() || recycled_.empty()) return -1;
  const int master = recycled_.back();
  recycled_.pop_back();
  return master;
}

void TerminalPool::Release(int fd) {
  if (!started_) {
    close(fd);
    return;
  }
  std::unique_lock<std::mutex> lock(lock_, std::try_to_lock);
  if (!lock.owns_lock() || stopping_ || released_.size() >= kReleasedBound) {
    // The pool is busy, its thread is ending or has ended, or has had no
    // time: closed here.
    if (lock.owns_lock()) lock.unlock();
    close(fd);
    return;
  }
  released_.push_back(fd);
  // While the pool still has outputs to give, with the next wake; once it
  // has none, at once, so that a rank's end is seen as it comes.
  const bool more = toMake_ > 0 || !ready_.empty();
  if (waiting_ && (released_.size() >= 2 * kBatch || !more)) wake_.notify_one();
}

void TerminalPool::Recycle(int master) {
  std::unique_lock<std::mutex> lock(lock_, std::try_to_lock);
  if (!lock.owns_lock() || stopping_ || failed_ || recycled_.size() >= std::min(toMake_, kAhead)) {
    if (lock.owns_lock()) lock.unlock();
    close(master);
    return;
  }
  recycled_.push_back(master);
}

void TerminalPool::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_) return;
    stopping_ = true;
    wake_.notify_one();
  }
  pthread_join(thread_, nullptr);
  std::vector<int> recycled;
  {
    std::lock_guard<std::mutex> lock(lock_);
    recycled.swap(recycled_);
  }
  for (int fd : recycled) close(fd);
  // What was made and never taken.
  for (const Outputs& o : ready_) {
    if (unmade_) unmade_(o);
    CloseAll(o);
  }
  ready_.clear();
}
