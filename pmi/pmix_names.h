// libpmix's upcalls for names (publish, lookup, unpublish) and for connect
// and disconnect, handed on to PmixCallbacks::names and ::connect. Used by
// pmix_host.cpp only.
#ifndef TARVO_PMI_PMIX_NAMES_H
#define TARVO_PMI_PMIX_NAMES_H

#include <pmix_server.h>

#include <string>

#include "pmi/pmix_host.h"

namespace pmi {

// Fills the upcalls of `module` that `callbacks` can serve (the callbacks
// stay where they are until StopNameUpcalls), for the job `nspace`.
void AddNameUpcalls(pmix_server_module_t* module, const PmixCallbacks* callbacks, const std::string& nspace);
// A job that a rank spawned, registered: its ranks are served too, and a
// connect between it and its parents is completed at once.
void AddServedNamespace(const std::string& nspace);
// That job failed to register: no longer served.
void ForgetServedNamespace(const std::string& nspace);
// Before the server's finalize: answers that come later are dropped.
void StopNameUpcalls();

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_NAMES_H
