// What the agents and tarvo's other threads report to the run loop: the
// agents' logins, the ends and pids of their ranks, their loss; carrier's
// notices; a failure that ends the run. And the time limit's end.
#include <signal.h>

#include <algorithm>
#include <cstdio>

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
      for (size_t i = 0; i < ranks_.Started(); ++i) {
        if (ranks_.Launch(i).agentShell && (ranks_.Launch(i).agent == e.agent || ranks_.Launch(i).agent < 0)) {
          ranks_.At(i).heard = true;
          ranks_.LoggedIn(i);
        }
      }
      continue;
    }
    if (e.kind == AgentEvent::kWrongVersion) {
      if (!end_.Ending()) {
        fprintf(stderr, "tarvo: the agent on %s speaks version %d of the agent protocol, this tarvo version %d; "
                "ending the run\n", hub_->Host(e.agent).c_str(), e.exitCode, kAgentProtocolVersion);
        end_.Fatal(1);
      }
      continue;
    }
    if (e.kind == AgentEvent::kRefused) {
      if (!end_.Ending()) {
        fputs(e.why.c_str(), stdout);
        fflush(stdout);
        end_.Fatal(255);  // the status of a run refused before it starts
      }
      continue;
    }
    if (e.kind == AgentEvent::kLost) {
      stacks_.AgentLost(e.agent);
      spawns_.AgentLost(e.agent);
      Lost(e);
      continue;
    }
    if (e.kind == AgentEvent::kStacks) {
      stacks_.AgentAnswered(e.agent, e.stacks);
      continue;
    }
    if (mpiWatch_.TakeAgent(e, Now())) continue;
    const int at = ranks_.IndexOf(e.job, e.rank);
    if (at < 0) continue;
    const size_t i = static_cast<size_t>(at);
    if (!ranks_.Hosted(i) || !ranks_.Live(i)) continue;
    ranks_.At(i).pid = e.pid;
    if (e.kind == AgentEvent::kEnded) {
      ranks_.At(i).waitStatus = e.waitStatus;
      MarkEnded(i);
      ended.emplace_back(i, e.waitStatus);
    }
  }
  Ended(ended);
  spawns_.DropGoneAgents();
}

// An agent that is gone while ranks of it run: they are lost with it.
void Run::Lost(const AgentEvent& e) {
  if (e.untold) {
    // No rank has started: the run cannot go on without that host's map.
    if (end_.Ending()) return;
    const std::string why = e.shellEnded ? e.why + " " + Describe(e.waitStatus) : e.why;
    fprintf(stderr, "tarvo: the agent on %s is lost before any rank started: %s; ending the run\n",
            hub_->Host(e.agent).c_str(), why.c_str());
    end_.Fatal(std::max(e.status, 1));
    return;
  }
  std::vector<int> ranks;
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (ranks_.Hosted(i) && ranks_.Launch(i).agent == e.agent && ranks_.Live(i)) {
      MarkEnded(i);
      ranks.push_back(ranks_.Launch(i).rank);
    }
  }
  if (ranks.empty() || end_.Ending()) return;
  end_.Exited(e.status);
  end_.OwnFailure(e.status);
  const std::string why = e.shellEnded ? e.why + " " + Describe(e.waitStatus) : e.why;
  fprintf(stderr, "tarvo: the agent on %s, with rank%s %s, is lost: %s%s\n", hub_->Host(e.agent).c_str(),
          ranks.size() == 1 ? "" : "s", RankList(ranks).c_str(), why.c_str(),
          shared_.settings.killOnBadExit ? "; ending the run" : "");
  if (shared_.settings.killOnBadExit) end_.Begin(RunEnd::kRankFailed, SIGTERM);
}

void Run::TakeNotices() {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::mutex> lock(shared_.noticeMutex);
    notices.swap(shared_.notices);
  }
  for (const Notice& n : notices) {
    const int at = ranks_.IndexOf(0, n.rank);
    if (at < 0) continue;
    const size_t i = static_cast<size_t>(at);
    Proc& p = ranks_.At(i);
    if (!ranks_.PerRankRemote(i) || !ranks_.Live(i)) continue;
    p.heard = true;
    if (n.ended) {
      p.remoteEnded = true;
      p.remoteStatus = n.waitStatus;
    } else if (n.pid > 1 && p.remotePid <= 0) {
      p.remotePid = n.pid;
      end_.RemoteStarted(i);
    }
    ranks_.LoggedIn(i);
  }
  // A login that takes too long no longer holds the window.
  if (ranks_.LoggingIn() == 0) return;
  const double now = Now();
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (ranks_.At(i).state == kLoggingIn && now - ranks_.At(i).startedAt >= kLoginHold) ranks_.LoggedIn(i);
  }
}

void Run::TakeFatal() {
  int status = shared_.fatalStatus.load();
  if (status == 0 || end_.Ending()) return;
  end_.Fatal(status);
}

void Run::CheckTimeout() {
  if (!checks_.TimeUp(Now())) return;
  // Where every rank is, before they are ended: the run ends once the
  // stacks are in (at most kStacksWait later).
  if (shared_.settings.stacks) {
    AskStacks(true);
  } else {
    end_.Begin(RunEnd::kTimeout, SIGTERM);
  }
}

}  // namespace runloop
