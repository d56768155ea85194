// Where every rank is: the run control's gathering of the ranks' call
// stacks, at the time limit (before the ranks are ended) and on SIGQUIT.
// tarvo's own ranks, and the processes that they spawned (jobs 1, 2, ...),
// are read by `tarvo-agent --stacks`, a child whose answer comes through a
// pipe that the loop polls; each agent reads its own and answers with one
// frame. A host that has not answered within kStacksWait is named and left
// out.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "common/process_start.h"
#include "launcher/run/RunLoop.h"
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

RankStack Run::Named(int index) const {
  RankStack s;
  s.job = launches_[static_cast<size_t>(index)].job;
  s.rank = launches_[static_cast<size_t>(index)].rank;
  return s;
}

void Run::BeginStacks(bool forTimeout) {
  if (gather_.active) {
    gather_.forTimeout = gather_.forTimeout || forTimeout;
    return;
  }
  gather_ = StackGather();
  const int samples = shared_.settings.stackSamples;
  // The readers know each process by its launch's index: a spawned job's
  // ranks count from 0 again.
  std::vector<std::pair<int, pid_t>> local;
  std::map<std::string, std::vector<std::pair<int, pid_t>>> remote;  // host -> its per-rank remote ranks
  for (size_t i = 0; i < next_; ++i) {
    if (!Live(i) || Hosted(i) || launches_[i].agentShell) continue;
    if (!PerRankRemote(i)) {
      if (procs_[i].pid > 0) local.emplace_back(static_cast<int>(i), procs_[i].pid);
    } else if (procs_[i].remotePid > 0 && remote_ != nullptr && remote_->Ready()) {
      remote[launches_[i].host].emplace_back(static_cast<int>(i), procs_[i].remotePid);
    } else {
      RankStack s = Named(static_cast<int>(i));
      s.why = "its start on its host has not been reported";
      gather_.stacks.push_back(s);
    }
  }
  auto start = [&](const std::string& host, const std::vector<std::pair<int, pid_t>>& asked) {
    StackGather::Reader r;
    r.host = host;
    r.asked = asked;
    // Per-rank remote shells: the same reader on the rank's host, through
    // the remote shell, as carrier reported the program's pid there.
    r.pid = host.empty() ? StackReaderStart(AgentProgram(), asked, samples, &r.fd)
                         : remote_->ReadStacks(host, asked, samples, &r.fd);
    if (r.pid < 0) {
      const std::string why = std::string("tarvo-agent --stacks could not be started") +
                              (host.empty() ? std::string(": ") + strerror(errno) : " through the remote shell");
      for (const auto& a : asked) {
        RankStack s = Named(a.first);
        s.why = why;
        gather_.stacks.push_back(s);
      }
      return;
    }
    gather_.readers.push_back(std::move(r));
  };
  if (!local.empty()) start("", local);
  for (const auto& h : remote) start(h.first, h.second);
  if (hub_ != nullptr) gather_.agents = hub_->AskStacks(samples);
  gather_.active = true;
  gather_.forTimeout = forTimeout;
  gather_.until = Now() + (remote.empty() ? kStacksWait : kStacksRemoteWait);
  TakeStacks();
}

void Run::TakeRead(const std::vector<RankStack>& read, bool whole, const std::vector<std::pair<int, pid_t>>& asked) {
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
      gather_.stacks.push_back(named);
    }
    if (threads.empty()) {
      RankStack named = Named(r.first);
      named.why = whole ? "tarvo-agent --stacks said nothing of it" : "tarvo-agent --stacks answered garbled";
      gather_.stacks.push_back(named);
    }
  }
}

void Run::TakeAgentStacks(const AgentEvent& e) {
  auto it = std::find(gather_.agents.begin(), gather_.agents.end(), e.agent);
  if (!gather_.active || it == gather_.agents.end()) return;  // late, or not asked
  gather_.agents.erase(it);
  gather_.stacks.insert(gather_.stacks.end(), e.stacks.begin(), e.stacks.end());
}

void Run::TakeStacks() {
  if (!gather_.active) return;
  for (StackGather::Reader& r : gather_.readers) {
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
  const bool reading = std::any_of(gather_.readers.begin(), gather_.readers.end(),
                                   [](const StackGather::Reader& r) { return r.fd >= 0; });
  const bool over = live_ == 0 || Now() >= gather_.until;
  if (!over && (reading || !gather_.agents.empty())) return;
  for (StackGather::Reader& r : gather_.readers) {
    if (r.fd < 0) continue;
    // Reaped with the run's other children by Reap (a remote shell's
    // group: its command ends with it).
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
  for (int agent : gather_.agents) {
    fprintf(stderr, "tarvo: the agent on %s did not send its ranks' call stacks within %g s; they are left out\n",
            hub_->Host(agent).c_str(), kStacksWait);
  }
  std::sort(gather_.stacks.begin(), gather_.stacks.end(),
            [](const RankStack& a, const RankStack& b) {
              return std::make_pair(a.job, a.rank) < std::make_pair(b.job, b.rank);
            });
  if (!gather_.stacks.empty()) {
    const RunSettings& settings = shared_.settings;
    for (const std::string& line : StackReport(gather_.stacks, settings.stackSamples == 2)) fputs(line.c_str(), stderr);
    if (!settings.stacksDot.empty()) WriteGraph(settings.stacksDot, StackGraph(gather_.stacks));
  }
  gather_.active = false;
  gather_.stacks.clear();
  if (gather_.forTimeout) BeginEnding(kTimeout, SIGTERM);
}

}  // namespace runloop
