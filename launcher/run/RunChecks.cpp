#include "launcher/run/RunChecks.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "launcher/run/ReportText.h"

namespace runloop {

RunChecks::RunChecks(const RunSettings& settings, const CollectiveWatch* collectives, const RunRanks& ranks,
                     RunEnd& end, const MpiLink& mpi, double now)
    : settings_(settings), collectives_(collectives), ranks_(ranks), end_(end), mpi_(mpi) {
  if (settings_.timeout > 0) deadline_ = now + settings_.timeout;
  if (deadline_ > 0 && settings_.timeoutSignal != 0) warnAt_ = deadline_ - settings_.timeoutSignalBefore;
}

double RunChecks::Due(double now) const {
  if (end_.Ending()) return -1;
  double due = -1;
  auto atMost = [&](double seconds) {
    if (due < 0 || seconds < due) due = std::max(0.0, seconds);
  };
  if (deadline_ > 0) atMost(deadline_ - now);
  if (warnAt_ > 0) atMost(warnAt_ - now);
  if (ranks_.AnyEnded() && ranks_.LiveCount() > 0) atMost(stuckSince_ > 0 ? stuckSince_ + kStuckGrace - now : 0.25);
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (ranks_.Launch(i).remote && !ranks_.At(i).heard && ranks_.Live(i)) {
      atMost(ranks_.At(i).startedAt + settings_.loginTimeout - now);
    }
  }
  return due;
}

void RunChecks::Waiting(std::vector<double>* since) const {
  if (collectives_ != nullptr) collectives_->Snapshot(since);
  if (mpi_.Server() != nullptr) mpi_.Server()->Waiting(since);
}

bool RunChecks::TimeUp(double now) {
  // The warning before the time limit, for programs that save their work.
  if (!end_.Ending() && warnAt_ > 0 && now >= warnAt_) {
    warnAt_ = 0;
    end_.SignalAll(settings_.timeoutSignal);
  }
  if (end_.Ending() || deadline_ <= 0 || now < deadline_) return false;
  fprintf(stderr, "tarvo: the run's time limit of %g s is over; ending the run\n", settings_.timeout);
  std::vector<double> waiting;
  Waiting(&waiting);
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (ranks_.At(i).state == kEnded || ranks_.At(i).state == kPending || ranks_.Launch(i).agentShell) continue;
    const size_t rank = static_cast<size_t>(ranks_.Launch(i).rank);
    if (rank < waiting.size() && waiting[rank] >= 0) {
      fprintf(stderr, "tarvo: %s is running, waiting in a collective operation for %.1f s\n", ranks_.Who(i).c_str(),
              now - waiting[rank]);
    } else {
      fprintf(stderr, "tarvo: %s is running, not in a collective operation\n", ranks_.Who(i).c_str());
    }
  }
  deadline_ = 0;
  return true;
}

void RunChecks::CheckLogins(double now) {
  if (end_.Ending()) return;
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (!ranks_.Launch(i).remote || ranks_.At(i).heard || !ranks_.Live(i) ||
        now - ranks_.At(i).startedAt < settings_.loginTimeout) {
      continue;
    }
    fprintf(stderr, "tarvo: the remote shell to %s (pid %d) has not logged in within %g s (TARVO_LOGIN_TIMEOUT); "
            "ending the run\n", ranks_.Launch(i).host.c_str(), static_cast<int>(ranks_.At(i).pid),
            settings_.loginTimeout);
    end_.Fatal(255);
    return;
  }
}

void RunChecks::CheckStuck(double now) {
  if (end_.Ending() || !ranks_.AnyEnded() || ranks_.LiveCount() == 0) return;
  std::vector<double> waiting;
  Waiting(&waiting);
  std::vector<int> waiters;
  size_t culprit = ranks_.Count();
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (ranks_.Launch(i).agentShell) continue;
    const size_t rank = static_cast<size_t>(ranks_.Launch(i).rank);
    const bool waits = rank < waiting.size() && waiting[rank] >= 0;
    if (ranks_.At(i).state == kEnded && !waits && culprit == ranks_.Count()) culprit = i;
    if (ranks_.At(i).state != kEnded && waits) waiters.push_back(ranks_.Launch(i).rank);
  }
  if (culprit == ranks_.Count() || waiters.empty()) {
    stuckSince_ = -1;
    return;
  }
  if (stuckSince_ < 0) {
    stuckSince_ = now;
    return;
  }
  if (now - stuckSince_ < kStuckGrace) return;
  std::sort(waiters.begin(), waiters.end());
  fprintf(stderr, "tarvo: %s has ended while rank%s %s wait%s in a collective operation that it never entered; "
          "ending the run\n",
          ranks_.Who(culprit).c_str(), waiters.size() == 1 ? "" : "s", RankList(waiters).c_str(),
          waiters.size() == 1 ? "s" : "");
  end_.Begin(RunEnd::kStuck, SIGTERM);
}

}  // namespace runloop
