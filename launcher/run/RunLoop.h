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
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "launcher/mpi/MpiServer.h"
#include "common/exit_status.h"
#include "launcher/run/AgentHub.h"
#include "common/group_watcher.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/ReportText.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"
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
// A rank that has closed its MPI connection without finalize has this
// long to end, so that its end, not the closed connection, is reported.
const double kLeftGrace = 2.0;
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

// One run: the processes, and why and how it is ending.
class Run {
 public:
  Run(SharedState& shared, std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi, JobStarter* starter,
      RemoteSignaller* remote);
  int Loop();
 private:
  SharedState& shared_;
  RunRanks ranks_;
  AgentHub* hub_;
  std::vector<AgentEvent> agentEvents_;
  GroupWatcher watcher_;
  // The watcher's slot of each launch: a first job's its index; a spawned
  // process takes one that an ended spawned process left, or a new one, so
  // that the run's bound on its live processes bounds the slots.
  std::vector<size_t> slots_;
  std::vector<size_t> freeSlots_;
  size_t nextSlot_ = 0;
  size_t TakeSlot(size_t i);
  MpiServer* mpi_;
  std::vector<MpiEvent> mpiEvents_;
  JobStarter* starter_;
  RemoteSignaller* remote_;  // null: remote shells are signalled themselves
  int jobs_ = 0;  // jobs that ranks spawned
  std::map<int, std::string> spawnedNspaces_;  // job -> its namespace
  // A rank's MPI_Comm_spawn (RunMpi.cpp): the new job's processes join the
  // run, or the call fails with one line that says why.
  void Spawn(const MpiEvent& e);
  // Spawned jobs whose answer waits for agents' servers to register them.
  struct Registering {
    uint64_t ticket = 0;
    std::string parentNspace;  // the spawning rank's job
    int parentRank = -1;
    std::string nspace;
    std::set<int> agents;  // not yet ready
    std::vector<int> all;  // every agent asked, which holds the job's processes until told
    std::vector<std::pair<std::string, int>> apps;  // each program and its count, for the refusal's line
    std::string why;       // the refusal, once an agent has failed
    bool failed = false;
  };
  std::map<int, Registering> registering_;
  // An agent's kAgentJobReady (or its loss, status 1): the spawn's answer
  // once every agent of the job is ready.
  // `rank`: the process whose program the agent did not find (status
  // kAgentJobNoProgram). The job's processes start only once every agent is
  // ready; a refused job's are dropped everywhere and forgotten.
  void JobReady(int agent, int job, int status, int rank = -1);
  void SpawnRefused(uint64_t ticket, const std::string& parentNspace, int parentRank, const std::string& why);
  void ForgetJob(int job);
  // A spawned process held until its job is ready everywhere.
  // A spawned job's process until every agent has registered its job; every
  // process but the agents' shells while the agents' topologies are awaited.
  bool Held(size_t i) const {
    return (ranks_.Launch(i).job > 0 && registering_.count(ranks_.Launch(i).job) != 0) ||
           (!ranks_.Launch(i).agentShell && hub_ != nullptr && hub_->Holding());
  }
  double deadline_ = 0;
  double warnAt_ = 0;  // TARVO_TIMEOUT_SIGNAL's moment; 0: none, or sent
  double stuckSince_ = -1;
  RunEnd end_;
  bool WindowFull(size_t i) const;
  void StartWhatMay();
  // Milliseconds until the next timer, -1 for none.
  int WaitMs() const;
  void WaitForEvents(int ms);
  // What the ranks' servers hold now, whatever the last poll saw: a rank's
  // abort is posted before the rank may exit, so once its end is reaped,
  // its abort is among these.
  void TakeMpiNow();
  void OnSignal(const signalfd_siginfo& info);
  void Reap();
  // The end of the process of launch `i` with wait status `ws`, into `ended`
  // unless it is an agent's shell.
  void Reaped(size_t i, int ws, std::vector<std::pair<size_t, int>>* ended);
  // Per-rank remote shells that ended before carrier's notice of their
  // rank's end was taken (kNoticeHold).
  struct ShellEnd {
    size_t index;
    int waitStatus;
    double until;
  };
  std::vector<ShellEnd> awaitingNotice_;
  void MarkEnded(size_t i);
  // Ranks that have ended, with their wait statuses.
  void Ended(const std::vector<std::pair<size_t, int>>& ended);
  // What the agents have reported since the last look.
  void TakeAgentEvents();
  // An agent that is gone while ranks of it run: they are lost with it.
  void Lost(const AgentEvent& e);
  // What tarvo's own PMI-1 ranks have done since the last look, and an
  // agent's part of the fence (RunMpi.cpp).
  void TakeMpi();
  bool TakeAgentMpi(const AgentEvent& e);
  void FenceIfComplete();
  // A rank broke the PMI protocol: why, and what it sent.
  void Broke(int rank, const std::string& why, const std::string& sent, int job = 0);
  // A rank called PMI abort: the run ends with its exit code.
  void Aborted(int rank, int exitCode, int job = 0);
  // A rank left MPI after its init, before its finalize: closed its PMI-1
  // connection, or (PMIx) ended.
  void Unfinalized(int rank, int job = 0);
  void PmixFull(const std::string& host);
  // A rank that left MPI without finalize and then ended with status 0 has
  // failed all the same: the others may wait for it for ever.
  void EndedUnfinalized(size_t i);
  // One that left and has not ended within kLeftGrace.
  void CheckLeft();
  // Since when each rank waits in a collective operation or PMI barrier.
  void Waiting(std::vector<double>* since) const;
  void TakeNotices();
  void TakeFatal();
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
  // The MPIR table (Mpir.h): each rank of the first job as its program's
  // pid becomes known; once all are, the debugger's breakpoint.
  void NoteStarts();
  std::vector<char> inTable_;  // launch -> its entry is set
  size_t tableLeft_ = 0;
  StackGather stacks_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUNLOOP_H
