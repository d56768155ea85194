// The units that TARVO_BIND places ranks on (hardware threads, cores, L3
// caches, NUMA nodes or sockets) and the GPUs, as hwloc reports this host's
// topology (or the one that HWLOC_XMLFILE or HWLOC_SYNTHETIC gives it). Only
// the launch agent links hwloc: tarvo asks it for its own host's topology
// (tarvo-agent --topology), so that tarvo, carrier and the launcher's
// archives need no library beyond the C++ one.
#ifndef TARVO_COMMON_RANK_BINDING_H
#define TARVO_COMMON_RANK_BINDING_H

#include <sched.h>

#include <string>
#include <vector>

#include "common/rank_map.h"
#include "common/rank_place.h"

/// This host's units of `mode`'s level in hwloc's order (kBindNone: cores),
/// each one's CPUs, limited to the CPUs this process may run on (inside a
/// Slurm allocation: those of the allocation), and with `gpus` its GPUs.
/// False, with why, when hwloc cannot tell or no unit is left.
bool HostTopologyRead(int mode, bool gpus, HostTopology* topology, std::string* why);

/// The units alone.
bool BindingUnits(int mode, std::vector<cpu_set_t>* units, std::string* why);

#endif  // TARVO_COMMON_RANK_BINDING_H
