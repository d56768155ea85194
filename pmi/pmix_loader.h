// The PMIx host is a module of its own (tarvo-pmix.so, common/modules.h):
// libpmix and what it needs (libevent, hwloc, libudev, libmunge) are loaded
// only by a run that serves PMIx, not by every start of tarvo and the agent.
#ifndef TARVO_PMI_PMIX_LOADER_H
#define TARVO_PMI_PMIX_LOADER_H

#include <memory>
#include <string>

#include "pmi/pmix_relay.h"

namespace pmi {

/// A relay of the PMIx module (loaded on the first call, never unloaded:
/// libpmix keeps threads and handlers); null, with the reason in *why, when
/// the module cannot be loaded.
std::unique_ptr<PmixRelay> LoadPmixRelay(std::string* why);

}  // namespace pmi

/// The module's one entry point: a new relay (NewPmixRelay).
extern "C" pmi::PmixRelay* tarvo_pmix_new_relay();

#endif  // TARVO_PMI_PMIX_LOADER_H
