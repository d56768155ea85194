// The run's processes: each launch, what has become of it, and the ways
// to find one (by its rank, its pid, or its job and rank).
#ifndef TARVO_LAUNCHER_RUN_RUNRANKS_H
#define TARVO_LAUNCHER_RUN_RUNRANKS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "launcher/run/RunControl.h"

namespace runloop {

enum State { kPending, kLoggingIn, kRunning, kEnded };

// What became of one launch.
struct Proc {
  pid_t pid = -1;
  State state = kPending;
  double startedAt = 0;
  bool endedByUs = false;
  pid_t remotePid = 0;       // per-rank remote shell: the program's pid (and group) there
  bool remoteEnded = false;  // carrier said how it ended: remoteStatus
  int remoteStatus = 0;
  int waitStatus = 0;  // once ended: how
  bool heard = false;  // a remote shell's far side has reported (agent's hello, carrier's notice)
  bool left = false;   // left MPI after its init without finalize
  double leftAt = 0;
};

// The launches are started in order: those before Started() have been.
// Spawned jobs' launches are added at the end, and a spawned job that
// never started is forgotten.
class RunRanks {
 public:
  explicit RunRanks(std::vector<RankLaunch>& launches);

  size_t Count() const { return launches_.size(); }
  size_t Started() const { return next_; }
  const RankLaunch& Launch(size_t i) const { return launches_[i]; }
  Proc& At(size_t i) { return procs_[i]; }
  const Proc& At(size_t i) const { return procs_[i]; }
  // Processes started and not ended, and those of them still logging in.
  int LiveCount() const { return live_; }
  int LoggingIn() const { return loggingIn_; }
  // A rank (not an agent's shell) has ended.
  bool AnyEnded() const { return anyEnded_; }

  // A rank that an agent hosts: no process of the launcher's own.
  bool Hosted(size_t i) const { return launches_[i].agent >= 0 && !launches_[i].agentShell; }
  bool Live(size_t i) const { return procs_[i].state == kLoggingIn || procs_[i].state == kRunning; }
  // A rank of its own remote shell (per-rank mode), which carrier reports on.
  bool PerRankRemote(size_t i) const {
    return launches_[i].remote && launches_[i].agent < 0 && !launches_[i].agentShell;
  }
  // "job 1 rank 3 (pid 123 on host)", as the reports name a process.
  std::string Who(size_t i) const;
  // The launch of rank `rank` of job `job`, -1 when there is none.
  int IndexOf(int job, int rank) const;
  // The launch whose process is `pid`, -1 when there is none.
  int OfPid(pid_t pid) const;
  // How many ranks job `job` holds: for the first job (0), one more than
  // its highest rank.
  size_t JobSize(int job) const;
  // Processes of the run not ended, agents' shells left out.
  int Running() const;

  // The next launch has been started as `pid`: -1 when it could not be,
  // unused for a rank that its agent starts.
  void StartedNext(pid_t pid, double now);
  // A remote shell's login is over.
  void LoggedIn(size_t i);
  // The process of launch `i` has ended; `byUs`: while the run was ending.
  void MarkEnded(size_t i, bool byUs);
  // A spawned job's launch, at the end; its index.
  size_t Add(RankLaunch launch);
  // The launches of spawned job `job`, none of which has started.
  void Forget(int job);

 private:
  std::vector<RankLaunch>& launches_;
  std::vector<Proc> procs_;
  std::vector<int> byRank_;  // rank of the first job -> index of its launch
  std::map<std::pair<int, int>, size_t> spawnedAt_;  // (job, rank) -> index of its launch
  std::unordered_map<pid_t, size_t> byPid_;
  size_t next_ = 0;  // the next launch to start
  int live_ = 0;     // started and not ended
  int loggingIn_ = 0;
  bool anyEnded_ = false;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_RUNRANKS_H
