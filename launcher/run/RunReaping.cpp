// The run loop's reaping: the ends of its processes, as the kernel reports
// them (and carrier reports a remote rank's), judged and counted; the
// first failure ends the run.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "launcher/run/AgentHub.h"
#include "launcher/run/Mpir.h"
#include "launcher/run/RunLoop.h"
#include "common/child_setup.h"

namespace runloop {

void Run::Reap() {
  std::vector<std::pair<size_t, int>> ended;
  bool taken = false;
  for (;;) {
    int ws = 0;
    pid_t pid = waitpid(-1, &ws, WNOHANG);
    if (pid == 0) break;
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto it = byPid_.find(pid);
    if (it == byPid_.end()) continue;  // not a process of the run (the monitor, a signal's command)
    if (!taken) TakeMpiNow();
    taken = true;
    // Nothing of a process of the run outlives it: its group goes with it.
    kill(-pid, SIGKILL);
    const size_t i = it->second;
    if (!ending_ && PerRankRemote(i) && procs_[i].heard && !procs_[i].remoteEnded) {
      awaitingNotice_.push_back(ShellEnd{i, ws, Now() + kNoticeHold});
      continue;
    }
    Reaped(i, ws, &ended);
  }
  for (auto e = awaitingNotice_.begin(); e != awaitingNotice_.end();) {
    if (!ending_ && !procs_[e->index].remoteEnded && Now() < e->until) {
      ++e;
      continue;
    }
    Reaped(e->index, e->waitStatus, &ended);
    e = awaitingNotice_.erase(e);
  }
  // Whether a rank left MPI unfinalized is known before its end is judged.
  TakeMpi();
  Ended(ended);
}

void Run::Reaped(size_t i, int ws, std::vector<std::pair<size_t, int>>* ended) {
  watcher_.Set(slots_[i], 0);
  // A first job's slot stays its own; a spawned one's is taken again.
  if (launches_[i].job > 0) freeSlots_.push_back(slots_[i]);
  MarkEnded(i);
  if (procs_[i].remoteEnded) ws = procs_[i].remoteStatus;
  procs_[i].waitStatus = ws;
  if (launches_[i].agentShell) {
    hub_->ShellEnded(launches_[i].agent, ws, Now(), &agentEvents_);
    return;
  }
  ended->emplace_back(i, ws);
  const RankLaunch& l = launches_[i];
  if (mpi_ != nullptr && l.job == 0) mpi_->RankEnded(l.rank, &mpiEvents_);
  if (mpi_ != nullptr && l.job > 0) mpi_->SpawnedRankEnded(l.job, l.rank, &mpiEvents_);
  if (mpi_ != nullptr && l.job > 0) mpi_->Pmi1RankEnded(l.job, l.rank, &mpiEvents_);
}

void Run::MarkEnded(size_t i) {
  Proc& p = procs_[i];
  if (p.state == kLoggingIn) --loggingIn_;
  p.state = kEnded;
  p.endedAt = Now();
  p.endedByUs = ending_;
  --live_;
  if (!launches_[i].agentShell) anyEnded_ = true;
  if (mpi_ != nullptr && !launches_[i].agentShell) mpi_->NamesEnded(launches_[i].job, launches_[i].rank);
}

// Ranks that have ended, with their wait statuses.
void Run::Ended(const std::vector<std::pair<size_t, int>>& ended) {
  // The whole batch first: ranks that failed together failed on their own.
  std::vector<size_t> failed;
  for (const auto& e : ended) {
    procs_[e.first].waitStatus = e.second;
    status_ = std::max(status_, ShellStatus(e.second));
    if (procs_[e.first].endedByUs || ShellStatus(e.second) == 0) continue;
    ownFailure_ = std::max(ownFailure_, ShellStatus(e.second));
    failed.push_back(e.first);
  }
  for (const auto& e : ended) {
    if (procs_[e.first].left) EndedUnfinalized(e.first);
  }
  if (failed.empty() || ending_) return;
  const bool end = shared_.settings.killOnBadExit;
  for (const auto& e : ended) {
    if (std::find(failed.begin(), failed.end(), e.first) != failed.end()) {
      fprintf(stderr, "tarvo: %s %s%s\n", Who(e.first).c_str(), Describe(e.second).c_str(), end ? "; ending the run" : "");
    }
  }
  if (end) BeginEnding(kRankFailed, SIGTERM);
}

}  // namespace runloop
