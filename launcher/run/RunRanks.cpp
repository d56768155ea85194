#include "launcher/run/RunRanks.h"

#include <algorithm>

namespace runloop {

RunRanks::RunRanks(std::vector<RankLaunch>& launches) : launches_(launches), procs_(launches.size()) {
  int maxRank = 0;
  for (const RankLaunch& l : launches) maxRank = std::max(maxRank, l.rank);
  byRank_.assign(static_cast<size_t>(maxRank) + 1, -1);
  for (size_t i = 0; i < launches.size(); ++i) {
    if (!launches[i].agentShell && launches[i].job == 0) byRank_[static_cast<size_t>(launches[i].rank)] = static_cast<int>(i);
  }
}

std::string RunRanks::Who(size_t i) const {
  // An agent's rank whose start has not been reported has no pid yet.
  const std::string pid = procs_[i].pid > 0 ? std::to_string(procs_[i].pid) : "?";
  const std::string job = launches_[i].job > 0 ? "job " + std::to_string(launches_[i].job) + " " : "";
  return job + "rank " + std::to_string(launches_[i].rank) + " (pid " + pid + " on " + launches_[i].host + ")";
}

int RunRanks::IndexOf(int job, int rank) const {
  if (job == 0) return rank >= 0 && static_cast<size_t>(rank) < byRank_.size() ? byRank_[static_cast<size_t>(rank)] : -1;
  auto at = spawnedAt_.find({job, rank});
  return at == spawnedAt_.end() ? -1 : static_cast<int>(at->second);
}

int RunRanks::OfPid(pid_t pid) const {
  auto it = byPid_.find(pid);
  return it == byPid_.end() ? -1 : static_cast<int>(it->second);
}

size_t RunRanks::JobSize(int job) const {
  if (job == 0) return byRank_.size();
  size_t size = 0;
  for (const auto& s : spawnedAt_) size += s.first.first == job ? 1 : 0;
  return size;
}

int RunRanks::Running() const {
  int running = 0;
  for (size_t i = 0; i < procs_.size(); ++i) running += procs_[i].state != kEnded && !launches_[i].agentShell ? 1 : 0;
  return running;
}

void RunRanks::StartedNext(pid_t pid, double now) {
  Proc& p = procs_[next_];
  if (Hosted(next_)) {
    // Its agent starts it and reports its pid and its end.
    p.state = kRunning;
    p.startedAt = now;
    ++live_;
    ++next_;
    return;
  }
  p.pid = pid;
  if (pid < 0) {
    p.state = kEnded;
    ++next_;
    return;
  }
  p.startedAt = now;
  p.state = launches_[next_].remote ? kLoggingIn : kRunning;
  if (p.state == kLoggingIn) ++loggingIn_;
  byPid_[pid] = next_;
  ++live_;
  ++next_;
}

void RunRanks::LoggedIn(size_t i) {
  if (procs_[i].state != kLoggingIn) return;
  procs_[i].state = kRunning;
  --loggingIn_;
}

void RunRanks::MarkEnded(size_t i, bool byUs) {
  Proc& p = procs_[i];
  if (p.state == kLoggingIn) --loggingIn_;
  p.state = kEnded;
  p.endedByUs = byUs;
  --live_;
  if (!launches_[i].agentShell) anyEnded_ = true;
}

size_t RunRanks::Add(RankLaunch launch) {
  const size_t at = launches_.size();
  spawnedAt_[{launch.job, launch.rank}] = at;
  launches_.push_back(std::move(launch));
  procs_.emplace_back();
  return at;
}

void RunRanks::Forget(int job) {
  size_t from = launches_.size(), count = 0;
  for (size_t i = next_; i < launches_.size(); ++i) {
    if (launches_[i].job != job) continue;
    from = std::min(from, i);
    ++count;
  }
  if (count == 0) return;
  launches_.erase(launches_.begin() + static_cast<long>(from), launches_.begin() + static_cast<long>(from + count));
  procs_.erase(procs_.begin() + static_cast<long>(from), procs_.begin() + static_cast<long>(from + count));
  for (auto s = spawnedAt_.begin(); s != spawnedAt_.end();) {
    if (s->first.first == job) {
      s = spawnedAt_.erase(s);
      continue;
    }
    if (s->second >= from + count) s->second -= count;
    ++s;
  }
}

}  // namespace runloop
