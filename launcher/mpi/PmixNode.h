// tarvo's node in the run's PMIx service, made when PMIx is served: its
// relay (the PMIx server of tarvo's own ranks; none when the agents hold
// every rank), the run's first job as the server was given it, and the
// spawned jobs registered since, with the agent that holds each of their
// ranks. The services that cross nodes (connects, the direct modex, the
// fences' release) ask it who holds a rank and answer tarvo's own ranks
// through its relay.
#ifndef TARVO_LAUNCHER_MPI_PMIXNODE_H
#define TARVO_LAUNCHER_MPI_PMIXNODE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "launcher/mpi/PmixFences.h"
#include "pmi/pmix_relay.h"

/// Makes the program's PMIx relays (pmi::LoadPmixRelay, when tarvo's build
/// has libpmix): null, with the reason, when its module cannot be loaded.
using PmixMaker = std::unique_ptr<pmi::PmixRelay> (*)(std::string* err);

/// What goes to which agents.
struct PmixSend {
  std::vector<int> agents;
  std::string frames;
};

/// A relay from `make`, started for `job` (spawns come to the run control;
/// fences, fetches and connects cross nodes when the job has more than
/// one): null, with *err, when it cannot be had or does not start.
std::unique_ptr<pmi::PmixRelay> StartPmixRelay(PmixMaker make, const pmi::PmixJob& job, std::string* err);

class PmixNode {
 public:
  /// `job`, whose ranks' agents are `agentOf` (-1: tarvo); `relay`: the
  /// server of tarvo's own ranks, started (null: tarvo has none).
  PmixNode(const pmi::PmixJob& job, const std::vector<int>& agentOf, std::unique_ptr<pmi::PmixRelay> relay);

  /// Null when tarvo has no ranks of its own.
  pmi::PmixRelay* Relay() const { return relay_.get(); }
  const pmi::PmixJob& Job() const { return job_; }
  /// The kAgentPmixJob payload for an agent whose node is `host`.
  std::string JobPayload(const std::string& host) const;

  /// A spawned job (numbered from 1), registered with the relay, if any,
  /// before any of its ranks starts; `agentOf` names the agent of each rank
  /// (-1: tarvo; empty: every rank is tarvo's).
  bool AddJob(int job, const pmi::PmixJob& facts, const std::vector<int>& agentOf, std::string* err);
  /// The spawned job of `nspace` (0: none or the first job's), and the
  /// namespace of spawned job `job` (empty: none).
  int JobOf(const std::string& nspace) const;
  std::string Nspace(int job) const;
  /// Who holds rank `rank` of `nspace` (empty or the first job's: the
  /// first job): an agent, -1 tarvo, -2 no one.
  int Holder(const std::string& nspace, int rank) const;
  /// The holder of every rank of `nspace`'s job (empty: the first job);
  /// null for a namespace it does not know.
  const std::vector<int>* Holders(const std::string& nspace) const;

  /// Whether fence `ranks` of `nspace` has every taking part node's part
  /// (`fence`): then it goes to them, the agents' frames into *out.
  bool Release(const std::string& nspace, const std::vector<int>& ranks, const PmixFences::Fence& fence,
               std::vector<PmixSend>* out);

 private:
  const pmi::PmixJob job_;
  const std::vector<int> agentOf_;
  const std::unique_ptr<pmi::PmixRelay> relay_;
  std::map<int, std::string> spawned_;                      // job: its namespace
  std::map<std::string, std::vector<int>> spawnedAgentOf_;  // namespace: the agent of each rank (-1: tarvo)
};

#endif  // TARVO_LAUNCHER_MPI_PMIXNODE_H
