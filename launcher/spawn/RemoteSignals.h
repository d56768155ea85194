// Per-rank remote shells: the run control's way of passing a signal on to
// the ranks' programs on their hosts. The run makes one and hands it to its
// run control; it passes signals through the remote shell that the spawner
// chose (PassSignalsThrough), and is not ready before.
#ifndef TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H
#define TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H

#include "launcher/run/RunControl.h"

namespace spawn {

class RemoteSignals : public RemoteSignaller {
 public:
  bool Ready() const override;
  void Signal(const std::string& host, int sig, const std::vector<pid_t>& groups) override;
  pid_t ReadStacks(const std::string& host, const std::vector<std::pair<int, pid_t>>& ranks, int samples,
                   int* readFd) override;
};

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_REMOTESIGNALS_H
