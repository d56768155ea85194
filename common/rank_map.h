// Where each rank runs and on what: its host (TARVO_PPN), its CPUs
// (TARVO_CPUS_PER_RANK units of TARVO_BIND's level) and its GPUs
// (TARVO_GPUS_PER_RANK), as pure functions of the hosts, a host's topology
// and the settings. tarvo (its own host's ranks and the dry run's map), the
// agent (its host's ranks) and tarvo-agent --place (a remote shell's rank)
// all place through PlaceHost, so that the map a dry run prints is the one
// the ranks get.
#ifndef TARVO_COMMON_RANK_MAP_H
#define TARVO_COMMON_RANK_MAP_H

#include <sched.h>

#include <string>
#include <vector>

/// A GPU as hwloc reports it: its kind ("cuda", "rsmi", "opencl", "ze", or
/// "pci" for a GPU that only the PCI bus shows), its index among its kind
/// (cuda2 is 2) and the CPUs beside it.
struct GpuUnit {
  std::string kind;
  int index = 0;
  cpu_set_t near;
};

/// A host as the map sees it: the units of the binding's level, in hwloc's
/// order, each one's CPUs (only those that may be used), and its GPUs.
struct HostTopology {
  std::vector<cpu_set_t> units;
  std::vector<GpuUnit> gpus;
};

/// The part of the run's settings that places ranks on a host.
struct HostPlacing {
  bool bind = false;     // TARVO_BIND is not none
  int cpusPerRank = 1;   // units per rank
  int gpusPerRank = 0;
};

/// One rank on its host.
struct RankSlot {
  cpu_set_t cpus;           // its units' CPUs (what it is bound to when binding)
  std::vector<int> gpus;    // indices into the topology's gpus
};

/// A host's ranks: slot k is the k-th rank of the host, in rank order.
/// `cpusWrap` when the ranks did not fit the units (they wrap round),
/// `gpusShared` when the GPUs did not go round distinct.
struct HostMap {
  std::vector<RankSlot> slots;
  bool cpusWrap = false;
  bool gpusShared = false;
};

/// The `count` ranks of a host: rank k takes units k*N .. k*N+N-1 (modulo
/// their number; N is cpusPerRank, at most the number of units); GPUs:
/// when the host has enough for all, each rank takes gpusPerRank distinct
/// ones, those beside its CPUs first, else they go round in hwloc's order.
/// A topology without units gives empty CPU sets.
HostMap PlaceHost(const HostTopology& topology, int count, const HostPlacing& placing);

/// Rank `rank`'s host among `hosts` in order: with `ppn` (ranks per host)
/// consecutive groups of ppn, wrapping round; without, rank i on host i
/// modulo their number.
int HostOfRank(int rank, int hosts, int ppn);

/// Each rank's index among the ranks of its host (`hosts`: each rank's
/// host), and the number of ranks of its host.
void LocalRanks(const std::vector<std::string>& hosts, std::vector<int>* local, std::vector<int>* localSize);

/// What programs read to learn where they are, as the peers' launchers set
/// it: OMPI_COMM_WORLD_{SIZE,RANK,LOCAL_RANK,LOCAL_SIZE,NODE_RANK},
/// MPI_LOCALNRANKS and MPI_LOCALRANKID.
std::vector<std::string> LocalityEnvironment(int rank, int size, int local, int localSize);

/// The devices of `slot` for the GPU runtimes (CUDA_VISIBLE_DEVICES,
/// ROCR_VISIBLE_DEVICES, ZE_AFFINITY_MASK, each the devices' indices among
/// their kind); none when the slot has no GPU.
std::vector<std::string> DeviceEnvironment(const HostTopology& topology, const RankSlot& slot);

/// The slot's GPUs as the reports list them: "cuda0,cuda1" (a PCI one by
/// its kind: "pci0").
std::string GpuListText(const HostTopology& topology, const RankSlot& slot);

/// The map's line of one rank, as TARVO_REPORT_BINDING and TARVO_DRY_RUN
/// print it: "tarvo: rank R on HOST bound to CPUs LIST", with "; GPUs LIST"
/// when it has GPUs.
std::string RankMapLine(int rank, const std::string& host, const HostTopology& topology, const RankSlot& slot);

/// The lines said once for a host whose ranks wrap round its units or share
/// its GPUs (`bind`: the level, a RankBind, that names the units).
std::string HostMapWarnings(const std::string& host, const HostTopology& topology, const HostMap& map, int bind);

/// The topology as text, one line each: a unit's CPU list, or
/// "gpu KIND INDEX CPULIST"; and back (false for anything else).
std::string TopologyText(const HostTopology& topology);
bool TopologyRead(const std::string& text, HostTopology* topology);

#endif  // TARVO_COMMON_RANK_MAP_H
