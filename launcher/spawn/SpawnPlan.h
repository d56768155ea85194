// What a rank's MPI_Comm_spawn becomes: the pure decisions (how many
// children, which program and words each, where, whether the run may hold
// them), before anything starts. JobStarter.cpp starts what this plans.
#ifndef TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H
#define TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H

#include <functional>
#include <string>
#include <vector>

#include "pmi/pmix_host.h"

namespace spawnplan {

/// One process of a spawned job.
struct SpawnChild {
  int rank = 0;                     // in the new job, from 0
  int appnum = 0;                   // its program's index in the request
  std::vector<std::string> words;   // the program and its arguments
  std::vector<std::string> env;     // NAME=VALUE that the request gives it
  std::string cwd;                  // empty: the launcher's
  std::string host;
};

struct SpawnRules {
  int running = 0;                  // processes the run holds now
  int limit = 0;                    // the most it may hold
  std::string thisHost;             // where spawned processes run
  /// Whether `program` can be run from `cwd` (empty: the launcher's).
  std::function<bool(const std::string& program, const std::string& cwd)> runnable;
};

/// The children of `request` into *out, in rank order (each program's in
/// turn), or the reason on one line why the spawn is refused: a count below
/// 1, a program that cannot be run, a host that is not this one (spawned
/// processes run on tarvo's own host, whatever `host` names: "localhost",
/// the host's name, or a loopback address), or more processes than the run
/// may hold. `hostfileHosts` are the hosts of each program's `hostfile`
/// (read by the caller), in the request's order.
std::string PlanSpawn(const pmi::PmixSpawnRequest& request, const SpawnRules& rules,
                      const std::vector<std::vector<std::string>>& hostfileHosts, std::vector<SpawnChild>* out);

}  // namespace spawnplan

#endif  // TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H
