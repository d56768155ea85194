// A child's set-up between its fork (or clone) and its exec, the same for
// every child: tarvo's ranks and remote shells, the monitor, and the ranks
// that the launch agent starts. Async-signal-safe system calls on prepared
// data only: the child of the threaded launcher may not take a lock, and a
// child that shares the launcher's memory (a clone with CLONE_VM) may write
// nothing but its own stack.
#ifndef TARVO_COMMON_CHILD_SETUP_H
#define TARVO_COMMON_CHILD_SETUP_H

#include <sys/types.h>

/// The signals that a child sets to their default action before it
/// unblocks any: every one that the parent catches (a handler of the
/// parent, or of a library it holds, would otherwise run in the child, on
/// the parent's memory in a clone that shares it), and SIGINT and SIGQUIT
/// (ignored in a launcher started in the background by a script, which a
/// child would keep across its exec: the SIGINT that ends a run would then
/// wait out the grace). Read by the parent once per run, after the
/// libraries that install handlers have started; no allocation, so that a
/// child may take it as it is.
struct ChildSignals {
  int count = 0;
  int signals[64];
};
/// The parent's side: what it catches now, with SIGINT and SIGQUIT.
void ChildSignalsRead(ChildSignals* out);

struct ChildSetup {
  /// The parent whose end ends the child (the parent-death signal, SIGKILL,
  /// tied to the thread that started it); 0 for none.
  pid_t parent = 0;
  /// Leaves the parent's process group for a group of its own.
  bool ownGroup = false;
  /// Leaves the parent's session for one of its own (and so a group of its
  /// own): what a rank gets. No terminal reaches it, and the scheduler gives
  /// it a share of its own (each session is a group of the kernel's
  /// autogroup scheduling), as a rank started by the peers' launchers has,
  /// rather than one share for all the ranks and the launcher. The parent
  /// must not make the child a group leader first (setsid would fail).
  bool ownSession = false;
  /// Descriptors to close; negative ones are skipped.
  const int* closeFds = nullptr;
  int closeCount = 0;
  /// Put on the child's fds 0, 1, 2; -1 keeps the parent's.
  int stdFds[3] = {-1, -1, -1};
  /// A close-on-exec descriptor that the program keeps (a rank's PMI_FD);
  /// -1 for none.
  int keepFd = -1;
  /// The signals to set to their default action; null: the child asks the
  /// kernel for every signal's action itself and sets each caught one (and
  /// SIGINT and SIGQUIT), a pass of 64 system calls.
  const ChildSignals* byDefault = nullptr;
};

/// In the child, in this order, with system calls that leave the parent's
/// errno alone (child_sys.h): the default action of the signals of
/// `byDefault`, the ordinary signal mask (the parents take their signals
/// through a descriptor, blocked), the parent-death signal
/// (the child ends with status 1 when `parent` is already gone), its own
/// process group, the closes, the standard descriptors, and the descriptor
/// that the program keeps.
void ChildSetUp(const ChildSetup& setup);

/// Signals the group that the live child `leader` leads, or the child
/// alone while it has not yet made its own session (or group).
void SignalGroup(pid_t leader, int sig);

#endif  // TARVO_COMMON_CHILD_SETUP_H
