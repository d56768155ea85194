#include "launcher/run/RunEnd.h"

#include <signal.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/child_setup.h"
#include "common/exit_status.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/Mpir.h"

namespace runloop {

RunEnd::RunEnd(const RunSettings& settings, const RunRanks& ranks, AgentHub* hub, RemoteSignaller* remote)
    : settings_(settings), ranks_(ranks), hub_(hub), remote_(remote) {}

void RunEnd::Begin(Reason why, int sig) {
  if (ending_) return;
  ending_ = true;
  reason_ = why;
  static const char* const kWhy[] = {"", "a rank failed", "a collective operation can no longer end",
                                     "the time limit", "a signal", "the run could not go on"};
  MpirAborting(std::string("tarvo is ending the run: ") + kWhy[why]);
  if (sig != 0) SignalAll(sig);
  killAt_ = RunControlNow() + settings_.killGrace;
  if (settings_.killGrace <= 0) Kill();
}

void RunEnd::Fatal(int status) {
  if (ending_) return;
  fatal_ = status;
  Begin(kFatal, SIGTERM);
}

void RunEnd::RankFailed(int status) {
  OwnFailure(status);
  Begin(kRankFailed, SIGTERM);
}

void RunEnd::Kill() {
  SignalAll(SIGKILL);
  killed_ = true;
}

void RunEnd::CheckKill(double now) {
  if (KillPending() && ranks_.LiveCount() > 0 && now >= killAt_) Kill();
}

// A per-rank remote rank whose program has reported its pid gets `sig`
// there, through one command per host; SIGUSR1 and SIGUSR2 never go to a
// remote shell itself, which they would end.
void RunEnd::SignalAll(int sig) {
  std::unordered_map<std::string, std::vector<pid_t>> remote;
  const bool passedOn = sig == SIGUSR1 || sig == SIGUSR2;
  const bool remoteReady = remote_ != nullptr && remote_->Ready();
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (!ranks_.Live(i) || ranks_.Hosted(i)) continue;
    const RankLaunch& l = ranks_.Launch(i);
    const Proc& p = ranks_.At(i);
    // An agent's remote shell is ended only by the last resort: the
    // agent then ends its ranks with itself.
    if (l.agentShell && sig != SIGKILL) continue;
    if (ranks_.PerRankRemote(i) && sig != SIGKILL && remoteReady && p.remotePid > 0) {
      remote[l.host].push_back(p.remotePid);
      continue;
    }
    if (ranks_.PerRankRemote(i) && passedOn) {
      // Its program has not started: the signal waits for it, as it would
      // have found a program started at once.
      if (remoteReady && !killed_) held_[i] |= 1u << sig;
      continue;
    }
    SignalGroup(p.pid, sig);
  }
  for (const auto& host : remote) remote_->Signal(host.first, sig, host.second);
  if (hub_ != nullptr) hub_->Signal(sig);
}

void RunEnd::RemoteStarted(size_t i) {
  const auto it = held_.find(i);
  if (it == held_.end()) return;
  const unsigned held = it->second;
  held_.erase(it);
  const Proc& p = ranks_.At(i);
  if (!ranks_.Live(i) || p.remotePid <= 0 || remote_ == nullptr) return;
  for (const int sig : {SIGUSR1, SIGUSR2}) {
    if ((held & (1u << sig)) != 0) remote_->Signal(ranks_.Launch(i).host, sig, {p.remotePid});
  }
}

void RunEnd::Exited(int status) { status_ = std::max(status_, status); }

void RunEnd::OwnFailure(int status) { ownFailure_ = std::max(ownFailure_, status); }

int RunEnd::Status() const {
  switch (reason_) {
    case kNone:
      return status_;
    case kRankFailed:
      return ownFailure_;
    case kStuck:
      return ownFailure_ > 0 ? ownFailure_ : 1;
    case kTimeout:
      return 124;
    case kSignal:
      return SignalStatus(signal_);
    case kFatal:
      return fatal_;
  }
  return status_;
}

}  // namespace runloop
