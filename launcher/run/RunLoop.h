// The inside of the run control, shared by its files: RunControl.cpp
// (starting, the loop, signals), RunReaping.cpp (the ends of its
// processes), RunEnding.cpp (the ends that other threads and agents
// report, the checks that end a run, its status), RunMpi.cpp (the ranks'
// MPI servers) and RunStacks.cpp (the ranks' call stacks).
#ifndef TARVO_LAUNCHER_RUNLOOP_H
#define TARVO_LAUNCHER_RUNLOOP_H

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/group_watcher.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/MpiLink.h"
#include "launcher/run/MpiWatch.h"
#include "launcher/run/ReportText.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"
#include "launcher/run/SpawnedJobs.h"
#include "launcher/run/StackGather.h"

namespace runloop {

// A remote shell whose carrier has not reported after this long no longer
// counts as logging in (its notice may be lost, or its carrier may be an
// older one that sends none).
const double kLoginHold = 10.0;
// A request to the synchronisation service may still be on its way when the
// rank that sent it ends: a collective operation counts as stuck only after
// this long.
const double kStuckGrace = 1.0;
// carrier's notice of a remote rank's end is sent before its remote shell
// ends, but may be taken after the shell's end: a shell that ends first is
// judged when the notice comes, or after this long without it.
const double kNoticeHold = 1.0;
// Starts made before the loop looks at its signals again.
const int kStartBatch = 64;

// carrier's notice about a remote rank (RunControl::Noticed).
struct Notice {
  int rank;
  pid_t pid;
  bool ended;
  int waitStatus;
};

// What the run control shares with the threads that report to it, and
// what it was given when it was made: the state of one RunControl.
struct SharedState {
  RunSettings settings;
  const CollectiveWatch* collectives = nullptr;  // null: no collective operation is watched
  int signalFd = -1;  // the run control's signals, taken synchronously
  int wakeFd = -1;    // other threads' failures and notices wake the loop
  std::atomic<int> fatalStatus{0};
  std::mutex noticeMutex;
  std::vector<Notice> notices;  // guarded by noticeMutex
};

inline double Now() { return RunControlNow(); }

// One run: the loop that starts its processes and waits for what ends
// them, over the parts that keep its state.
class Run {
 public:
  Run(SharedState& shared, std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi, JobStarter* starter,
      RemoteSignaller* remote);
  int Loop();

 private:
  // Per-rank remote shells that ended before carrier's notice of their
  // rank's end was taken (kNoticeHold).
  struct ShellEnd {
    size_t index;
    int waitStatus;
    double until;
  };

  // Starting.
  bool WindowFull(size_t i) const;
  // A spawned job's process until every agent has registered its job; every
  // process but the agents' shells while the agents' topologies are awaited.
  bool Held(size_t i) const;
  void StartWhatMay();
  // The watcher's slot of launch `i`: a first job's its index; a spawned
  // process takes one that an ended spawned process left, or a new one, so
  // that the run's bound on its live processes bounds the slots.
  size_t TakeSlot(size_t i);
  // The MPIR table (Mpir.h): each rank of the first job as its program's
  // pid becomes known; once all are, the debugger's breakpoint.
  void NoteStarts();

  // Waiting, and tarvo's own signals.
  // Milliseconds until the next timer, -1 for none.
  int WaitMs() const;
  void WaitForEvents(int ms);
  void OnSignal(const signalfd_siginfo& info);

  // Ends (RunReaping.cpp).
  void Reap();
  // The end of the process of launch `i` with wait status `ws`, into `ended`
  // unless it is an agent's shell.
  void Reaped(size_t i, int ws, std::vector<std::pair<size_t, int>>* ended);
  void MarkEnded(size_t i);
  // Ranks that have ended, with their wait statuses.
  void Ended(const std::vector<std::pair<size_t, int>>& ended);

  // What other threads and agents report, and the checks that end a run
  // (RunEnding.cpp).
  // What the agents have reported since the last look.
  void TakeAgentEvents();
  // An agent that is gone while ranks of it run: they are lost with it.
  void Lost(const AgentEvent& e);
  void TakeNotices();
  void TakeFatal();
  // Since when each rank waits in a collective operation or PMI barrier.
  void Waiting(std::vector<double>* since) const;
  void CheckTimeout();
  // A remote shell whose far side has not reported within the login time.
  void CheckLogins();
  // A rank that has ended while others wait in a collective operation that
  // it has not entered: nothing can release them.
  void CheckStuck();
  // Asks the ranks' call stacks (at the time limit, the run ends after
  // them); one gathering at a time.
  void AskStacks(bool forTimeout);
  // What the stacks' readers have written, and the time limit's end once
  // they are printed.
  void TakeStacks();

  SharedState& shared_;
  AgentHub* hub_;             // null: no agents
  RemoteSignaller* remote_;   // null: remote shells are signalled themselves
  JobStarter* starter_;       // null: the run cannot spawn
  RunRanks ranks_;
  RunEnd end_;
  MpiLink mpi_;
  SpawnedJobs spawns_;
  MpiWatch mpiWatch_;
  StackGather stacks_;
  std::vector<AgentEvent> agentEvents_;
  std::vector<ShellEnd> awaitingNotice_;
  GroupWatcher watcher_;
  std::vector<size_t> slots_;  // launch -> its watcher slot
  std::vector<size_t> freeSlots_;
  size_t nextSlot_ = 0;
  std::vector<char> inTable_;  // launch -> its MPIR entry is set
  size_t tableLeft_ = 0;
  double deadline_ = 0;
  double warnAt_ = 0;  // TARVO_TIMEOUT_SIGNAL's moment; 0: none, or sent
  double stuckSince_ = -1;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUNLOOP_H
