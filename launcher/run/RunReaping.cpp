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
#include "common/exit_status.h"

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
    const int at = ranks_.OfPid(pid);
    if (at < 0) continue;  // not a process of the run (the monitor, a signal's command)
    // What the ranks' servers hold now, whatever the last poll saw: a
    // rank's abort is posted before the rank may exit, so once its end is
    // reaped, its abort is among these.
    if (!taken) mpi_.PollNow(Now());
    taken = true;
    // Nothing of a process of the run outlives it: its group goes with it.
    kill(-pid, SIGKILL);
    const size_t i = static_cast<size_t>(at);
    if (!end_.Ending() && ranks_.PerRankRemote(i) && ranks_.At(i).heard && !ranks_.At(i).remoteEnded) {
      awaitingNotice_.push_back(ShellEnd{i, ws, Now() + kNoticeHold});
      continue;
    }
    Reaped(i, ws, &ended);
  }
  for (auto e = awaitingNotice_.begin(); e != awaitingNotice_.end();) {
    if (!end_.Ending() && !ranks_.At(e->index).remoteEnded && Now() < e->until) {
      ++e;
      continue;
    }
    Reaped(e->index, e->waitStatus, &ended);
    e = awaitingNotice_.erase(e);
  }
  // Whether a rank left MPI unfinalized is known before its end is judged.
  mpiWatch_.Take(Now());
  Ended(ended);
}

void Run::Reaped(size_t i, int ws, std::vector<std::pair<size_t, int>>* ended) {
  watch_.Unwatch(i, ranks_.Launch(i).job);
  MarkEnded(i);
  if (ranks_.At(i).remoteEnded) ws = ranks_.At(i).remoteStatus;
  ranks_.At(i).waitStatus = ws;
  if (ranks_.Launch(i).agentShell) {
    hub_->ShellEnded(ranks_.Launch(i).agent, ws, Now(), &agentEvents_);
    return;
  }
  ended->emplace_back(i, ws);
  const RankLaunch& l = ranks_.Launch(i);
  MpiServer* mpi = mpi_.Server();
  if (mpi != nullptr && l.job == 0) mpi->RankEnded(l.rank, mpi_.Events());
  if (mpi != nullptr && l.job > 0) mpi->SpawnedRankEnded(l.job, l.rank, mpi_.Events());
  if (mpi != nullptr && l.job > 0) mpi->Pmi1RankEnded(l.job, l.rank, mpi_.Events());
}

void Run::MarkEnded(size_t i) {
  ranks_.MarkEnded(i, end_.Ending());
  const RankLaunch& l = ranks_.Launch(i);
  if (mpi_.Server() != nullptr && !l.agentShell) mpi_.Server()->NamesEnded(l.job, l.rank);
}

// Ranks that have ended, with their wait statuses.
void Run::Ended(const std::vector<std::pair<size_t, int>>& ended) {
  // The whole batch first: ranks that failed together failed on their own.
  std::vector<size_t> failed;
  for (const auto& e : ended) {
    ranks_.At(e.first).waitStatus = e.second;
    end_.Exited(ShellStatus(e.second));
    if (ranks_.At(e.first).endedByUs || ShellStatus(e.second) == 0) continue;
    end_.OwnFailure(ShellStatus(e.second));
    failed.push_back(e.first);
  }
  for (const auto& e : ended) {
    if (ranks_.At(e.first).left) mpiWatch_.EndedUnfinalized(e.first);
  }
  if (failed.empty() || end_.Ending()) return;
  const bool end = shared_.settings.killOnBadExit;
  for (const auto& e : ended) {
    if (std::find(failed.begin(), failed.end(), e.first) != failed.end()) {
      fprintf(stderr, "tarvo: %s %s%s\n", ranks_.Who(e.first).c_str(), Describe(e.second).c_str(), end ? "; ending the run" : "");
    }
  }
  if (end) end_.Begin(RunEnd::kRankFailed, SIGTERM);
}

}  // namespace runloop
