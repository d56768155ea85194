#include "agent/agent_loop.h"

#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/child_io.h"
#include "common/line_labels.h"
#include "common/rank_exec.h"

void AgentReport(const std::string& host, const char* what, const char* detail) {
  fprintf(stderr, "tarvo: agent on %s: %s%s%s\n", host.c_str(), what, detail[0] ? ": " : "", detail);
}

Agent::Agent(int link, int signals, bool slurm, std::string host, std::string self)
    : slurm_(slurm), host_(std::move(host)), link_(link), signals_(signals), stacks_(std::move(self)) {
  RaiseDescriptorLimit();
}

int Agent::Loop() {
  for (;;) {
    if (allSent_ && ranks_.empty() && streams_.empty() && held_.empty()) return 0;
    std::vector<pollfd> fds = {{link_, POLLIN, 0}, {signals_, POLLIN, 0}, {outputs_.Fd(), POLLIN, 0}};
    for (int fd : unwatched_) fds.push_back({fd, POLLIN, 0});
    const size_t pmiAt = fds.size();
    if (job_ != nullptr) job_->pmi.Fds(&fds);
    const size_t pmixAt = fds.size();
    if (job_ != nullptr) job_->pmix.Fds(&fds);
    const size_t stacksAt = fds.size();
    if (stacks_.Fd() >= 0) fds.push_back({stacks_.Fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), stacks_.PollMs()) < 0) {
      if (errno == EINTR) continue;
      return Abandon("poll", strerror(errno));
    }
    // Children are waited for when one has ended: a wait looks at every
    // child of the agent, and a pass for a line of output need not.
    bool childEnded = false;
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGCHLD) return Abandon("ended by signal", strsignal(static_cast<int>(info.ssi_signo)));
        childEnded = true;
      }
    }
    // A rank's abort goes out before its end.
    TakeServed(fds.data() + pmiAt, pmixAt - pmiAt, stacksAt - pmixAt);
    std::string stacks;
    stacks_.Take(&stacks);
    Tell(stacks);
    if (fds[2].revents != 0) DrainReady();
    for (size_t i = 3; i < pmiAt; ++i) {
      if (fds[i].revents != 0) Drain(fds[i].fd);
    }
    // Output before the end: a rank's last lines precede its report.
    if ((childEnded && !Reap()) || lost_) return Abandon("the connection to the launcher is lost", "");
    if (fds[0].revents != 0 && !ReadLink()) return 1;
    if (!refusal_.empty()) return Abandon(refusal_.c_str(), "");
  }
}

// The lifeline: without the launcher the run is over.
int Agent::Abandon(const char* what, const char* detail) {
  for (const auto& r : ranks_) SignalGroup(r.first, SIGKILL);
  AgentReport(host_, what, detail);
  return 1;
}

// What the ranks' PMI-1 and PMIx servers have to say: `pmiCount` and
// `pmixCount` descriptors from `fds`, as their Fds put them.
void Agent::TakeServed(pollfd* fds, size_t pmiCount, size_t pmixCount) {
  if (job_ == nullptr) return;
  std::string toLauncher;
  job_->pmi.OnReady(fds, pmiCount, &toLauncher);
  job_->pmix.OnReady(fds + pmiCount, pmixCount, &toLauncher);
  Tell(toLauncher);
}

// The same, whatever the last poll saw: a rank's abort is posted before
// the rank may exit, so once its end is reaped, its abort is among these.
void Agent::TakeServedNow() {
  if (job_ == nullptr) return;
  std::vector<pollfd> fds;
  job_->pmi.Fds(&fds);
  const size_t pmiCount = fds.size();
  job_->pmix.Fds(&fds);
  if (poll(fds.data(), fds.size(), 0) > 0) TakeServed(fds.data(), pmiCount, fds.size() - pmiCount);
}

void Agent::Tell(const std::string& bytes) {
  if (!bytes.empty() && !AgentSendAll(link_, bytes)) lost_ = true;
}

bool Agent::ReadLink() {
  char buffer[65536];
  ssize_t n = recv(link_, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    // A launcher that ends its run on purpose has already ended every
    // rank here; otherwise the lifeline is cut.
    Abandon("the connection to the launcher is lost", "");
    return false;
  }
  std::vector<AgentMessage> messages;
  const bool framed = reader_.Feed(buffer, static_cast<size_t>(n), &messages);
  for (const AgentMessage& m : messages) {
    AgentOrder order;
    if (!AgentReadOrder(m, &order)) framedOk_ = false;
    if (!framedOk_) break;
    Obey(order);
  }
  if (!framed || !framedOk_) {
    Abandon("a malformed message from the launcher", "");
    return false;
  }
  return true;
}

// A rank's output stream, from its start: outputs_ reports it when it has
// something; one that the set does not take is polled on each pass.
void Agent::Watch(int fd) {
  epoll_data_t key{};
  key.fd = fd;
  if (!outputs_.Add(fd, key)) unwatched_.push_back(fd);
}

// Every stream that has something, as a poll of them all would have it: a
// pass of the loop costs more than a wait. Bounded by the streams' count,
// since one that is read again at once may be ready again.
void Agent::DrainReady() {
  epoll_data_t ready[64];
  for (size_t rounds = streams_.size() / 64 + 1; rounds > 0; --rounds) {
    const int n = outputs_.Wait(ready, 64, 0);
    for (int k = 0; k < n; ++k) {
      if (streams_.count(ready[k].fd) != 0) Drain(ready[k].fd);
    }
    if (n < 64) return;
  }
}

void Agent::Drain(int fd) {
  Stream& s = streams_[fd];
  char buffer[65536];
  std::string text;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      SplitRest(s.label, &s.partial, &text);
      ChildWrite(s.to, text);
      outputs_.Remove(fd);
      unwatched_.erase(std::remove(unwatched_.begin(), unwatched_.end(), fd), unwatched_.end());
      close(fd);
      streams_.erase(fd);
      return;
    }
    SplitLines(s.label, buffer, static_cast<size_t>(n), &s.partial, &text);
  }
  ChildWrite(s.to, text);
}

// False when the launcher can no longer be told.
bool Agent::Reap() {
  bool taken = false;
  for (;;) {
    int ws = 0;
    pid_t pid = waitpid(-1, &ws, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) break;
    auto it = ranks_.find(pid);
    if (it == ranks_.end()) continue;
    if (!taken) TakeServedNow();
    taken = true;
    const AgentProc proc = it->second;
    ranks_.erase(it);
    Ended(pid, proc, ws);
  }
  return !lost_;
}

// A process of the agent's has ended: its output, what its servers say of
// it, then its end.
void Agent::Ended(pid_t pid, AgentProc proc, int waitStatus) {
  kill(-pid, SIGKILL);  // nothing of the rank outlives it
  // The rank's output pipes hold its last lines: they go out first.
  // A descriptor that has ended since may now be another rank's.
  for (int fd : proc.out) {
    auto s = streams_.find(fd);
    if (s != streams_.end() && s->second.rank == proc.rank && s->second.job == proc.job) Drain(fd);
  }
  std::string toLauncher;
  if (proc.job == 0) {
    job_->pmi.RankEnded(proc.rank, &toLauncher);
    job_->pmix.RankEnded(proc.rank, &toLauncher);
  } else {
    job_->pmix.ChildEnded(proc.job, proc.rank, &toLauncher);
    job_->pmi.ChildEnded(proc.job, proc.rank, &toLauncher);
  }
  Tell(toLauncher);
  Tell(EndFrame(proc.job, proc.rank, pid, waitStatus));
}

std::string Agent::EndFrame(int job, int rank, pid_t pid, int waitStatus) {
  if (job == 0) {
    AgentRankEnd end{rank, pid, waitStatus};
    return AgentEncode(kAgentEnded, &end, sizeof end);
  }
  AgentJobRank end{job, rank, pid, waitStatus};
  return AgentEncode(kAgentJobEnded, &end, sizeof end);
}
