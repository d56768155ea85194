// What the ranks' MPI tells the run control, from tarvo's own server and
// from the agents: an abort, a broken protocol and a rank that left MPI
// without finalize end the run; a full key-value space is said; a spawn
// goes to the spawned jobs, an agent's part of a fence to the server.
#ifndef TARVO_LAUNCHER_RUN_MPIWATCH_H
#define TARVO_LAUNCHER_RUN_MPIWATCH_H

#include <string>

#include "launcher/run/AgentHub.h"
#include "launcher/run/MpiLink.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"
#include "launcher/run/SpawnedJobs.h"

namespace runloop {

// A rank that has closed its MPI connection without finalize has this
// long to end, so that its end, not the closed connection, is reported.
const double kLeftGrace = 2.0;

class MpiWatch {
 public:
  MpiWatch(const RunSettings& settings, RunRanks& ranks, RunEnd& end, MpiLink& mpi, SpawnedJobs& spawns,
           AgentHub* hub);
  MpiWatch(const MpiWatch&) = delete;
  MpiWatch& operator=(const MpiWatch&) = delete;

  // What tarvo's own server has posted since the last look.
  void Take(double now);
  // An agent's MPI event: its ranks' aborts, spawns, parts of a fence and
  // waiting ranks; false for other events.
  bool TakeAgent(const AgentEvent& e, double now);
  // A rank that left MPI without finalize and then ended with status 0 has
  // failed all the same: the others may wait for it for ever.
  void EndedUnfinalized(size_t i);
  // One that left and has not ended within kLeftGrace.
  void CheckLeft(double now);

 private:
  // A rank broke the PMI protocol: why, and what it sent.
  void Broke(int rank, const std::string& why, const std::string& sent, int job = 0);
  // A rank called PMI abort: the run ends with its exit code.
  void Aborted(int rank, int exitCode, int job = 0);
  // A rank left MPI after its init, before its finalize: closed its PMI-1
  // connection, or (PMIx) ended.
  void Unfinalized(int rank, int job, double now);
  void PmixFull(const std::string& host);

  const RunSettings& settings_;
  RunRanks& ranks_;
  RunEnd& end_;
  MpiLink& mpi_;
  SpawnedJobs& spawns_;
  AgentHub* hub_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_MPIWATCH_H
