// TARVO_GPUS_PER_RANK with per-rank remote shells: each remote host tells
// its topology through the remote shell before any rank starts, so that a
// host without a GPU refuses the run before its ranks fail one by one, and
// the dry run maps each host as its ranks would be placed there.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "launcher/context/RunContext.h"
#include "launcher/run/ReportText.h"
#include "launcher/spawn/RankFiles.h"
#include "launcher/spawn/RemoteSignals.h"

namespace spawn {
namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One host's question: its remote shell, the pipe of its answer.
struct Ask {
  std::string host;
  pid_t pid = -1;
  int fd = -1;
  double started = 0;
  std::string text;
  int waitStatus = 0;
  bool ended = false;
};

void Close(Ask* a) {
  if (a->fd >= 0) close(a->fd);
  a->fd = -1;
}

// Ends a question that is still out, its remote shell's whole group.
void Abandon(Ask* a) {
  Close(a);
  if (a->pid <= 0 || a->ended) return;
  kill(-a->pid, SIGKILL);
  while (waitpid(a->pid, &a->waitStatus, 0) < 0 && errno == EINTR) {
  }
  a->ended = true;
}

// Reads what the pipe has; reaps the shell once its answer is whole.
void Take(Ask* a) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = a->fd >= 0 ? read(a->fd, buffer, sizeof buffer) : 0;
    if (got > 0 && a->text.size() < (1u << 20)) a->text.append(buffer, static_cast<size_t>(got));
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) Close(a);
    break;
  }
  if (a->fd < 0 && !a->ended && waitpid(a->pid, &a->waitStatus, WNOHANG) == a->pid) a->ended = true;
}

// Why `a` told nothing usable, or "".
std::string Untold(const Ask& a, HostTopology* topology) {
  if (a.pid <= 0) return "its remote shell could not start";
  const bool exited = WIFEXITED(a.waitStatus) && WEXITSTATUS(a.waitStatus) == 0;
  if (exited && TopologyRead(a.text, topology) && !topology->units.empty()) return "";
  return exited ? "tarvo-agent --topology told no units" : "its remote shell " + runloop::Describe(a.waitStatus);
}

}  // namespace

int AskRemoteTopologies(const RunSettings& s, const std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                        std::map<std::string, HostTopology>* topologies, std::vector<const HostTopology*>* told) {
  std::vector<Ask> asks;
  std::map<std::string, size_t> index;
  const ExecPlan* shell = nullptr;
  for (size_t r = 0; r < plans.size(); ++r) {
    if (!plans[r].remote || index.count(hosts[r]) != 0) continue;
    shell = shell != nullptr ? shell : &plans[r];
    index[hosts[r]] = asks.size();
    asks.emplace_back();
    asks.back().host = hosts[r];
  }
  if (shell == nullptr) return 0;
  const RemoteSignals remote(ShellWords(*shell), std::vector<int>(shell->closeFds, shell->closeFds + shell->closeCount));
  const std::vector<std::string> words{"tarvo-agent", "--topology", RankBindName(s.dryRun ? DryRunLevel(s) : s.bind),
                                       "1"};
  // As many at once as TARVO_SSH_WINDOW lets log in, each within
  // TARVO_LOGIN_TIMEOUT; the first that cannot tell ends all the others.
  const size_t window = s.sshWindow > 0 ? static_cast<size_t>(s.sshWindow) : asks.size();
  std::vector<Ask*> out;
  size_t next = 0;
  std::string failure;
  int status = 0;
  while (failure.empty() && (next < asks.size() || !out.empty())) {
    for (; next < asks.size() && out.size() < window; ++next) {
      Ask& a = asks[next];
      fflush(stdout);
      fflush(stderr);
      a.pid = remote.StartReading(a.host, words, &a.fd);
      a.started = Now();
      a.ended = a.pid <= 0;
      out.push_back(&a);
    }
    std::vector<pollfd> fds;
    for (Ask* a : out) {
      if (a->fd >= 0) fds.push_back(pollfd{a->fd, POLLIN, 0});
    }
    // A shell whose answer is whole is reaped at a later look.
    poll(fds.data(), fds.size(), 50);
    for (size_t k = 0; k < out.size() && failure.empty();) {
      Ask* a = out[k];
      Take(a);
      if (!a->ended && Now() - a->started < s.loginTimeout) {
        ++k;
        continue;
      }
      if (!a->ended) {
        Abandon(a);
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%g", s.loginTimeout);
        failure = "tarvo: the remote shell to " + a->host + " has not told its host's topology within " + seconds +
                  " s (TARVO_LOGIN_TIMEOUT); ending the run\n";
        status = 255;
        break;
      }
      const std::string why = Untold(*a, &(*topologies)[a->host]);
      if (!why.empty()) {
        failure = "tarvo: " + a->host + " cannot tell its topology before any rank started: " + why +
                  "; ending the run\n";
        const bool failed = a->pid > 0 && WIFEXITED(a->waitStatus) && WEXITSTATUS(a->waitStatus) != 0;
        status = failed ? WEXITSTATUS(a->waitStatus) : 255;
      }
      out.erase(out.begin() + static_cast<long>(k));
    }
  }
  for (Ask& a : asks) Abandon(&a);
  if (!failure.empty()) {
    fputs(failure.c_str(), stderr);
    fflush(stderr);
    return status;
  }
  told->assign(hosts.size(), nullptr);
  for (size_t r = 0; r < plans.size(); ++r) {
    if (plans[r].remote) (*told)[r] = &(*topologies)[hosts[r]];
  }
  if (s.dryRun) return 0;
  const std::string refusal = GpuRefusal(s, hosts, *told);
  return refusal.empty() ? 0 : RefuseRun(refusal);
}

}  // namespace spawn
