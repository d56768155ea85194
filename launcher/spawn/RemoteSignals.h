// Per-rank remote shells: the run control's way of passing a signal on to
// the ranks' programs on their hosts, and of reading their call stacks. The
// spawner that starts ranks through a remote shell makes one and hands it
// to the run control with the ranks.
#ifndef TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H
#define TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H

#include <string>
#include <utility>
#include <vector>

#include "launcher/run/RunControl.h"

namespace spawn {

struct ExecPlan;

class RemoteSignals : public RemoteSignaller {
 public:
  /// Each command runs through `shell` (its words before the host) and
  /// closes `closeFds` (the launcher's endpoints) before its exec.
  RemoteSignals(std::vector<std::string> shell, std::vector<int> closeFds)
      : shell_(std::move(shell)), closeFds_(std::move(closeFds)) {}
  bool Ready() const override;
  void Signal(const std::string& host, int sig, const std::vector<pid_t>& groups) override;
  pid_t ReadStacks(const std::string& host, const std::vector<std::pair<int, pid_t>>& ranks, int samples,
                   int* readFd) override;
  /// Starts `words` on `host` (see RemoteCommand) with their standard output
  /// on a pipe whose nonblocking reading end goes to *readFd, their standard
  /// input /dev/null; -1 when it cannot start.
  pid_t StartReading(const std::string& host, const std::vector<std::string>& words, int* readFd) const;

 private:
  // `words` run on `host` through the remote shell, in a group of its own,
  // ended with the launcher; the far side's standard error is dropped.
  void RemoteCommand(const std::string& host, const std::vector<std::string>& words, ExecPlan* plan) const;

  const std::vector<std::string> shell_;
  const std::vector<int> closeFds_;
};

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H
