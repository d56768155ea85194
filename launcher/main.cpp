#include "launcher/Control.h"
#ifdef TARVO_HAVE_PMIX
#include "launcher/mpi/MpiServer.h"
#endif

int main(int argc, char** argv) {
#ifdef TARVO_HAVE_PMIX
  // libcontrol.a holds no libpmix (programs that link it need none): the
  // program gives the launcher its PMIx server.
  MpiSetPmixMaker(&pmi::NewPmixRelay);
#endif
  return ControlMain(argc, argv);
}
