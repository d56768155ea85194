// A rank's MPI_Comm_spawn and the processes' connect across jobs as they
// cross the agent protocol (kAgentSpawn, kAgentConnect): an agent's ranks
// spawn through tarvo, which places and starts the new job.
#ifndef TARVO_PMI_SPAWN_WIRE_H
#define TARVO_PMI_SPAWN_WIRE_H

#include <cstdint>
#include <string>
#include <vector>

#include "pmi/pmi1_engine.h"
#include "pmi/pmix_host.h"

namespace pmi {

/// MPICH's spawn as the request that the run control takes for both
/// protocols; of the info keys, those that hydra honours: host, hostfile,
/// wdir and path (searched on the caller's host).
PmixSpawnRequest Pmi1Request(const Pmi1Spawn& spawn, const std::string& kvsname);
/// kAgentSpawn's frame for `request`.
std::string EncodeSpawnRequest(int32_t ticket, const PmixSpawnRequest& request);
/// kAgentSpawn's payload; false when it is malformed.
bool DecodeSpawnRequest(const std::string& payload, int32_t* ticket, PmixSpawnRequest* request);
/// kAgentConnect's frame: `procs` of the first job alone (namespace empty)
/// give ranks alone, else one namespace string per rank follows them.
std::string EncodeConnect(int32_t ticket, bool disconnect, const PmixCallbacks::Procs& procs);
/// kAgentConnect's payload; false when it is malformed.
bool DecodeConnect(const std::string& payload, int32_t* ticket, bool* disconnect, PmixCallbacks::Procs* procs);

}  // namespace pmi

#endif  // TARVO_PMI_SPAWN_WIRE_H
