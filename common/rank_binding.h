// The units that TARVO_BIND places ranks on (cores or sockets), as hwloc
// reports this host's topology. Only the launch agent links hwloc: tarvo asks
// it for its own host's units (tarvo-agent --cpus), so that tarvo, carrier
// and the launcher's archives need no library beyond the C++ one.
#ifndef TARVO_COMMON_RANK_BINDING_H
#define TARVO_COMMON_RANK_BINDING_H

#include <sched.h>

#include <string>
#include <vector>

#include "common/rank_place.h"

/// This host's cores (or sockets) in hwloc's order, each one's CPUs, limited
/// to the CPUs this process may run on (inside a Slurm allocation: those of
/// the allocation). False, with why, when hwloc cannot tell or no unit is
/// left. The rank of index k on the host takes unit k modulo their number.
bool BindingUnits(int mode, std::vector<cpu_set_t>* units, std::string* why);

#endif  // TARVO_COMMON_RANK_BINDING_H
