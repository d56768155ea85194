// The PMIx connects and disconnects whose processes are on more than one
// node: each node (tarvo's own through its relay, an agent in a
// kAgentConnect frame) says it is in; once every node that holds one of
// the processes is, each is answered.
#ifndef TARVO_LAUNCHER_MPI_PMIXCONNECTS_H
#define TARVO_LAUNCHER_MPI_PMIXCONNECTS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/mpi/PmixNode.h"

class PmixConnects {
 public:
  /// `node`: who holds each job's ranks, and the relay that tarvo's own
  /// node's answers go to; `toAgents`: where the frames for agents go
  /// (agent, frames).
  PmixConnects(PmixNode& node, std::vector<std::pair<int, std::string>>* toAgents)
      : node_(node), toAgents_(toAgents) {}

  /// A node (-1: tarvo's own, else an agent) is in the connect of `procs`
  /// (by namespace, empty or the first job's: the first job, and rank, -1:
  /// all of that job).
  void Connect(int node, uint64_t ticket, const pmi::PmixCallbacks::Procs& procs, bool disconnect);
  /// An agent's kAgentConnect (a malformed one is dropped).
  void AgentConnect(int agent, const std::string& payload);

 private:
  void Answer(int node, uint64_t ticket, bool done);

  struct Connecting {
    std::set<int> need;                       // the nodes
    std::map<int, std::vector<uint64_t>> in;  // node: its tickets
  };
  PmixNode& node_;
  std::vector<std::pair<int, std::string>>* const toAgents_;
  std::map<std::string, Connecting> connects_;  // by the connect's processes
};

#endif  // TARVO_LAUNCHER_MPI_PMIXCONNECTS_H
