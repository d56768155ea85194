// What a rank's MPI_Comm_spawn becomes: the pure decisions (how many
// children, which program and words each, where, whether the run may hold
// them), before anything starts. JobStarter.cpp starts what this plans.
#ifndef TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H
#define TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H

#include <functional>
#include <string>
#include <vector>

#include "pmi/pmix_host.h"

namespace spawn {

/// One process of a spawned job.
struct SpawnChild {
  int rank = 0;                     // in the new job, from 0
  int appnum = 0;                   // its program's index in the request
  std::vector<std::string> words;   // the program and its arguments
  std::vector<std::string> env;     // NAME=VALUE that the request gives it
  std::string cwd;                  // empty: the launcher's
  std::string host;
};

/// A host of the machine file and its slots.
struct HostSlots {
  std::string host;  // as the machine file names it
  int slots = 1;
};

/// The machine file's hosts in the order they first appear, each with its
/// slots: "host:N" and "host slots=N" give N, a bare name 1, and a name
/// that comes again adds its slots. Comments ("#") are skipped.
std::vector<HostSlots> ReadMachineSlots(const std::string& text);

/// MPI_UNIVERSE_SIZE of a run of `size` ranks on `hosts`: the sum of their
/// slots, never less than the run's size.
int UniverseSize(const std::vector<HostSlots>& hosts, int size);

/// The slots of a Slurm allocation as SLURM_TASKS_PER_NODE (or
/// SLURM_JOB_CPUS_PER_NODE) gives them: "2(x3),1" is 7; 0 when the text is
/// missing or malformed.
int SlurmSlots(const char* perNode);

/// The hosts of `count` new processes by the run's rule: the hosts in
/// order, each taking processes while it has slots left (`used[i]` of
/// hosts[i]'s are taken; updated), and once every slot is taken, one more
/// on each host in turn from the first.
std::vector<std::string> PlaceBySlots(const std::vector<HostSlots>& hosts, std::vector<int>* used, int count);

struct SpawnRules {
  int running = 0;                  // processes the run holds now
  int limit = 0;                    // the most it may hold
  std::string thisHost;             // where spawned processes run (without `hosts`)
  /// The run's hosts (host mode), where spawned processes may run, and the
  /// processes that each holds (its ranks' and spawned ones): empty, every
  /// process runs on thisHost. A process goes where the `host` or
  /// `hostfile` keys say (names of `hosts`), else by `ppn` when set, else
  /// by PlaceBySlots.
  std::vector<HostSlots> hosts;
  std::vector<int> used;
  /// TARVO_PPN (0: unset): a program whose keys name no host places its
  /// processes as the first job's ranks are placed, the job's rank r on
  /// hosts[HostOfRank(r, hosts, ppn)], whatever the slots in use.
  int ppn = 0;
  /// Whether `program` can be run from `cwd` (empty: the launcher's).
  std::function<bool(const std::string& program, const std::string& cwd)> runnable;
};

/// The children of `request` into *out, in rank order (each program's in
/// turn), or the reason on one line why the spawn is refused: a count below
/// 1, a program that cannot be run, a host that is not the run's (without
/// `rules.hosts`, spawned processes run on tarvo's own host, whatever
/// `host` names: "localhost", the host's name, or a loopback address), or
/// more processes than the run may hold. `hostfileHosts` are the hosts of each program's `hostfile`
/// (read by the caller), in the request's order.
std::string PlanSpawn(const pmi::PmixSpawnRequest& request, const SpawnRules& rules,
                      const std::vector<std::vector<std::string>>& hostfileHosts, std::vector<SpawnChild>* out);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_SPAWNPLAN_H
