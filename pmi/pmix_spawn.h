// libpmix's spawn upcall (a rank's MPI_Comm_spawn), handed on to
// PmixCallbacks::spawn. Used by pmix_host.cpp only.
#ifndef TARVO_PMI_PMIX_SPAWN_H
#define TARVO_PMI_PMIX_SPAWN_H

#include <pmix_server.h>

#include "pmi/pmix_host.h"

namespace pmi {

// Fills the spawn upcall of `module` when `callbacks` has one (they stay
// where they are until StopSpawnUpcall).
void AddSpawnUpcall(pmix_server_module_t* module, const PmixCallbacks* callbacks);
// Before the server's finalize: answers that come later are dropped.
void StopSpawnUpcall();

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_SPAWN_H
