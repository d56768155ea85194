// What per-rank remote shells need beyond their start: a signal passed on to
// the ranks' programs on their hosts, and a remote shell that cannot be
// started said once, in words a new user can act on.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/carrier_exec.h"
#include "common/process_start.h"
#include "common/stack_wire.h"
#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Executor.h"
#include "launcher/spawn/RemoteSignals.h"

namespace spawn {

namespace {

// The far side's kill takes a name, or the number of any other signal
// (TARVO_TIMEOUT_SIGNAL's).
std::string SignalName(int sig) {
  switch (sig) {
    case SIGINT: return "INT";
    case SIGTERM: return "TERM";
    case SIGHUP: return "HUP";
    case SIGUSR1: return "USR1";
    case SIGUSR2: return "USR2";
    case SIGKILL: return "KILL";
    default: return std::to_string(sig);
  }
}

}  // namespace

std::vector<std::string> ShellWords(const ExecPlan& plan) {
  return std::vector<std::string>(plan.vector.begin(), plan.vector.begin() + static_cast<long>(plan.shellWords));
}

void RemoteSignals::RemoteCommand(const std::string& host, const std::vector<std::string>& words,
                                  ExecPlan* plan) const {
  plan->remote = true;
  plan->ownGroup = true;
  plan->file = shell_[0];
  plan->shellWords = shell_.size();
  plan->vector = shell_;
  plan->vector.push_back(host);
  plan->vector.insert(plan->vector.end(), words.begin(), words.end());
  plan->vector.push_back("2>/dev/null");
  plan->SealArgv();
  for (int fd : closeFds_) AddClose(plan, fd);
}

bool RemoteSignals::Ready() const { return !shell_.empty(); }

void RemoteSignals::Signal(const std::string& host, int sig, const std::vector<pid_t>& groups) {
  std::vector<std::string> words = {"kill", "-s", SignalName(sig), "--"};
  for (pid_t g : groups) words.push_back("-" + std::to_string(g));
  ExecPlan plan;
  RemoteCommand(host, words, &plan);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  plan.stdFds[0] = plan.stdFds[1] = devNull;
  StartPlan(plan, ForkReport{nullptr, 0});
  if (devNull >= 0) close(devNull);
}

pid_t RemoteSignals::ReadStacks(const std::string& host, const std::vector<std::pair<int, pid_t>>& ranks, int samples,
                                int* readFd) {
  if (shell_.empty()) return -1;
  return StartReading(host, StackReaderWords("tarvo-agent", ranks, samples), readFd);
}

pid_t RemoteSignals::StartReading(const std::string& host, const std::vector<std::string>& words, int* readFd) const {
  ExecPlan plan;
  RemoteCommand(host, words, &plan);
  return ProcessStartReading(
      [&](int out) {
        const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        plan.stdFds[0] = devNull;
        plan.stdFds[1] = out;
        const pid_t pid = StartPlan(plan, ForkReport{nullptr, 0});
        if (devNull >= 0) close(devNull);
        return pid;
      },
      true, readFd);
}

void SayIfNoRemoteShell(const RunSettings& settings, const std::string& shell) {
  if (shell.find('/') != std::string::npos) {
    struct stat st;
    if (stat(shell.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(shell.c_str(), X_OK) == 0) return;
    fprintf(stderr, "tarvo: cannot start the remote shell %s: it is not an executable file\n", shell.c_str());
    fflush(stderr);
    return;
  }
  char found[PATH_MAX];
  if (CarrierOnPath(shell.c_str(), nullptr, getenv("PATH"), found, sizeof found)) return;
  fprintf(stderr, "tarvo: cannot start the remote shell %s: it is not on the PATH%s\n", shell.c_str(),
          shell == "rsh" && settings.rsh.empty() ? " (-ssh chooses ssh)" : "");
  fflush(stderr);
}

}  // namespace spawn
