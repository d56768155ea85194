// The run control's JobStarter for runs whose ranks are all tarvo's own
// (rank mode on one host): a spawned job's processes are started like the
// first job's local ranks, through carrier, each with its PMIx environment.
#ifndef TARVO_LAUNCHER_SPAWN_JOBSTARTER_H
#define TARVO_LAUNCHER_SPAWN_JOBSTARTER_H

#include <memory>

#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Inputs.h"
#include "launcher/spawn/SpawnPlan.h"

class AgentHub;
class OutputRelay;
class MpiServer;

namespace spawn {

/// How tarvo starts a spawned job's children on its own host: through
/// carrier with the words of `params` (their own count and working
/// directory), closing `closeFds`, a failed fork reported as `report` says,
/// beside the launcher with `beside` (the run's, or null), their streams
/// from `relay` (null: tarvo's own).
struct LocalChildren {
  OutputRelay* relay;
  spawn::LauncherParams params;
  std::vector<int> closeFds;
  ForkReport report;
  BesideStarts* beside;
};

/// A starter for the jobs that tarvo's own ranks spawn (an Open MPI
/// rank's through the PMIx server, an MPICH rank's through PMI-1), whose
/// children start as `local` says. Null without `mpi`.
std::unique_ptr<JobStarter> LocalJobStarter(MpiServer* mpi, const LocalChildren& local);

/// A starter for host mode: a spawned job's processes go to the run's
/// hosts (`slots`, the machine file's, in its order; `rankHosts` the host
/// of each of the first job's ranks; `agentHosts` each agent's;
/// `ownHosts` tarvo's own where its ranks run, whose children start as
/// `local` says), placed by PlanSpawn (`ppn`: TARVO_PPN; `outputFlags`:
/// kAgentRankLabel, kAgentRankPty with each process to its agent). Every agent's server registers
/// the job, and the spawn is answered once each has. Null without `mpi`.
std::unique_ptr<JobStarter> AgentJobStarter(MpiServer* mpi, AgentHub* hub, const std::vector<HostSlots>& slots,
                                            const std::vector<std::string>& rankHosts,
                                            const std::vector<std::string>& agentHosts,
                                            const std::vector<std::string>& ownHosts, int outputFlags, int ppn,
                                            const LocalChildren& local);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_JOBSTARTER_H
