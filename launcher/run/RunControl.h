// Run control: the one owner of the end of a run. The spawners hand it the
// processes to start; it starts them (pacing remote shells), then waits in
// one loop for the ends of its processes, tarvo's own signals, the run's
// time limit, failures that other threads report, and collective operations
// that can no longer be released. It decides when and how the run ends and
// what its status is; nothing else ends a run while processes are running.
#ifndef TARVO_LAUNCHER_RUNCONTROL_H
#define TARVO_LAUNCHER_RUNCONTROL_H

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "launcher/run/RunSettings.h"

/// One process of the run, as a spawner describes it.
struct RankLaunch {
  int rank = 0;
  std::string host;     // where it runs: the local host name, or the machine file's word
  std::string program;  // the file of the rank's program, as its start finds it (for debuggers)
  bool remote = false;  // started through a remote shell
  /// Starts the process and returns its pid, or -1 when it could not be
  /// started (the failure is already reported; the run then ends with 1).
  std::function<pid_t()> start;
  /// Launch agents (TARVO_LAUNCH=host): for a rank, the agent that starts
  /// and reports it (then `start` is unused and its pid is the agent's
  /// report); with `agentShell`, this launch is no rank but the remote
  /// shell that runs agent `agent`, or every agent when `agent` is -1 (a
  /// Slurm step); its `rank` is -1.
  int agent = -1;
  bool agentShell = false;
  /// 0: a process of the run's first job; k: of the k-th job that its
  /// ranks spawned (MPI_Comm_spawn), whose ranks count from 0 again.
  int job = 0;
};

class AgentHub;
class MpiServer;
namespace pmi {
struct PmixSpawnRequest;
}

/// The most processes that a run holds, spawned ones counted.
const int kMaxRunProcesses = 2000;

/// Makes the processes of a job that a rank spawns (MPI_Comm_spawn): the
/// spawn layer's, handed to the run control, which starts them as
/// processes of the run.
class JobStarter {
 public:
  virtual ~JobStarter() = default;
  /// Every launch of job `job` (numbered from 1) for `request` into *out,
  /// with its namespace, registered with the PMIx server, in *nspace; the
  /// run holds `running` processes. False, with a one-line reason, when the
  /// spawn is refused (nothing is left then).
  virtual bool Launches(int job, const pmi::PmixSpawnRequest& request, int running, std::vector<RankLaunch>* out,
                        std::string* nspace, std::string* why) = 0;
  /// The agents that register job `job` with their servers (each says
  /// so, kAgentJobReady): the spawn is answered once all have. None: at once.
  virtual std::vector<int> Registering(int /*job*/) const { return {}; }
};

/// Since when each rank waits in a collective operation (-1: it does not):
/// the synchronisation service's table, which the run control reads to find
/// operations that can no longer be released.
class CollectiveWatch {
 public:
  virtual ~CollectiveWatch() = default;
  virtual void Snapshot(std::vector<double>* since) const = 0;
};

/// Per-rank remote shells: a signal passed on to the ranks' programs on
/// their hosts, through one command per host.
class RemoteSignaller {
 public:
  virtual ~RemoteSignaller() = default;
  /// False while the run starts no rank through a remote shell: the remote
  /// shells themselves are signalled then.
  virtual bool Ready() const = 0;
  /// Starts one command on `host` that sends `sig` to the process groups
  /// `groups` there.
  virtual void Signal(const std::string& host, int sig, const std::vector<pid_t>& groups) = 0;
  /// Starts `tarvo-agent --stacks [--samples N] INDEX:PID...` on `host`
  /// through the remote shell, leading a process group of its own, its
  /// standard output on *readFd (non-blocking, close-on-exec); its pid, or
  /// -1.
  virtual pid_t ReadStacks(const std::string& /*host*/, const std::vector<std::pair<int, pid_t>>& /*ranks*/,
                           int /*samples*/, int* /*readFd*/) {
    return -1;
  }
};

namespace runloop {
struct SharedState;
}

/// The run control of one run, made by the main thread before it starts any
/// other thread. It takes the settings and the record of waiting ranks that
/// it asks while the run goes (null: no collective operation is watched),
/// and blocks the signals that it takes synchronously (SIGCHLD, SIGINT,
/// SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, and SIGQUIT with the stacks) in the
/// calling thread, so that every thread inherits the mask. The run object
/// hands it to the spawners and the service threads that report to it.
class RunControl {
 public:
  RunControl(const RunSettings& settings, const CollectiveWatch* collectives);
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  /// Starts every launch in order, remote shells at most sshWindow logging
  /// in at once, and returns when every started process has been reaped,
  /// with the run's exit status. On the calling thread, which must be the
  /// thread that made the run control (the parent-death signal of the
  /// children is tied to the thread that started them). With agents, `hub`
  /// holds their connections, which the same loop serves; so does it serve
  /// `mpi`, the PMI-1 server of the ranks (an abort ends the run, a barrier
  /// that a rank ended without entering is found like a stuck collective
  /// operation). `starter` makes the jobs that ranks spawn, `remote` passes
  /// signals on to the ranks of per-rank remote shells (null: the remote
  /// shells are signalled themselves).
  int Run(std::vector<RankLaunch>& launches, AgentHub* hub = nullptr, MpiServer* mpi = nullptr,
          JobStarter* starter = nullptr, RemoteSignaller* remote = nullptr);
  /// Any thread: a failure that ends the run (already reported). The run's
  /// processes are ended and Run returns `status`.
  void Fatal(int status);
  /// Any thread: the carrier of `rank` on a remote host has started its
  /// program as `pid` (its remote login is over), or, with `ended`, the
  /// program has ended with `waitStatus`.
  void Noticed(int rank, pid_t pid, bool ended = false, int waitStatus = 0);
  /// Run on `control`, which may be null (a spawner called outside a run:
  /// a run control of its own, with the default settings).
  static int Run(RunControl* control, std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi,
                 JobStarter* starter, RemoteSignaller* remote);
  /// Fatal on `control`, which may be null (nothing to end).
  static void Fatal(RunControl* control, int status);

 private:
  void Wake();
  std::unique_ptr<runloop::SharedState> shared_;
};

/// The run control's clock: CLOCK_MONOTONIC in seconds. The
/// synchronisation service stamps with it since when a rank waits.
double RunControlNow();

#endif  // TARVO_LAUNCHER_RUNCONTROL_H
