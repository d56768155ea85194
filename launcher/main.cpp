#include "launcher/Control.h"
#include "launcher/app/Launch.h"
#ifdef TARVO_HAVE_PMIX
#include "pmi/pmix_loader.h"
#endif

int main(int argc, char** argv) {
  ProgramParts parts;
#ifdef TARVO_HAVE_PMIX
  // libcontrol.a holds no libpmix (programs that link it need none): the
  // program gives the launcher its PMIx server, a module that a run loads
  // when it serves PMIx.
  parts.makeRelay = &pmi::LoadPmixRelay;
#endif
  return ControlMain(argc, argv, parts);
}
