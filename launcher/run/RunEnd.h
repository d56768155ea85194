// How a run ends: the signals sent to its processes, the kill after the
// grace, and the run's exit status, from why it ended and how its ranks
// did.
#ifndef TARVO_LAUNCHER_RUN_RUNEND_H
#define TARVO_LAUNCHER_RUN_RUNEND_H

#include <cstddef>
#include <unordered_map>

#include "launcher/run/RunControl.h"
#include "launcher/run/RunRanks.h"

class AgentHub;

namespace runloop {

class RunEnd {
 public:
  enum Reason { kNone, kRankFailed, kStuck, kTimeout, kSignal, kFatal };
  // `hub` (null: no agents) passes signals on to the agents' ranks,
  // `remote` (null: none) to the ranks of per-rank remote shells.
  RunEnd(const RunSettings& settings, const RunRanks& ranks, AgentHub* hub, RemoteSignaller* remote);

  bool Ending() const { return ending_; }
  // The run is ending and its processes left after the grace are yet to
  // be killed, at KillAt().
  bool KillPending() const { return ending_ && !killed_; }
  double KillAt() const { return killAt_; }
  // Ends the run: `sig` (0 for none) to every process now, SIGKILL to
  // those left after the grace. Once only.
  void Begin(Reason why, int sig);
  // Ends the run for a failure that is not a rank's own, with `status`.
  void Fatal(int status);
  // Ends the run for a rank that failed (`status` counts as the ranks' own).
  void RankFailed(int status);
  // SIGKILL to every process now.
  void Kill();
  // The grace is over.
  void CheckKill(double now);
  // `sig` to every live process group of the run. SIGUSR1 and SIGUSR2 for
  // a rank of a per-rank remote shell whose program has not told its pid
  // yet are held for it until it does (RemoteStarted).
  void SignalAll(int sig);
  // Rank `i`'s program on its remote host has told its pid: the signals
  // held for it go there now.
  void RemoteStarted(size_t i);

  // How the ranks did: every end's status, the ranks' own failures, a
  // rank's abort (its code is the run's), the signal that ended the run.
  void Exited(int status);
  void OwnFailure(int status);
  void AbortedWith(int code) { ownFailure_ = code; }
  void SignalledBy(int sig) { signal_ = sig; }
  // The run's exit status.
  int Status() const;

 private:
  const RunSettings& settings_;
  const RunRanks& ranks_;
  AgentHub* hub_;
  RemoteSignaller* remote_;
  bool ending_ = false;
  bool killed_ = false;
  double killAt_ = 0;
  Reason reason_ = kNone;
  int status_ = 0;      // the highest status of all (a run that ends by itself)
  int ownFailure_ = 0;  // the highest status of the ranks that failed on their own
  int signal_ = 0;
  int fatal_ = 1;
  // By rank index: the signals (a bit each, SIGUSR1 and SIGUSR2) held for
  // a remote program that has not started yet.
  std::unordered_map<size_t, unsigned> held_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_RUNEND_H
