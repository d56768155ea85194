// What the launcher's MPI service tells the run control of the ranks it
// serves.
#ifndef TARVO_LAUNCHER_MPI_MPIEVENT_H
#define TARVO_LAUNCHER_MPI_MPIEVENT_H

#include <cstdint>
#include <string>

#include "pmi/pmi1_server.h"
#include "pmi/pmix_host.h"

struct MpiEvent {
  enum Kind {
    kAbort,       // PMI-1 or PMIx abort
    kBreak,       // a rank broke the PMI-1 protocol
    kFull,        // a rank's put was refused: the key-value space is full
    kPmixFull,    // a PMIx fence fails: tarvo's node's part (host in text) fills the key-value space
    kUnfinalized, // a rank left (PMI-1: closed its connection; PMIx: ended) after its init, before its finalize
    kSpawn        // a rank's MPI_Comm_spawn (PMIx, or PMI-1's spawn): answer with AnswerSpawn(ticket, ...)
  } kind = kAbort;
  int job = 0;   // 0: the run's first job; k: the k-th job that ranks spawned
  int rank = -1;
  int exitCode = 0;  // kAbort
  std::string text;  // kBreak: how the rank broke the protocol
  std::string sent;  // kBreak: what it sent (80 characters at most)
  uint64_t ticket = 0;           // kSpawn
  pmi::PmixSpawnRequest spawn;   // kSpawn
};

/// What a rank's abort, broken protocol, end before finalize or full
/// key-value space (`kvsLimitMiB`'s) is for the run control, whichever
/// job's PMI-1 server saw it, into *m; other events leave it as it is.
void MpiEventOf(const pmi::ServerEvent& e, int kvsLimitMiB, MpiEvent* m);

#endif  // TARVO_LAUNCHER_MPI_MPIEVENT_H
