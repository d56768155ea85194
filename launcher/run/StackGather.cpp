#include "launcher/run/StackGather.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "common/process_start.h"
#include "common/stack_wire.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/StackReport.h"

namespace runloop {

namespace {

// TARVO_STACKS_DOT: the tree as a graph, replacing the file's last one. A
// file that cannot be written costs one line; the text tree is out already.
void WriteGraph(const std::string& path, const std::string& graph) {
  auto say = [&](int err) {
    fprintf(stderr, "tarvo: cannot write the call stacks' graph to %s (TARVO_STACKS_DOT): %s\n", path.c_str(),
            strerror(err));
  };
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    say(errno);
    return;
  }
  const bool wrote = fwrite(graph.data(), 1, graph.size(), f) == graph.size();
  const int err = errno;
  if (fclose(f) != 0 || !wrote) say(wrote ? errno : err);
}

}  // namespace

StackGather::StackGather(const RunSettings& settings, AgentHub* hub, RemoteSignaller* remote)
    : settings_(settings), hub_(hub), remote_(remote) {}

RankStack StackGather::Named(int index) const {
  RankStack s;
  const auto name = names_.find(index);
  if (name != names_.end()) {
    s.job = name->second.first;
    s.rank = name->second.second;
  }
  return s;
}

bool StackGather::Begin(const std::vector<StackTarget>& targets, bool forTimeout, bool noneLive) {
  if (active_) {
    forTimeout_ = forTimeout_ || forTimeout;
    return false;
  }
  readers_.clear();
  agents_.clear();
  stacks_.clear();
  names_.clear();
  std::vector<std::pair<int, pid_t>> local;
  std::map<std::string, std::vector<std::pair<int, pid_t>>> remote;  // host -> its per-rank remote ranks
  for (const StackTarget& t : targets) {
    names_[t.index] = {t.job, t.rank};
    if (!t.why.empty()) {
      RankStack s = Named(t.index);
      s.why = t.why;
      stacks_.push_back(s);
    } else if (t.host.empty()) {
      local.emplace_back(t.index, t.pid);
    } else {
      remote[t.host].emplace_back(t.index, t.pid);
    }
  }
  if (!local.empty()) Start("", local);
  for (const auto& h : remote) Start(h.first, h.second);
  if (hub_ != nullptr) agents_ = hub_->AskStacks(settings_.stackSamples);
  active_ = true;
  forTimeout_ = forTimeout;
  until_ = RunControlNow() + (remote.empty() ? kStacksWait : kStacksRemoteWait);
  return Take(noneLive);
}

void StackGather::Start(const std::string& host, const std::vector<std::pair<int, pid_t>>& asked) {
  Reader r;
  r.host = host;
  r.asked = asked;
  // Per-rank remote shells: the same reader on the rank's host, through
  // the remote shell, as carrier reported the program's pid there.
  const int samples = settings_.stackSamples;
  r.pid = host.empty() ? StackReaderStart(AgentProgram(), asked, samples, &r.fd)
                       : remote_->ReadStacks(host, asked, samples, &r.fd);
  if (r.pid < 0) {
    const std::string why = std::string("tarvo-agent --stacks could not be started") +
                            (host.empty() ? std::string(": ") + strerror(errno) : " through the remote shell");
    for (const auto& a : asked) {
      RankStack s = Named(a.first);
      s.why = why;
      stacks_.push_back(s);
    }
    return;
  }
  readers_.push_back(std::move(r));
}

void StackGather::Fds(std::vector<pollfd>* fds) const {
  for (const Reader& r : readers_) {
    if (r.fd >= 0) fds->push_back({r.fd, POLLIN, 0});
  }
}

void StackGather::TakeRead(const std::vector<RankStack>& read, bool whole,
                           const std::vector<std::pair<int, pid_t>>& asked) {
  // A path per thread of each process asked (known by its launch's index),
  // each thread once; `why` for a process that the reader did not name.
  for (const auto& r : asked) {
    std::set<int> threads;
    for (const RankStack& s : read) {
      if (s.rank != r.first || !threads.insert(s.thread).second) continue;
      RankStack named = Named(r.first);
      named.thread = s.thread;
      named.moved = s.moved;
      named.frames = s.frames;
      named.why = s.why;
      stacks_.push_back(named);
    }
    if (threads.empty()) {
      RankStack named = Named(r.first);
      named.why = whole ? "tarvo-agent --stacks said nothing of it" : "tarvo-agent --stacks answered garbled";
      stacks_.push_back(named);
    }
  }
}

void StackGather::AgentAnswered(int agent, const std::vector<RankStack>& stacks) {
  auto it = std::find(agents_.begin(), agents_.end(), agent);
  if (!active_ || it == agents_.end()) return;  // late, or not asked
  agents_.erase(it);
  stacks_.insert(stacks_.end(), stacks.begin(), stacks.end());
}

void StackGather::AgentLost(int agent) { agents_.erase(std::remove(agents_.begin(), agents_.end(), agent), agents_.end()); }

bool StackGather::Take(bool noneLive) {
  if (!active_) return false;
  for (Reader& r : readers_) {
    while (r.fd >= 0) {
      char buffer[65536];
      const ssize_t got = read(r.fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) break;  // nothing more for now
      if (got > 0 && r.bytes.size() < static_cast<size_t>(kAgentMaxPayload)) {
        r.bytes.append(buffer, static_cast<size_t>(got));
        continue;
      }
      if (got > 0) continue;  // beyond any answer's size: read on to its end, keep nothing
      close(r.fd);
      r.fd = -1;
      std::vector<RankStack> read;
      const bool whole = StackDecode(r.bytes, &read);
      TakeRead(read, whole, r.asked);
    }
  }
  const bool reading = std::any_of(readers_.begin(), readers_.end(), [](const Reader& r) { return r.fd >= 0; });
  const bool over = noneLive || RunControlNow() >= until_;
  if (!over && (reading || !agents_.empty())) return false;
  return Finish();
}

// The hosts that have not answered are named and left out, the report is
// printed, and the gathering ends.
bool StackGather::Finish() {
  for (Reader& r : readers_) {
    if (r.fd < 0) continue;
    // Reaped with the run's other children by the run loop (a remote
    // shell's group: its command ends with it).
    if (r.host.empty()) {
      kill(r.pid, SIGKILL);
    } else {
      kill(-r.pid, SIGKILL);
    }
    close(r.fd);
    r.fd = -1;
    if (r.host.empty()) {
      fprintf(stderr, "tarvo: the call stacks of this host's ranks were not read within %g s; they are left out\n",
              kStacksWait);
    } else {
      fprintf(stderr, "tarvo: the call stacks of the ranks on %s were not read within %g s; they are left out\n",
              r.host.c_str(), kStacksRemoteWait);
    }
  }
  for (int agent : agents_) {
    fprintf(stderr, "tarvo: the agent on %s did not send its ranks' call stacks within %g s; they are left out\n",
            hub_->Host(agent).c_str(), kStacksWait);
  }
  std::sort(stacks_.begin(), stacks_.end(), [](const RankStack& a, const RankStack& b) {
    return std::make_pair(a.job, a.rank) < std::make_pair(b.job, b.rank);
  });
  if (!stacks_.empty()) {
    for (const std::string& line : StackReport(stacks_, settings_.stackSamples == 2)) fputs(line.c_str(), stderr);
    if (!settings_.stacksDot.empty()) WriteGraph(settings_.stacksDot, StackGraph(stacks_));
  }
  active_ = false;
  stacks_.clear();
  return forTimeout_;
}

}  // namespace runloop
