// The inside of the run control: the loop of one run (RunControl.cpp:
// starting, the loop, signals; RunReaping.cpp: the ends of its processes;
// RunReports.cpp: what the agents and other threads report) over its
// parts, each made with the run and given what it needs then, none of
// which calls back into the loop: the processes (RunRanks), how the run
// ends (RunEnd), the checks that end it (RunChecks), the MPI server's
// events (MpiLink, MpiWatch), the spawned jobs (SpawnedJobs), the call
// stacks (StackGather), the debugger's table (MpirTable) and the group
// watcher's slots (WatchSlots).
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

#include "launcher/run/AgentHub.h"
#include "launcher/run/MpiLink.h"
#include "launcher/run/MpiWatch.h"
#include "launcher/run/MpirTable.h"
#include "launcher/run/ReportText.h"
#include "launcher/run/RunChecks.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"
#include "launcher/run/SpawnedJobs.h"
#include "launcher/run/StackGather.h"
#include "launcher/run/WatchSlots.h"

namespace runloop {

// A remote shell whose carrier has not reported after this long no longer
// counts as logging in (its notice may be lost, or its carrier may be an
// older one that sends none).
const double kLoginHold = 10.0;
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

  // Waiting, and tarvo's own signals. Milliseconds until the next timer,
  // -1 for none.
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

  // What the agents and other threads report (RunReports.cpp).
  // What the agents have reported since the last look.
  void TakeAgentEvents();
  // An agent that is gone while ranks of it run: they are lost with it.
  void Lost(const AgentEvent& e);
  void TakeNotices();
  void TakeFatal();
  // At the time limit, the stacks (when asked for) and the run's end.
  void CheckTimeout();
  // Asks the ranks' call stacks (at the time limit, the run ends after
  // them); one gathering at a time.
  void AskStacks(bool forTimeout);
  // What the stacks' readers have written, and the time limit's end once
  // they are printed.
  void TakeStacks();

  SharedState& shared_;
  AgentHub* hub_;            // null: no agents
  RemoteSignaller* remote_;  // null: remote shells are signalled themselves
  RunRanks ranks_;
  RunEnd end_;
  MpiLink mpi_;
  SpawnedJobs spawns_;
  MpiWatch mpiWatch_;
  StackGather stacks_;
  MpirTable mpir_;
  RunChecks checks_;
  WatchSlots watch_;
  std::vector<AgentEvent> agentEvents_;  // what the hub has reported, not yet taken
  std::vector<ShellEnd> awaitingNotice_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUNLOOP_H
