// The one place where the launcher starts the processes that its planners
// (Planners.h) describe: posix_spawn, fork or clone, the child's side up to
// its exec, and the reports of a start that fails. Every mode's launches,
// and the spawned jobs' children, start here; nothing here decides what
// to start.
#ifndef TARVO_LAUNCHER_SPAWN_EXECUTOR_H
#define TARVO_LAUNCHER_SPAWN_EXECUTOR_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "common/child_setup.h"
#include "common/rank_exec.h"
#include "launcher/spawn/ExecPlan.h"

class OutputRelay;

namespace spawn {

/// What the starts of one run share: carrier's file, found on the
/// launcher's PATH once (when first needed), and the stacks of the children that share the
/// launcher's memory until their exec (a local carrier, host mode's own
/// ranks). A stack is free again once the kernel has cleared its word
/// (CLONE_CHILD_CLEARTID) at its child's exec or end, so a run takes a few
/// again and again, their pages there already. Made before the run's first
/// start and kept until its last process has ended; only the launcher's
/// spawning thread uses it.
class BesideStarts {
 public:
  BesideStarts();
  ~BesideStarts();
  BesideStarts(const BesideStarts&) = delete;
  BesideStarts& operator=(const BesideStarts&) = delete;

  /// carrier's file, looked up at the first call (a run of direct starts
  /// alone never needs it); empty when it is not found, is a script that
  /// only execvp runs (no "#!"), or the run is under valgrind (which runs a
  /// clone only as a fork's or a vfork's).
  const std::string& Carrier();

  /// The signals that the run's children set to their default action
  /// before they unblock any (ChildSignals): read at the first call, once
  /// the run's libraries have installed their handlers.
  const ChildSignals& Signals();

  /// The descriptors that a child takes with it: its standard input,
  /// output and error (-1: the launcher's own) and the one that its
  /// program keeps (-1: none), at their numbers in the child; and one past
  /// the highest of the launcher's that it closes (which must be in its
  /// table, so that nothing of its own arrives at that number).
  struct Own {
    int fds[4];
    int closesBelow;
  };
  /// What a child body runs on: a copy of the caller's argument, and its
  /// own descriptors, at the numbers where the child has them.
  using Body = void (*)(const void* arg, const Own& own);

  /// Starts `body` in a clone that shares the launcher's memory, with a
  /// copy of `arg` on top of its stack as its argument: the child's own
  /// until its exec, whatever the caller does meanwhile. With `wait` the
  /// launcher goes on once the child has exec'd or ended (a vfork), as it
  /// always does where the child's system calls would write errno
  /// (child_sys.h). The launcher's errno is as it was. Below each stack a
  /// page that no one may touch. -1 when no clone can be had.
  /// The clone also shares the launcher's table of descriptors, which it
  /// leaves at once for a table of the launcher's first few and `own`,
  /// handed over its stack's socket: a clone that copies the table, and an
  /// exec that closes what it copied, cost about 0.1 µs for each descriptor
  /// that the launcher holds (two for each rank that runs with terminals).
  /// The first few reach up to every descriptor that the launcher held
  /// without close-on-exec when the first stack was made (those that it
  /// inherited, and the endpoints that a program file's processes keep),
  /// so that a child keeps what it kept with a copied table.
  /// Where the stack has no socket, or the hand-over fails, the clone copies
  /// the table.
  template <typename T>
  pid_t Clone(Body body, const T& arg, const Own& own, bool wait) {
    static_assert(std::is_trivially_copyable<T>::value, "a few pointers");
    return CloneOn(body, &arg, sizeof(T), own, wait);
  }

  /// The child's side of a clone: its own table and descriptors, then the body.
  struct Frame;
  static int Entry(void* frame);

 private:
  struct Stack {
    char* top;
    pid_t word;  // the child's thread id while it runs on the stack, else 0
    int channel[2];  // the launcher's end, the child's; -1: none
  };
  Stack* Take();
  pid_t CloneOn(Body body, const void* arg, size_t size, const Own& own, bool wait);

  const bool valgrind_;
  const size_t page_;
  int inherited_ = -1;  // one past the highest descriptor without close-on-exec; -1: not read yet
  bool looked_ = false;
  bool signalsRead_ = false;
  ChildSignals signals_;
  std::string carrier_;
  std::vector<std::unique_ptr<Stack>> stacks_;
};

/// Starts the child of `plan`: a local carrier beside the launcher where
/// the plan has its run's BesideStarts, else posix_spawnp for a local one,
/// fork and execvp otherwise or when the spawn fails. -1, reported, when
/// the fork fails.
pid_t StartPlan(const ExecPlan& plan, const ForkReport& report);

/// Starts the remote shell of an agent (or the Slurm step of agents) in
/// `shell`: `secret`'s line first on its standard input, then, `withStdin`,
/// the launcher's own standard input (through `relay`, which may be null).
pid_t StartWithSecret(ExecPlan& shell, const std::string& secret, bool withStdin, OutputRelay* relay,
                      const ForkReport& report);

/// A rank of the launcher's host started directly, without carrier: the
/// launcher does carrier's work for it (working directory, environment,
/// program lookup) and the child is one exec.
struct DirectPlan {
  RankExec exec;
  std::vector<std::string> pmiEnv;
  const ExecPlan* plan = nullptr;  // the descriptors to close
  ChildSetup setup;
  BesideStarts* beside = nullptr;  // the run's; null: a plain fork
};

/// carrier's argument vector of a local plan without "carrier": the program
/// words and the eight launcher parameters.
std::vector<std::string> CarrierWords(const ExecPlan& plan);
/// Prepares the direct start of the rank of `plan` (kept as it is).
void PrepareDirect(const ExecPlan& plan, DirectPlan* d);
/// Starts a prepared direct rank; -1, reported, when it cannot.
pid_t StartDirect(DirectPlan& d, const ForkReport& report);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_EXECUTOR_H
