// Where every rank is: the run control's gathering of the ranks' call
// stacks, at the time limit (before the ranks are ended) and on SIGQUIT.
#ifndef TARVO_LAUNCHER_RUN_STACKGATHER_H
#define TARVO_LAUNCHER_RUN_STACKGATHER_H

#include <poll.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/stack_wire.h"
#include "common/wire.h"
#include "launcher/run/RunControl.h"

class AgentHub;

namespace runloop {

/// A per-rank remote shell's reader logs in first: on a loaded machine that
/// alone can take seconds.
const double kStacksRemoteWait = 10.0;

/// A process of the run whose stacks are asked, known by its launch's
/// index: a spawned job's ranks count from 0 again.
struct StackTarget {
  int index = 0;
  int job = 0;
  int rank = 0;
  pid_t pid = 0;     // on its host
  std::string host;  // empty: this host; else a per-rank remote shell's
  std::string why;   // not empty: it cannot be read, and why
};

/// One gathering at a time. tarvo's own ranks are read by `tarvo-agent
/// --stacks`, a child whose answer comes through a pipe that the loop
/// polls, and each host of per-rank remote shells by the same reader
/// through the remote shell; each agent reads its own ranks and answers
/// with one frame. A host that has not answered within kStacksWait
/// (kStacksRemoteWait through a remote shell) is named and left out. The
/// report goes to standard error (and TARVO_STACKS_DOT's graph to its
/// file) once every host has answered or the time is up.
class StackGather {
 public:
  /// `hub` (null: no agents) is asked for its agents' stacks; `remote`
  /// (null: no per-rank remote shells) starts the remote readers.
  StackGather(const RunSettings& settings, AgentHub* hub, RemoteSignaller* remote);
  StackGather(const StackGather&) = delete;
  StackGather& operator=(const StackGather&) = delete;

  bool Active() const { return active_; }
  /// When the gathering gives up on the hosts that have not answered.
  double Until() const { return until_; }
  /// Starts a gathering of `targets`; with `forTimeout`, the run ends once
  /// the stacks are printed. During a gathering, only `forTimeout` is
  /// kept. True when the gathering ended at once and was for the time
  /// limit (then `noneLive`: no process of the run is left to wait for).
  bool Begin(const std::vector<StackTarget>& targets, bool forTimeout, bool noneLive);
  /// The readers' pipes, to poll.
  void Fds(std::vector<pollfd>* fds) const;
  /// An agent's answer; one that was not asked, or comes late, is dropped.
  void AgentAnswered(int agent, const std::vector<RankStack>& stacks);
  /// An agent that is gone answers no more.
  void AgentLost(int agent);
  /// What the readers have written; when every host has answered, the
  /// time is up or `noneLive`, the report. True when a gathering for the
  /// time limit has just ended.
  bool Take(bool noneLive);

 private:
  struct Reader {
    std::string host;  // empty: tarvo's own processes
    pid_t pid = -1;
    int fd = -1;
    std::string bytes;
    std::vector<std::pair<int, pid_t>> asked;  // (launch index, pid)
  };
  void Start(const std::string& host, const std::vector<std::pair<int, pid_t>>& asked);
  // What a reader wrote of the processes `asked` (launch index, pid).
  void TakeRead(const std::vector<RankStack>& read, bool whole, const std::vector<std::pair<int, pid_t>>& asked);
  // An empty stack that names the process of launch `index`.
  RankStack Named(int index) const;
  bool Finish();

  const RunSettings& settings_;
  AgentHub* hub_;
  RemoteSignaller* remote_;
  bool active_ = false;
  bool forTimeout_ = false;
  double until_ = 0;
  std::map<int, std::pair<int, int>> names_;  // launch index -> (job, rank)
  std::vector<Reader> readers_;
  std::vector<int> agents_;  // agents asked that have not answered
  std::vector<RankStack> stacks_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_STACKGATHER_H
