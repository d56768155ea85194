// The standard streams of the run's children (each local process, or the
// remote shell of a remote one): rank 0 reads the launcher's standard input
// and every other rank an empty one; with terminals or labelling, what a
// rank writes on standard output (a terminal of its own, or a pipe) or
// standard error (a pipe) comes out on the same stream of the launcher in
// whole lines, with labelling each prefixed "[R] ".
//
// The spawner asks ForRank before it starts a rank and calls Started right
// after (whether the start succeeded or not); the end of the run calls
// Finish once every child has been reaped.
#ifndef TARVO_LAUNCHER_OUTPUTRELAY_H
#define TARVO_LAUNCHER_OUTPUTRELAY_H

#include <pthread.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The relay's handler, LabelLines and LabelRest, shared with the agent.
#include "common/line_labels.h"
#include "common/ready_set.h"
#include "launcher/output/TerminalPool.h"

/// Descriptors for a child's fds 0, 1 and 2; -1 leaves the launcher's own.
struct ChildStreams {
  int fds[3] = {-1, -1, -1};
};

/// The relay of one run. The run object owns it and hands it to the
/// spawners.
class OutputRelay {
 public:
  /// What the run asks of the relay: labelled lines, a terminal for each
  /// rank's standard output (sized like tarvo's own), streams that go to
  /// files of the ranks' own (TARVO_OUTPUT, TARVO_ERROR: left alone), and
  /// who reads tarvo's standard input (TARVO_STDIN): that rank, kInputAll (a
  /// copy each) or kInputNone.
  enum { kInputNone = -1, kInputAll = -2 };
  struct Options {
    bool label = false;
    bool terminals = false;
    bool outputToFile = false;
    bool errorToFile = false;
    int inputWho = 0;
  };
  /// With labelling or terminals, `readerGone` is called once, from the
  /// relay's thread, when a write to the launcher's stream 1 or 2 fails
  /// because its reader has gone.
  explicit OutputRelay(const Options& options, std::function<void(int stream)> readerGone = nullptr);
  /// Finishes the relay.
  ~OutputRelay();
  OutputRelay(const OutputRelay&) = delete;
  OutputRelay& operator=(const OutputRelay&) = delete;

  /// Starts relaying for the run: with labelling or terminals, the thread
  /// that reads the ranks' output (without, or when the thread cannot be
  /// had, the ranks write to tarvo's own streams). Call once, before the
  /// first ForRank.
  void Start();
  bool Labels() const { return label_; }
  bool Terminals() const { return terminals_ && running_.load(); }
  /// The size of tarvo's own terminal, which the ranks' terminals take:
  /// null without terminals or when tarvo has none.
  const winsize* WindowSize() const { return Terminals() && haveSize_ ? &size_ : nullptr; }
  int InputWho() const { return inputWho_; }
  /// `count` ranks of this host are about to start, each with a terminal:
  /// from 16 on, they are made ahead, on a thread of their own (call once,
  /// before their ForRank; a rank beyond them gets one made as it starts).
  void ExpectTerminals(size_t count);
  /// kInputAll: the copy starts once `readers` are in: the ranks that
  /// ForRank gives a pipe and the pipes that AddInputReader takes.
  void ExpectInputReaders(size_t readers);
  /// kInputAll: `fd`, a pipe's write end, gets a copy too (an agent's
  /// remote shell, `name` in reports); taken over.
  void AddInputReader(int fd, const std::string& name);
  /// The streams of rank `rank`'s child (of job `job`: 0 the run's first,
  /// k the k-th that ranks spawned, whose lines are labelled "[k:R] " and
  /// which read no standard input). The descriptors stay the launcher's
  /// until Started; they are close-on-exec, so no other child inherits them.
  /// `terminal` false: a pipe even with terminals (a remote shell's output).
  ChildStreams ForRank(int rank, int job, bool terminal = true);
  /// The output of a launch agent's remote shell (or of the Slurm step):
  /// pipes, whose lines go out whole and as they are (the agents label
  /// their ranks' lines themselves); fd 0 is left alone. The caller may
  /// use fd 1's alone (Started closes both).
  ChildStreams ForShell();
  /// Closes the launcher's copies of the child's ends after its start.
  void Started(const ChildStreams& streams) const;
  /// The calls above on `relay`, which may be null (a spawner called outside
  /// a run: rank 0 reads tarvo's standard input, no copy, no labels, and the
  /// ranks write to tarvo's own streams).
  static int InputWho(const OutputRelay* relay);
  static void ExpectInputReaders(OutputRelay* relay, size_t readers);
  static void ExpectTerminals(OutputRelay* relay, size_t count);
  static void AddInputReader(OutputRelay* relay, int fd, const std::string& name);
  static bool Labels(const OutputRelay* relay);
  static bool Terminals(const OutputRelay* relay);
  static const winsize* WindowSize(const OutputRelay* relay);
  static ChildStreams ForRank(OutputRelay* relay, int rank, int job, bool terminal = true);
  static ChildStreams ForShell(OutputRelay* relay);
  static void Started(const OutputRelay* relay, const ChildStreams& streams);
  /// After every child has ended: writes what the pipes still hold,
  /// completes every last line without its line end, and ends the thread.
  /// Only the first call does anything.
  void Finish();

  // One output terminal or pipe of one rank, as the thread reads it.
  struct Source {
    int fd = -1;
    int stream = 1;     // the launcher's stream it goes to: 1 or 2
    std::string label;  // before each line; empty without labelling
    std::string partial;
    size_t slot = 0;  // its place in sources_
  };

 private:
  static void* Loop(void* self);
  // Makes the output terminal and pipes of rank `rank` (-1: a remote shell).
  void AddOutputs(int rank, const std::string& label, bool terminal, ChildStreams* streams);
  void OpenTerminal(int rank, int (&ends)[2]);
  void Unwatch(const TerminalPool::Outputs& outputs);
  void Adopt(void* kept);
  void Wake();
  bool Watch(int fd, int stream, const std::string& label);
  void Drop(Source* source, bool recycle = false);
  void Forget(Source* source);

  const Options options_;
  const std::function<void(int)> readerGone_;
  bool label_ = false;
  bool terminals_ = false;
  bool haveSize_ = false;
  winsize size_{};
  std::unique_ptr<TerminalPool> pool_;  // with ExpectTerminals
  std::atomic<TerminalPool*> recycleTo_{nullptr};  // pool_, for the thread
  int devNull_ = -1;
  int wake_[2] = {-1, -1};  // Finish wakes the thread through it
  std::unique_ptr<ReadySet> ready_;  // the thread waits on the sources and wake_[0]
  pthread_t thread_{};
  std::atomic<bool> running_{false};
  std::mutex lock_;
  std::vector<std::unique_ptr<Source>> sources_;  // every open source; guarded by lock_
  bool finishing_ = false;                        // guarded by lock_
  bool reportedPipe_ = false;
  bool reportedTerminal_ = false;
  // TARVO_STDIN.
  const int inputWho_;
  size_t inputExpected_ = 0;
  bool inputCopying_ = false;
  std::vector<int> inputTo_;
  std::vector<std::string> inputNames_;
  void StartCopyWhenAllIn();
  bool saidGone_ = false;  // the thread's
};

#endif  // TARVO_LAUNCHER_OUTPUTRELAY_H
