// Run control: start the run's processes, then one loop over a signal
// descriptor (child ends and tarvo's own signals) and a wake-up descriptor
// (failures and start notices from other threads), with the time limit, the
// kill grace, the remote logins and stuck collective operations as timers.
// Signals are taken synchronously here, never in handlers. The reaping of
// the processes is RunReaping.cpp's, what other threads and the agents
// report RunReports.cpp's.
#include "launcher/run/RunControl.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/signal_mask.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/Mpir.h"
#include "launcher/run/RunLoop.h"

namespace runloop {

Run::Run(SharedState& shared, std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi, JobStarter* starter,
         RemoteSignaller* remote)
    : shared_(shared), hub_(hub), remote_(remote), ranks_(launches),
      end_(shared.settings, ranks_, hub, remote), mpi_(mpi, hub), spawns_(ranks_, end_, mpi_, hub, starter),
      mpiWatch_(shared.settings, ranks_, end_, mpi_, spawns_, hub), stacks_(shared.settings, hub, remote),
      mpir_(ranks_), checks_(shared.settings, shared.collectives, ranks_, end_, mpi_, Now()),
      // Spawned jobs add processes: the watcher has a slot for as many as
      // a run may hold.
      watch_(launches.size(), starter != nullptr, mpi != nullptr ? mpi->PmixDirs() : std::vector<std::string>()) {}

int Run::Loop() {
  for (;;) {
    TakeFatal();
    StartWhatMay();
    mpir_.NoteStarts();
    watch_.Flush();
    if (ranks_.LiveCount() == 0 && (end_.Ending() || ranks_.Started() == ranks_.Count())) break;
    WaitForEvents(WaitMs());
    // carrier's notice of a remote rank's end comes before its remote shell's.
    TakeNotices();
    mpiWatch_.Take(Now());  // an abort before the end of its rank
    Reap();
    TakeAgentEvents();
    mpir_.NoteStarts();
    TakeFatal();
    TakeStacks();
    CheckTimeout();
    checks_.CheckLogins(Now());
    checks_.CheckStuck(Now());
    mpiWatch_.CheckLeft(Now());
    end_.CheckKill(Now());
  }
  const int status = end_.Status();
  if (status != 0) MpirAborting("the run failed with status " + std::to_string(status));
  return status;
}

bool Run::Held(size_t i) const {
  const RankLaunch& l = ranks_.Launch(i);
  return (l.job > 0 && spawns_.Registering(l.job)) || (!l.agentShell && hub_ != nullptr && hub_->Holding());
}

bool Run::WindowFull(size_t i) const {
  return ranks_.Launch(i).remote && shared_.settings.sshWindow > 0 && ranks_.LoggingIn() >= shared_.settings.sshWindow;
}

void Run::StartWhatMay() {
  for (int made = 0; !end_.Ending() && ranks_.Started() < ranks_.Count() && made < kStartBatch; ++made) {
    if (WindowFull(ranks_.Started()) || Held(ranks_.Started())) return;
    const size_t i = ranks_.Started();
    const RankLaunch& l = ranks_.Launch(i);
    // A rank that its agent starts has its pid and its end reported.
    const pid_t pid = ranks_.Hosted(i) ? -1 : l.start ? l.start() : -1;
    ranks_.StartedNext(pid, Now());
    if (ranks_.Hosted(i)) continue;
    if (pid < 0) {
      // Reported by the spawner: the run ends with the status that such a
      // failure always had.
      end_.Fatal(1);
      return;
    }
    if (l.agentShell) hub_->ShellStarted(l.agent, pid);
    watch_.Watch(i, l.job, pid);
  }
}

// Milliseconds until the next timer, -1 for none.
int Run::WaitMs() const {
  const double now = Now();
  double wait = -1;
  auto atMost = [&](double seconds) {
    seconds = std::max(0.0, seconds);
    if (wait < 0 || seconds < wait) wait = seconds;
  };
  if (!end_.Ending() && ranks_.Started() < ranks_.Count() && !WindowFull(ranks_.Started()) && !Held(ranks_.Started())) atMost(0);
  if (end_.KillPending()) atMost(end_.KillAt() - now);
  const double checks = checks_.Due(now);
  if (checks >= 0) atMost(checks);
  if (ranks_.LoggingIn() > 0) {
    for (size_t i = 0; i < ranks_.Started(); ++i) {
      if (ranks_.At(i).state == kLoggingIn) atMost(ranks_.At(i).startedAt + kLoginHold - now);
    }
  }
  if (!end_.Ending()) {
    for (size_t i = 0; i < ranks_.Started(); ++i) {
      if (ranks_.At(i).left && ranks_.Live(i)) atMost(ranks_.At(i).leftAt + kLeftGrace - now);
    }
  }
  // A child's end is also looked for now and then: a thread that has
  // SIGCHLD unblocked would take it away from the signal descriptor.
  if (ranks_.LiveCount() > 0) atMost(1.0);
  for (const ShellEnd& e : awaitingNotice_) atMost(e.until - now);
  if (stacks_.Active()) atMost(stacks_.Until() - now);
  if (hub_ != nullptr) {
    const double agents = hub_->NextDeadline(now);
    if (agents >= 0) atMost(agents);
  }
  if (wait < 0) return -1;
  return static_cast<int>(std::ceil(wait * 1000.0));
}

void Run::WaitForEvents(int ms) {
  std::vector<pollfd> fds = {{shared_.signalFd, POLLIN, 0}, {shared_.wakeFd, POLLIN, 0}};
  if (hub_ != nullptr) hub_->Fds(&fds);
  const size_t mpiAt = fds.size();
  if (mpi_.Server() != nullptr) mpi_.Server()->Fds(&fds);
  const size_t stacksAt = fds.size();
  stacks_.Fds(&fds);
  if (poll(fds.data(), fds.size(), ms) <= 0) return;
  const size_t mpiCount = stacksAt - mpiAt;
  mpi_.OnReady(fds.data() + mpiAt, mpiCount, Now());
  if (hub_ != nullptr) hub_->OnReady(fds.data() + 2, mpiAt - 2, Now(), &agentEvents_);
  if (fds[1].revents & POLLIN) {
    uint64_t count;
    while (read(shared_.wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  if (fds[0].revents & POLLIN) {
    signalfd_siginfo info;
    while (read(shared_.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) OnSignal(info);
  }
}

void Run::OnSignal(const signalfd_siginfo& info) {
  const int sig = static_cast<int>(info.ssi_signo);
  if (sig == SIGCHLD) return;  // Reap() follows
  if (sig == SIGUSR1 || sig == SIGUSR2) {
    end_.SignalAll(sig);
    return;
  }
  // SIGQUIT (a terminal's Ctrl-\): where every rank is; the run goes on.
  if (sig == SIGQUIT) {
    if (!end_.Ending()) AskStacks(false);
    return;
  }
  // SIGINT, SIGTERM, SIGHUP: end the run. A second SIGINT kills at once.
  if (end_.Ending()) {
    if (sig == SIGINT) end_.Kill();
    return;
  }
  fprintf(stderr, "tarvo: got signal %d (%s); ending the run\n", sig, strsignal(sig));
  end_.SignalledBy(sig);
  // Every rank leads a process group of its own, outside the terminal's
  // foreground: a terminal's Ctrl-C reaches tarvo alone, which passes it on.
  end_.Begin(RunEnd::kSignal, sig);
}

void Run::AskStacks(bool forTimeout) {
  std::vector<StackTarget> targets;
  const bool remoteReady = remote_ != nullptr && remote_->Ready();
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (!ranks_.Live(i) || ranks_.Hosted(i) || ranks_.Launch(i).agentShell) continue;
    StackTarget t;
    t.index = static_cast<int>(i);
    t.job = ranks_.Launch(i).job;
    t.rank = ranks_.Launch(i).rank;
    if (!ranks_.PerRankRemote(i)) {
      if (ranks_.At(i).pid <= 0) continue;
      t.pid = ranks_.At(i).pid;
    } else if (ranks_.At(i).remotePid > 0 && remoteReady) {
      t.pid = ranks_.At(i).remotePid;
      t.host = ranks_.Launch(i).host;
    } else {
      t.why = "its start on its host has not been reported";
    }
    targets.push_back(t);
  }
  if (stacks_.Begin(targets, forTimeout, ranks_.LiveCount() == 0)) end_.Begin(RunEnd::kTimeout, SIGTERM);
}

void Run::TakeStacks() {
  if (stacks_.Take(ranks_.LiveCount() == 0)) end_.Begin(RunEnd::kTimeout, SIGTERM);
}

}  // namespace runloop

using namespace runloop;

RunControl::RunControl(const RunSettings& settings, const CollectiveWatch* collectives)
    : shared_(new SharedState) {
  shared_->settings = settings;
  shared_->collectives = collectives;
  std::vector<int> controlSignals{SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};
  if (settings.stacks) controlSignals.push_back(SIGQUIT);
  shared_->signalFd = SignalsTaken(controlSignals);
  shared_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

RunControl::~RunControl() {
  if (shared_->signalFd >= 0) close(shared_->signalFd);
  if (shared_->wakeFd >= 0) close(shared_->wakeFd);
}

int RunControl::Run(std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi, JobStarter* starter,
                    RemoteSignaller* remote) {
  runloop::Run run(*shared_, launches, hub, mpi, starter, remote);
  return run.Loop();
}

void RunControl::Wake() {
  if (shared_->wakeFd < 0) return;
  uint64_t one = 1;
  while (write(shared_->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void RunControl::Fatal(int status) {
  int none = 0;
  shared_->fatalStatus.compare_exchange_strong(none, status == 0 ? 1 : status);
  Wake();
}

void RunControl::Noticed(int rank, pid_t pid, bool ended, int waitStatus) {
  {
    std::lock_guard<std::mutex> lock(shared_->noticeMutex);
    shared_->notices.push_back(Notice{rank, pid, ended, waitStatus});
  }
  Wake();
}

int RunControl::Run(RunControl* control, std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi,
                    JobStarter* starter, RemoteSignaller* remote) {
  if (control != nullptr) return control->Run(launches, hub, mpi, starter, remote);
  RunControl alone(RunSettings(), nullptr);
  return alone.Run(launches, hub, mpi, starter, remote);
}

void RunControl::Fatal(RunControl* control, int status) {
  if (control != nullptr) control->Fatal(status);
}

double RunControlNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
