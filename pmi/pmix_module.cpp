// The PMIx module's entry point, which LoadPmixRelay looks up.
#include "pmi/pmix_loader.h"

extern "C" pmi::PmixRelay* tarvo_pmix_new_relay() { return pmi::NewPmixRelay().release(); }
