// The run loop's side of the ranks' MPI server: the events that it has
// posted and not yet taken, and what it has for the agents after a change.
#ifndef TARVO_LAUNCHER_RUN_MPILINK_H
#define TARVO_LAUNCHER_RUN_MPILINK_H

#include <poll.h>

#include <vector>

#include "launcher/mpi/MpiServer.h"

class AgentHub;

namespace runloop {

class MpiLink {
 public:
  // `mpi` null: the run has no MPI service, and every call does nothing;
  // `hub` null: no agents.
  MpiLink(MpiServer* mpi, AgentHub* hub) : mpi_(mpi), hub_(hub) {}

  MpiServer* Server() const { return mpi_; }
  // Where the server posts its events.
  std::vector<MpiEvent>* Events() { return &events_; }
  // The events posted since the last call, after the server's timers.
  std::vector<MpiEvent> Take(double now);
  // The server's descriptors, polled: the events of those ready.
  void OnReady(const pollfd* fds, size_t count, double now);
  // What the server holds now, whatever the last poll saw: a rank's abort
  // is posted before the rank may exit, so once its end is reaped, its
  // abort is among these.
  void PollNow(double now);
  // The answers of the run's name table to agents' ranks, the PMIx
  // fences' data to the agents that wait for it and, once every host's
  // puts are in, the PMI-1 fence's union to every agent and tarvo's own
  // waiting ranks released.
  void Flush();

 private:
  MpiServer* mpi_;
  AgentHub* hub_;
  std::vector<MpiEvent> events_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_MPILINK_H
