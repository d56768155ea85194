// The spawners' part of the PMIx service: tarvo's server for its own
// host's ranks, the facts of the agents' PMIx jobs, and each rank's environment with it.
#ifndef TARVO_LAUNCHER_SPAWN_PMIXSETUP_H
#define TARVO_LAUNCHER_SPAWN_PMIXSETUP_H

#include <string>
#include <vector>

#include "launcher/run/RunSettings.h"
#include "launcher/spawn/ExecPlan.h"

class MpiServer;

namespace spawn {

/// Before any rank starts, when TARVO_PMIX says so (auto: when a rank's
/// program may speak PMIx) and the build has libpmix: the job's facts to `mpi` (every rank's host: tarvo's own ranks,
/// agentOf -1, on one node named as the first of them; agent a's on
/// agentHosts[a]), whose ServesPmix then says so and whose PmixJobPayload
/// is each agent's PMIx job. A server that does not start is reported on
/// standard error and the run goes on without it.
/// `universe`: MPI_UNIVERSE_SIZE (0: this host's processors), never less
/// than the run's ranks.
void ServePmix(const RunSettings& settings, MpiServer* mpi, std::vector<ExecPlan>& plans,
               std::vector<std::string> hosts,
               const std::vector<int>& appnums, const std::vector<int>& agentOf,
               const std::vector<std::string>& agentHosts, int universe = 0);

/// Reads each plan's program file (each distinct one once) for its
/// ExecPlan::program, and leaves ExecPlan::ownSession to MPICH's ranks.
/// Before ServePmix and SayIfSingletons.
void ReadProgramKinds(std::vector<ExecPlan>& plans);

/// Per-rank remote shells serve no PMIx: one "tarvo:" line before the start
/// when a program of `plans` that tarvo can read links Open MPI's or
/// libpmix's library, whose ranks will then each run alone.
void SayIfSingletons(const RunSettings& settings, const std::vector<ExecPlan>& plans);

/// `envp` (null-terminated) with `ours` merged in: an entry whose name
/// `ours` sets is dropped, and when `ours` leads to tarvo's PMIx server so
/// is every PMIX_* (a server outside must not be found); `ours` last.
void MergeRankEnvironment(std::vector<char*>* envp, std::vector<std::string>& ours);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_PMIXSETUP_H
