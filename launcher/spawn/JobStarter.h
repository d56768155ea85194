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
class MpiServer;

namespace spawn {

/// A starter for the jobs that tarvo's own ranks spawn (an Open MPI
/// rank's through the PMIx server, an MPICH rank's through PMI-1); the
/// children get carrier's words from `params` (their own count and
/// working directory), close `closeFds`, report a failed fork as `report`
/// says and start beside the launcher with `beside` (the run's, or null).
/// Null without `mpi`.
std::unique_ptr<JobStarter> LocalJobStarter(MpiServer* mpi, const spawn::LauncherParams& params,
                                            const std::vector<int>& closeFds, const ForkReport& report,
                                            BesideStarts* beside);

/// A starter for host mode: a spawned job's processes go to the run's
/// hosts (`slots`, the machine file's, in its order; `rankHosts` the host
/// of each of the first job's ranks; `agentHosts` each agent's;
/// `ownHosts` tarvo's own where its ranks run, whose children it starts
/// as LocalJobStarter does, with `closeFds`, `report` and `beside`), placed by
/// PlanSpawn. Every agent's server registers the job, and the spawn is
/// answered once each has; `outputFlags` (kAgentRankLabel, kAgentRankPty)
/// go with each process to its agent. Null without `mpi`.
std::unique_ptr<JobStarter> AgentJobStarter(MpiServer* mpi, AgentHub* hub, const std::vector<HostSlots>& slots,
                                            const std::vector<std::string>& rankHosts,
                                            const std::vector<std::string>& agentHosts,
                                            const std::vector<std::string>& ownHosts,
                                            const spawn::LauncherParams& params, int outputFlags,
                                            const std::vector<int>& closeFds, const ForkReport& report,
                                            BesideStarts* beside);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_JOBSTARTER_H
