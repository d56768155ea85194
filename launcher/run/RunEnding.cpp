// How a run ends: the ends that agents and other threads report, the time
// limit, collective operations that can no longer be released, the kill
// after the grace, and the run's status.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "launcher/run/RunLoop.h"

namespace runloop {

// What the agents have reported since the last look.
void Run::TakeAgentEvents() {
  if (hub_ == nullptr) return;
  hub_->Tick(Now(), &agentEvents_);
  std::vector<AgentEvent> events;
  events.swap(agentEvents_);
  std::vector<std::pair<size_t, int>> ended;
  for (const AgentEvent& e : events) {
    if (e.kind == AgentEvent::kLoggedIn) {
      for (size_t i = 0; i < next_; ++i) {
        if (launches_[i].agentShell && (launches_[i].agent == e.agent || launches_[i].agent < 0)) {
          procs_[i].heard = true;
          if (procs_[i].state == kLoggingIn) {
            procs_[i].state = kRunning;
            --loggingIn_;
          }
        }
      }
      continue;
    }
    if (e.kind == AgentEvent::kWrongVersion) {
      if (!ending_) {
        fprintf(stderr, "tarvo: the agent on %s speaks version %d of the agent protocol, this tarvo version %d; "
                "ending the run\n", hub_->Host(e.agent).c_str(), e.exitCode, kAgentProtocolVersion);
        fatal_ = 1;
        BeginEnding(kFatal, SIGTERM);
      }
      continue;
    }
    if (e.kind == AgentEvent::kRefused) {
      if (!ending_) {
        fputs(e.why.c_str(), stdout);
        fflush(stdout);
        fatal_ = 255;  // the status of a run refused before it starts
        BeginEnding(kFatal, SIGTERM);
      }
      continue;
    }
    if (e.kind == AgentEvent::kLost) {
      stacks_.AgentLost(e.agent);
      std::vector<int> jobs;
      for (const auto& r : registering_) jobs.push_back(r.first);
      for (int job : jobs) JobReady(e.agent, job, 1);
      Lost(e);
      continue;
    }
    if (e.kind == AgentEvent::kStacks) {
      stacks_.AgentAnswered(e.agent, e.stacks);
      continue;
    }
    if (TakeAgentMpi(e)) continue;
    const int at = IndexOf(e.job, e.rank);
    if (at < 0) continue;
    const size_t i = static_cast<size_t>(at);
    if (!Hosted(i) || !Live(i)) continue;
    procs_[i].pid = e.pid;
    if (e.kind == AgentEvent::kEnded) {
      procs_[i].waitStatus = e.waitStatus;
      MarkEnded(i);
      ended.emplace_back(i, e.waitStatus);
    }
  }
  Ended(ended);
  // An agent whose connection has ended with none of its processes left
  // (it had no part in the job) is not waited for.
  std::vector<std::pair<int, int>> gone;
  for (const auto& r : registering_) {
    for (int a : r.second.agents) {
      if (!hub_->Serving(a)) gone.emplace_back(a, r.first);
    }
  }
  for (const auto& g : gone) JobReady(g.first, g.second, 0);
}

// An agent that is gone while ranks of it run: they are lost with it.
void Run::Lost(const AgentEvent& e) {
  if (e.untold) {
    // No rank has started: the run cannot go on without that host's map.
    if (ending_) return;
    const std::string why = e.shellEnded ? e.why + " " + Describe(e.waitStatus) : e.why;
    fprintf(stderr, "tarvo: the agent on %s is lost before any rank started: %s; ending the run\n",
            hub_->Host(e.agent).c_str(), why.c_str());
    fatal_ = std::max(e.status, 1);
    BeginEnding(kFatal, SIGTERM);
    return;
  }
  std::vector<int> ranks;
  for (size_t i = 0; i < next_; ++i) {
    if (Hosted(i) && launches_[i].agent == e.agent && Live(i)) {
      MarkEnded(i);
      ranks.push_back(launches_[i].rank);
    }
  }
  if (ranks.empty() || ending_) return;
  status_ = std::max(status_, e.status);
  ownFailure_ = std::max(ownFailure_, e.status);
  const std::string why = e.shellEnded ? e.why + " " + Describe(e.waitStatus) : e.why;
  fprintf(stderr, "tarvo: the agent on %s, with rank%s %s, is lost: %s%s\n", hub_->Host(e.agent).c_str(),
          ranks.size() == 1 ? "" : "s", RankList(ranks).c_str(), why.c_str(),
          shared_.settings.killOnBadExit ? "; ending the run" : "");
  if (shared_.settings.killOnBadExit) BeginEnding(kRankFailed, SIGTERM);
}

void Run::TakeNotices() {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::mutex> lock(shared_.noticeMutex);
    notices.swap(shared_.notices);
  }
  for (const Notice& n : notices) {
    const int rank = n.rank;
    if (rank < 0 || static_cast<size_t>(rank) >= byRank_.size() || byRank_[static_cast<size_t>(rank)] < 0) continue;
    const size_t i = static_cast<size_t>(byRank_[static_cast<size_t>(rank)]);
    Proc& p = procs_[i];
    if (!PerRankRemote(i) || !Live(i)) continue;
    p.heard = true;
    if (n.ended) {
      p.remoteEnded = true;
      p.remoteStatus = n.waitStatus;
    } else if (n.pid > 1) {
      p.remotePid = n.pid;
    }
    if (p.state == kLoggingIn) {
      p.state = kRunning;
      --loggingIn_;
    }
  }
  // A login that takes too long no longer holds the window.
  if (loggingIn_ == 0) return;
  const double now = Now();
  for (size_t i = 0; i < next_; ++i) {
    if (procs_[i].state == kLoggingIn && now - procs_[i].startedAt >= kLoginHold) {
      procs_[i].state = kRunning;
      --loggingIn_;
    }
  }
}

void Run::CheckLogins() {
  if (ending_) return;
  const double now = Now();
  for (size_t i = 0; i < next_; ++i) {
    if (!launches_[i].remote || procs_[i].heard || !Live(i) ||
        now - procs_[i].startedAt < shared_.settings.loginTimeout) {
      continue;
    }
    fprintf(stderr, "tarvo: the remote shell to %s (pid %d) has not logged in within %g s (TARVO_LOGIN_TIMEOUT); "
            "ending the run\n", launches_[i].host.c_str(), static_cast<int>(procs_[i].pid),
            shared_.settings.loginTimeout);
    fatal_ = 255;
    BeginEnding(kFatal, SIGTERM);
    return;
  }
}

void Run::TakeFatal() {
  int status = shared_.fatalStatus.load();
  if (status == 0 || ending_) return;
  fatal_ = status;
  BeginEnding(kFatal, SIGTERM);
}

void Run::CheckTimeout() {
  // The warning before the time limit, for programs that save their work.
  if (!ending_ && warnAt_ > 0 && Now() >= warnAt_) {
    warnAt_ = 0;
    SignalAll(shared_.settings.timeoutSignal);
  }
  if (ending_ || deadline_ <= 0 || Now() < deadline_) return;
  fprintf(stderr, "tarvo: the run's time limit of %g s is over; ending the run\n", shared_.settings.timeout);
  std::vector<double> waiting;
  Waiting(&waiting);
  const double now = Now();
  for (size_t i = 0; i < next_; ++i) {
    if (procs_[i].state == kEnded || procs_[i].state == kPending || launches_[i].agentShell) continue;
    const size_t rank = static_cast<size_t>(launches_[i].rank);
    if (rank < waiting.size() && waiting[rank] >= 0) {
      fprintf(stderr, "tarvo: %s is running, waiting in a collective operation for %.1f s\n", Who(i).c_str(),
              now - waiting[rank]);
    } else {
      fprintf(stderr, "tarvo: %s is running, not in a collective operation\n", Who(i).c_str());
    }
  }
  deadline_ = 0;
  // Where every rank is, before they are ended: the run ends once the
  // stacks are in (at most kStacksWait later).
  if (shared_.settings.stacks) {
    AskStacks(true);
  } else {
    BeginEnding(kTimeout, SIGTERM);
  }
}

// A rank that has ended while others wait in a collective operation that
// it has not entered: nothing can release them.
void Run::CheckStuck() {
  if (ending_ || !anyEnded_ || live_ == 0) return;
  std::vector<double> waiting;
  Waiting(&waiting);
  std::vector<int> waiters;
  size_t culprit = procs_.size();
  for (size_t i = 0; i < next_; ++i) {
    if (launches_[i].agentShell) continue;
    const size_t rank = static_cast<size_t>(launches_[i].rank);
    const bool waits = rank < waiting.size() && waiting[rank] >= 0;
    if (procs_[i].state == kEnded && !waits && culprit == procs_.size()) culprit = i;
    if (procs_[i].state != kEnded && waits) waiters.push_back(launches_[i].rank);
  }
  if (culprit == procs_.size() || waiters.empty()) {
    stuckSince_ = -1;
    return;
  }
  const double now = Now();
  if (stuckSince_ < 0) {
    stuckSince_ = now;
    return;
  }
  if (now - stuckSince_ < kStuckGrace) return;
  std::sort(waiters.begin(), waiters.end());
  fprintf(stderr, "tarvo: %s has ended while rank%s %s wait%s in a collective operation that it never entered; "
          "ending the run\n",
          Who(culprit).c_str(), waiters.size() == 1 ? "" : "s", RankList(waiters).c_str(),
          waiters.size() == 1 ? "s" : "");
  BeginEnding(kStuck, SIGTERM);
}

void Run::CheckKill() {
  if (ending_ && !killed_ && live_ > 0 && Now() >= killAt_) Kill();
}

int Run::Status() const {
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
