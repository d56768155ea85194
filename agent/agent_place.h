// The agent's part of TARVO_OUTPUT, TARVO_ERROR, TARVO_BIND,
// TARVO_CPUS_PER_RANK and TARVO_GPUS_PER_RANK: the places that the launcher
// sends for its ranks, the CPUs and GPUs of this host that the ranks get
// (PlaceHost, common/rank_map.h), and the agent's two other forms, which
// tarvo and per-rank remote shells use (the agent alone links hwloc):
//
//   tarvo-agent --cpus MODE
//       prints this host's units for MODE (core, socket, hwthread, l3cache
//       or numa), one CPU list a line, in the order ranks take them; status
//       1, saying why, when there are none.
//   tarvo-agent --topology MODE GPUS
//       the same, then with GPUS 1 one "gpu KIND INDEX CPULIST" line per GPU
//       (TopologyText).
//   tarvo-agent --place RANK HOST INDEX COUNT MODE CPUS GPUS REPORT OUTPUT ERROR COMMAND...
//       for a rank that a remote shell starts through carrier: binds itself
//       as the rank of INDEX among the COUNT ranks of this host (CPUS units
//       each, 0 for TARVO_CPUS_PER_RANK unset; GPUS GPUs each), says so
//       when REPORT is 1, puts OUTPUT and ERROR (empty: none; relative to
//       the run's working directory, COMMAND's last word) on its standard
//       output and error, then becomes COMMAND.
#ifndef TARVO_AGENT_AGENT_PLACE_H
#define TARVO_AGENT_AGENT_PLACE_H

#include <map>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "common/rank_map.h"
#include "common/rank_place.h"

class AgentPlacer {
 public:
  /// A kPlace order, kept for the rank's start.
  void Take(const AgentOrder& order);
  /// Before the fork of `rank`, the `index`-th of this host's `hostRanks`
  /// ranks (the job's clients; the first call's count maps the host): its place
  /// into *place (pointing into this object), the variables it gets
  /// (OMP_NUM_THREADS, the GPUs') into *env, with the binding's report
  /// lines on standard error. False when the rank has none. *refusal: why
  /// the rank cannot start (GPUs asked of a host without any).
  bool Prepare(int rank, int index, int hostRanks, RankPlace* place, std::vector<std::string>* env,
               std::string* refusal);
  /// This host's topology for `bind`'s level, with its GPUs when `gpus`:
  /// read once and kept, so that the ranks are placed on the topology that
  /// the launcher was told (kAgentTopology). Null, with *why, when it
  /// cannot be told.
  const HostTopology* Topology(int bind, bool gpus, std::string* why);

 private:
  struct Place {
    int bind = 0;
    bool report = false, threads = false;
    int cpusPerRank = 1, gpusPerRank = 0;
    std::string host, output, error;
  };
  std::map<int, Place> places_;
  HostTopology topology_;
  HostMap map_;
  bool mapped_ = false, usable_ = false, bindable_ = false;
  bool read_ = false, readOk_ = false;  // topology_, readOk_ and why_ hold the read of readBind_ and readGpus_
  int readBind_ = 0;
  bool readGpus_ = false;
  std::string why_;
};

/// main's other forms (above); -1 when argv is neither.
int PlaceMain(int argc, char** argv);

/// In a Slurm step: what srun would give the rank as its task, as entries
/// of its environment (the launcher sends none of its own SLURM_*; this
/// host's node values stay).
std::vector<std::string> AgentSlurmTask(const AgentOrder& order, int localId);

#endif  // TARVO_AGENT_AGENT_PLACE_H
