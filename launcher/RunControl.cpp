// Run control: start the run's processes, then one loop over a signal
// descriptor (child ends and tarvo's own signals) and a wake-up descriptor
// (failures and start notices from other threads), with the time limit, the
// kill grace, the remote logins and stuck collective operations as timers.
// Signals are taken synchronously here, never in handlers.
#include "launcher/RunControl.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "launcher/AgentHub.h"
#include "launcher/SyncService.h"

namespace {

// Longest TARVO_KILL_GRACE, and longest TARVO_TIMEOUT (a year).
const double kMaxGrace = 3600.0;
const double kMaxTimeout = 365.0 * 24 * 3600;
const int kMaxSshWindow = 1000;
// A remote shell whose carrier has not reported after this long no longer
// counts as logging in (its notice may be lost, or its carrier may be an
// older one that sends none).
const double kLoginHold = 10.0;
// A request to the synchronisation service may still be on its way when the
// rank that sent it ends: a collective operation counts as stuck only after
// this long.
const double kStuckGrace = 1.0;
// Starts made before the loop looks at its signals again.
const int kStartBatch = 64;

RunSettings settings;
bool initialised = false;
sigset_t controlSignals;
int signalFd = -1;
int wakeFd = -1;
std::atomic<int> fatalStatus{0};
std::mutex noticeMutex;
std::vector<int> noticedRanks;  // guarded by noticeMutex

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Wake() {
  if (wakeFd < 0) return;
  uint64_t one = 1;
  while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EnsureInit() {
  if (initialised) return;
  RunControlInit(settings);
}

// A decimal number of seconds from 0 to `max`, all of the text.
bool ParseSeconds(const char* text, double max, double* out) {
  if (*text == '\0' || *text == '-' || *text == '+' || isspace(static_cast<unsigned char>(*text))) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c)) && *c != '.') return false;
  }
  char* end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 || value > max) return false;
  *out = value;
  return true;
}

bool ParseWhole(const char* text, int max, int* out) {
  if (*text == '\0' || strlen(text) > 9) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c))) return false;
  }
  int value = atoi(text);
  if (value > max) return false;
  *out = value;
  return true;
}

// ALL, NONE, or NAME[,NAME...] where a name is a shell variable's.
bool ParseExport(const char* text, RunSettings* s) {
  if (strcmp(text, "ALL") == 0 || strcmp(text, "NONE") == 0) {
    s->exportMode = text[0] == 'A' ? RunSettings::kExportAll : RunSettings::kExportNone;
    return true;
  }
  s->exportMode = RunSettings::kExportList;
  std::string name;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      if (name.empty() || isdigit(static_cast<unsigned char>(name[0]))) return false;
      s->exportNames.push_back(name);
      name.clear();
      if (*c == '\0') return true;
    } else if (isalnum(static_cast<unsigned char>(*c)) || *c == '_') {
      name += *c;
    } else {
      return false;
    }
  }
}

std::string Malformed(const char* name, const char* value, const char* want) {
  return std::string("ERROR-Control Process: ") + name + "=" + value + " is not " + want + "\n";
}

// "0-3,5,7-8" for the ranks in `ranks` (ascending).
std::string RankList(const std::vector<int>& ranks) {
  std::string text;
  for (size_t i = 0; i < ranks.size();) {
    size_t j = i;
    while (j + 1 < ranks.size() && ranks[j + 1] == ranks[j] + 1) ++j;
    if (!text.empty()) text += ",";
    text += std::to_string(ranks[i]);
    if (j > i) text += "-" + std::to_string(ranks[j]);
    i = j + 1;
  }
  return text;
}

// What a wait status says, for the reports.
std::string Describe(int waitStatus) {
  char text[160];
  if (WIFSIGNALED(waitStatus)) {
    const int sig = WTERMSIG(waitStatus);
    snprintf(text, sizeof text, "was killed by signal %d (%s)", sig, strsignal(sig));
  } else {
    snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(waitStatus));
  }
  return text;
}

int StatusOf(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 0;
}

// One run: the processes, and why and how it is ending.
class Run {
 public:
  Run(std::vector<RankLaunch>& launches, AgentHub* hub) : launches_(launches), procs_(launches.size()), hub_(hub) {
    int maxRank = 0;
    for (const RankLaunch& l : launches) maxRank = std::max(maxRank, l.rank);
    byRank_.assign(static_cast<size_t>(maxRank) + 1, -1);
    for (size_t i = 0; i < launches.size(); ++i) {
      if (!launches[i].agentShell) byRank_[static_cast<size_t>(launches[i].rank)] = static_cast<int>(i);
    }
    if (settings.timeout > 0) deadline_ = Now() + settings.timeout;
  }

  int Loop() {
    for (;;) {
      TakeFatal();
      StartWhatMay();
      if (live_ == 0 && (ending_ || next_ == launches_.size())) break;
      WaitForEvents(WaitMs());
      Reap();
      TakeAgentEvents();
      TakeNotices();
      TakeFatal();
      CheckTimeout();
      CheckStuck();
      CheckKill();
    }
    return Status();
  }

 private:
  enum State { kPending, kLoggingIn, kRunning, kEnded };
  enum Reason { kNone, kRankFailed, kStuck, kTimeout, kSignal, kFatal };
  struct Proc {
    pid_t pid = -1;
    State state = kPending;
    double startedAt = 0;
    double endedAt = 0;
    bool endedByUs = false;
  };

  std::string Who(size_t i) const {
    // An agent's rank whose start has not been reported has no pid yet.
    const std::string pid = procs_[i].pid > 0 ? std::to_string(procs_[i].pid) : "?";
    return "rank " + std::to_string(launches_[i].rank) + " (pid " + pid + " on " + launches_[i].host + ")";
  }

  // A rank that an agent hosts: no process of the launcher's own.
  bool Hosted(size_t i) const { return launches_[i].agent >= 0 && !launches_[i].agentShell; }
  bool Live(size_t i) const { return procs_[i].state == kLoggingIn || procs_[i].state == kRunning; }

  bool WindowFull(size_t i) const {
    return launches_[i].remote && settings.sshWindow > 0 && loggingIn_ >= settings.sshWindow;
  }

  void StartWhatMay() {
    for (int made = 0; !ending_ && next_ < launches_.size() && made < kStartBatch; ++made) {
      if (WindowFull(next_)) return;
      Proc& p = procs_[next_];
      if (Hosted(next_)) {
        // Its agent starts it and reports its pid and its end.
        p.state = kRunning;
        p.startedAt = Now();
        ++live_;
        ++next_;
        continue;
      }
      p.pid = launches_[next_].start ? launches_[next_].start() : -1;
      if (p.pid < 0) {
        // Reported by the spawner: the run ends with the status that such a
        // failure always had.
        p.state = kEnded;
        ++next_;
        BeginEnding(kFatal, SIGTERM);
        fatal_ = 1;
        return;
      }
      p.startedAt = Now();
      if (launches_[next_].agentShell) hub_->ShellStarted(launches_[next_].agent, p.pid);
      p.state = launches_[next_].remote ? kLoggingIn : kRunning;
      if (p.state == kLoggingIn) ++loggingIn_;
      byPid_[p.pid] = next_;
      ++live_;
      ++next_;
    }
  }

  // Milliseconds until the next timer, -1 for none.
  int WaitMs() const {
    const double now = Now();
    double wait = -1;
    auto atMost = [&](double seconds) {
      seconds = std::max(0.0, seconds);
      if (wait < 0 || seconds < wait) wait = seconds;
    };
    if (!ending_ && next_ < launches_.size() && !WindowFull(next_)) atMost(0);
    if (ending_ && !killed_) atMost(killAt_ - now);
    if (!ending_ && deadline_ > 0) atMost(deadline_ - now);
    if (loggingIn_ > 0) {
      for (size_t i = 0; i < next_; ++i) {
        if (procs_[i].state == kLoggingIn) atMost(procs_[i].startedAt + kLoginHold - now);
      }
    }
    if (!ending_ && anyEnded_ && live_ > 0) atMost(stuckSince_ > 0 ? stuckSince_ + kStuckGrace - now : 0.25);
    // A child's end is also looked for now and then: a thread that has
    // SIGCHLD unblocked would take it away from the signal descriptor.
    if (live_ > 0) atMost(1.0);
    if (hub_ != nullptr) {
      const double agents = hub_->NextDeadline(now);
      if (agents >= 0) atMost(agents);
    }
    if (wait < 0) return -1;
    return static_cast<int>(std::ceil(wait * 1000.0));
  }

  void WaitForEvents(int ms) {
    std::vector<pollfd> fds = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (hub_ != nullptr) hub_->Fds(&fds);
    if (poll(fds.data(), fds.size(), ms) <= 0) return;
    if (hub_ != nullptr) hub_->OnReady(fds.data() + 2, fds.size() - 2, Now(), &agentEvents_);
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) OnSignal(info);
    }
  }

  void OnSignal(const signalfd_siginfo& info) {
    const int sig = static_cast<int>(info.ssi_signo);
    if (sig == SIGCHLD) return;  // Reap() follows
    if (sig == SIGUSR1 || sig == SIGUSR2) {
      SignalAll(sig);
      return;
    }
    // SIGINT, SIGTERM, SIGHUP: end the run. A second SIGINT kills at once.
    if (ending_) {
      if (sig == SIGINT) Kill();
      return;
    }
    fprintf(stderr, "tarvo: got signal %d (%s); ending the run\n", sig, strsignal(sig));
    signal_ = sig;
    // The terminal's Ctrl-C has reached every rank of tarvo's process group
    // already: passing it on would make it twice.
    const bool fromTerminal = info.ssi_code == SI_KERNEL;
    BeginEnding(kSignal, fromTerminal ? 0 : sig);
    // Not the agents' ranks, which run in no process group of this terminal.
    if (fromTerminal && hub_ != nullptr) hub_->Signal(sig);
  }

  void SignalAll(int sig) {
    for (size_t i = 0; i < next_; ++i) {
      if (!Live(i) || Hosted(i)) continue;
      // An agent's remote shell is ended only by the last resort: the
      // agent then ends its ranks with itself.
      if (launches_[i].agentShell && sig != SIGKILL) continue;
      kill(procs_[i].pid, sig);
    }
    if (hub_ != nullptr) hub_->Signal(sig);
  }

  // Ends the run: `sig` (0 for none) to every process now, SIGKILL to those
  // left after the grace.
  void BeginEnding(Reason why, int sig) {
    if (ending_) return;
    ending_ = true;
    reason_ = why;
    if (sig != 0) SignalAll(sig);
    killAt_ = Now() + settings.killGrace;
    if (settings.killGrace <= 0) Kill();
  }

  void Kill() {
    SignalAll(SIGKILL);
    killed_ = true;
  }

  void Reap() {
    std::vector<std::pair<size_t, int>> ended;
    for (;;) {
      int ws = 0;
      pid_t pid = waitpid(-1, &ws, WNOHANG);
      if (pid == 0) break;
      if (pid < 0) {
        if (errno == EINTR) continue;
        break;
      }
      auto it = byPid_.find(pid);
      if (it == byPid_.end()) continue;  // not a process of the run (the monitor)
      MarkEnded(it->second);
      if (launches_[it->second].agentShell) {
        hub_->ShellEnded(launches_[it->second].agent, ws, Now(), &agentEvents_);
        continue;
      }
      ended.emplace_back(it->second, ws);
    }
    Ended(ended);
  }

  void MarkEnded(size_t i) {
    Proc& p = procs_[i];
    if (p.state == kLoggingIn) --loggingIn_;
    p.state = kEnded;
    p.endedAt = Now();
    p.endedByUs = ending_;
    --live_;
    if (!launches_[i].agentShell) anyEnded_ = true;
  }

  // Ranks that have ended, with their wait statuses.
  void Ended(const std::vector<std::pair<size_t, int>>& ended) {
    // The whole batch first: ranks that failed together failed on their own.
    std::vector<size_t> failed;
    for (const auto& e : ended) {
      status_ = std::max(status_, StatusOf(e.second));
      if (procs_[e.first].endedByUs || StatusOf(e.second) == 0) continue;
      ownFailure_ = std::max(ownFailure_, StatusOf(e.second));
      failed.push_back(e.first);
    }
    if (failed.empty() || !settings.killOnBadExit || ending_) return;
    for (const auto& e : ended) {
      if (std::find(failed.begin(), failed.end(), e.first) != failed.end()) {
        fprintf(stderr, "tarvo: %s %s; ending the run\n", Who(e.first).c_str(), Describe(e.second).c_str());
      }
    }
    BeginEnding(kRankFailed, SIGTERM);
  }

  // What the agents have reported since the last look.
  void TakeAgentEvents() {
    if (hub_ == nullptr) return;
    hub_->Tick(Now(), &agentEvents_);
    std::vector<AgentEvent> events;
    events.swap(agentEvents_);
    std::vector<std::pair<size_t, int>> ended;
    for (const AgentEvent& e : events) {
      if (e.kind == AgentEvent::kLoggedIn) {
        for (size_t i = 0; i < next_; ++i) {
          if (launches_[i].agentShell && (launches_[i].agent == e.agent || launches_[i].agent < 0) &&
              procs_[i].state == kLoggingIn) {
            procs_[i].state = kRunning;
            --loggingIn_;
          }
        }
        continue;
      }
      if (e.kind == AgentEvent::kLost) {
        Lost(e);
        continue;
      }
      if (e.rank < 0 || static_cast<size_t>(e.rank) >= byRank_.size() || byRank_[static_cast<size_t>(e.rank)] < 0) {
        continue;
      }
      const size_t i = static_cast<size_t>(byRank_[static_cast<size_t>(e.rank)]);
      if (!Hosted(i) || !Live(i)) continue;
      procs_[i].pid = e.pid;
      if (e.kind == AgentEvent::kEnded) {
        MarkEnded(i);
        ended.emplace_back(i, e.waitStatus);
      }
    }
    Ended(ended);
  }

  // An agent that is gone while ranks of it run: they are lost with it.
  void Lost(const AgentEvent& e) {
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
            settings.killOnBadExit ? "; ending the run" : "");
    if (settings.killOnBadExit) BeginEnding(kRankFailed, SIGTERM);
  }

  void TakeNotices() {
    std::vector<int> ranks;
    {
      std::lock_guard<std::mutex> lock(noticeMutex);
      ranks.swap(noticedRanks);
    }
    for (int rank : ranks) {
      if (rank < 0 || static_cast<size_t>(rank) >= byRank_.size() || byRank_[static_cast<size_t>(rank)] < 0) continue;
      Proc& p = procs_[static_cast<size_t>(byRank_[static_cast<size_t>(rank)])];
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

  void TakeFatal() {
    int status = fatalStatus.load();
    if (status == 0 || ending_) return;
    fatal_ = status;
    BeginEnding(kFatal, SIGTERM);
  }

  void CheckTimeout() {
    if (ending_ || deadline_ <= 0 || Now() < deadline_) return;
    fprintf(stderr, "tarvo: the run's time limit of %g s is over; ending the run\n", settings.timeout);
    std::vector<double> waiting;
    SyncWaiting(&waiting);
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
    BeginEnding(kTimeout, SIGTERM);
  }

  // A rank that has ended while others wait in a collective operation that
  // it has not entered: nothing can release them.
  void CheckStuck() {
    if (ending_ || !anyEnded_ || live_ == 0) return;
    std::vector<double> waiting;
    SyncWaiting(&waiting);
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

  void CheckKill() {
    if (ending_ && !killed_ && live_ > 0 && Now() >= killAt_) Kill();
  }

  int Status() const {
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
        return 128 + signal_;
      case kFatal:
        return fatal_;
    }
    return status_;
  }

  std::vector<RankLaunch>& launches_;
  std::vector<Proc> procs_;
  std::vector<int> byRank_;  // rank -> index of its launch
  std::unordered_map<pid_t, size_t> byPid_;
  AgentHub* hub_;
  std::vector<AgentEvent> agentEvents_;
  size_t next_ = 0;   // the next launch to start
  int live_ = 0;      // started and not reaped
  int loggingIn_ = 0;
  bool anyEnded_ = false;
  bool ending_ = false;
  bool killed_ = false;
  double killAt_ = 0;
  double deadline_ = 0;
  double stuckSince_ = -1;
  Reason reason_ = kNone;
  int status_ = 0;       // the highest status of all (a run that ends by itself)
  int ownFailure_ = 0;   // the highest status of the ranks that failed on their own
  int signal_ = 0;
  int fatal_ = 1;
};

}  // namespace

bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* out, std::string* error) {
  RunSettings s;
  const char* v;
  if ((v = lookup("TARVO_KILL_GRACE")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxGrace, &s.killGrace)) {
    *error = Malformed("TARVO_KILL_GRACE", v, "a number of seconds from 0 to 3600");
    return false;
  }
  if ((v = lookup("TARVO_KILL_ON_BAD_EXIT")) != nullptr && *v != '\0') {
    if (strcmp(v, "0") != 0 && strcmp(v, "1") != 0) {
      *error = Malformed("TARVO_KILL_ON_BAD_EXIT", v, "0 or 1");
      return false;
    }
    s.killOnBadExit = v[0] == '1';
  }
  if ((v = lookup("TARVO_TIMEOUT")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxTimeout, &s.timeout)) {
    *error = Malformed("TARVO_TIMEOUT", v, "a number of seconds from 0 (no limit) to 31536000");
    return false;
  }
  if ((v = lookup("TARVO_SSH_WINDOW")) != nullptr && *v != '\0' && !ParseWhole(v, kMaxSshWindow, &s.sshWindow)) {
    *error = Malformed("TARVO_SSH_WINDOW", v, "a whole number from 0 (no limit) to 1000");
    return false;
  }
  if ((v = lookup("TARVO_LAUNCH")) != nullptr && *v != '\0') {
    if (strcmp(v, "rank") != 0 && strcmp(v, "host") != 0 && strcmp(v, "slurm") != 0) {
      *error = Malformed("TARVO_LAUNCH", v, "rank, host or slurm");
      return false;
    }
    s.launch = v[0] == 'h' ? RunSettings::kLaunchHost : v[0] == 's' ? RunSettings::kLaunchSlurm : RunSettings::kLaunchRank;
  }
  if ((v = lookup("TARVO_EXPORT")) != nullptr && *v != '\0' && !ParseExport(v, &s)) {
    *error = Malformed("TARVO_EXPORT", v, "ALL, NONE or a comma-separated list of variable names");
    return false;
  }
  *out = s;
  return true;
}

void RunControlInit(const RunSettings& s) {
  settings = s;
  if (initialised) return;
  sigemptyset(&controlSignals);
  for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&controlSignals, sig);
  pthread_sigmask(SIG_BLOCK, &controlSignals, nullptr);
  signalFd = signalfd(-1, &controlSignals, SFD_NONBLOCK | SFD_CLOEXEC);
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  initialised = true;
}

const RunSettings& RunControlSettings() { return settings; }

const sigset_t& RunControlSignals() {
  EnsureInit();
  return controlSignals;
}

int RunControlRun(std::vector<RankLaunch>& launches, AgentHub* hub) {
  EnsureInit();
  Run run(launches, hub);
  return run.Loop();
}

void RunControlFatal(int status) {
  int none = 0;
  fatalStatus.compare_exchange_strong(none, status == 0 ? 1 : status);
  Wake();
}

int RunControlFatalStatus() { return fatalStatus.load(); }

void RunControlStarted(int rank) {
  {
    std::lock_guard<std::mutex> lock(noticeMutex);
    noticedRanks.push_back(rank);
  }
  Wake();
}
