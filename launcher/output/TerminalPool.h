// The ranks' output terminals (and standard error pipes), made ahead of
// their starts on a thread of their own. Making a terminal (the system's
// allocation of the pair, its raw mode and size), watching it and freeing
// the launcher's copy of its slave after the rank's start cost the launcher
// about a tenth of a rank's start; the thread that starts the ranks takes
// what is ready and hands the rank's ends back, so that its starts follow
// one another about as they do without terminals.
#ifndef TARVO_LAUNCHER_TERMINALPOOL_H
#define TARVO_LAUNCHER_TERMINALPOOL_H

#include <pthread.h>
#include <sys/ioctl.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/// A rank's output pipe: its read end (ends[0], the relay's) non-blocking,
/// its write end (the rank's) not; both close-on-exec. False (errno) when
/// none can be had, ends untouched.
bool OutputPipe(int (&ends)[2]);

class TerminalPool {
 public:
  /// How many ranks' outputs the pool holds ready at most: each is four of
  /// the launcher's descriptors, which every child copies until its exec.
  static constexpr size_t kAhead = 16;
  /// How many released ends wait for the thread at most; beyond, Release
  /// closes them itself (a thread that the machine gives no time to).
  static constexpr size_t kReleasedBound = 2 * kAhead;

  /// One rank's outputs: the terminal for its standard output and, when
  /// asked, a pipe for its standard error; the relay reads `master` and
  /// `errRead`, the rank writes to `slave` and `errWrite`.
  struct Outputs {
    int master = -1;
    int slave = -1;
    int errRead = -1;
    int errWrite = -1;
    void* kept[2] = {nullptr, nullptr};  // what `made` keeps of master and errRead
  };

  /// Terminals sized `size` (null: the system's size), each with a pipe
  /// for the standard error when `errorPipe`. `made`, when given, is called
  /// on the pool's thread with each rank's outputs as they are made (the
  /// relay watches their read ends there, and keeps its own in `kept`);
  /// false drops them. `unmade` is called, on the thread that stops the
  /// pool, with each that was made and not taken, before the pool closes it.
  TerminalPool(const winsize* size, bool errorPipe, std::function<bool(Outputs*)> made = nullptr,
               std::function<void(const Outputs&)> unmade = nullptr);
  /// Stops the pool.
  ~TerminalPool();
  TerminalPool(const TerminalPool&) = delete;
  TerminalPool& operator=(const TerminalPool&) = delete;

  /// Starts the thread, which makes the outputs of `count` ranks in all,
  /// at most kAhead ahead of their takers. False (nothing started) when no
  /// thread can be had.
  bool Start(size_t count);
  /// A rank's outputs that the thread made, in *outputs; false when none is
  /// ready (no terminal was left, or the pool is busy), and the caller makes
  /// its own: the thread then makes one fewer. Never waits.
  bool Take(Outputs* outputs);
  /// A terminal given to Recycle, for a caller that Take left to make its
  /// own (ReopenOutputTerminal, else close it); -1 when none is at hand or
  /// the pool is busy. Never waits.
  int TakeRecycled();
  /// `fd`, a rank's end of its outputs that the launcher no longer needs
  /// (the rank has it), is closed by the thread (here, when the pool is busy
  /// or holds kReleasedBound already). A master sees the end of
  /// its writers (EIO) once this and every copy of the rank's are closed.
  void Release(int fd);
  /// `master`, the terminal of a rank whose every writer has gone and whose
  /// output has all been read (EIO), serves a later rank: a new slave of
  /// it costs the thread a fraction of a new terminal, and its closing none
  /// at all. Closed here when the pool has outputs enough in hand, none
  /// left to make, or is busy or ending.
  void Recycle(int master);
  /// Ends the thread: every descriptor released is closed, and every output
  /// not taken. Only the first call does anything.
  void Stop();

 private:
  static void* Loop(void* self);
  void Run();
  bool Make(int recycled, Outputs* outputs);

  const bool haveSize_;
  winsize size_{};
  const bool errorPipe_;
  const std::function<bool(Outputs*)> made_;
  const std::function<void(const Outputs&)> unmade_;
  pthread_t thread_{};
  bool started_ = false;
  std::mutex lock_;
  std::condition_variable wake_;
  // Guarded by lock_:
  size_t toMake_ = 0;     // outputs the thread has still to make
  bool failed_ = false;   // none could be made: the thread makes no more
  bool stopping_ = false;
  bool waiting_ = false;  // the thread waits for wake_
  std::deque<Outputs> ready_;
  std::vector<int> released_;
  std::vector<int> recycled_;  // masters for Make, at most kAhead
  std::atomic<size_t> missed_{0};  // takes that found the pool busy
};

#endif  // TARVO_LAUNCHER_TERMINALPOOL_H
