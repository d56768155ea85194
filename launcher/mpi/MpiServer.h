// The launcher's MPI service for the ranks, which the run control polls in
// its one loop: the first job's PMI-1 server and its fence between hosts
// (FirstJobPmi1), MPICH's spawned jobs (Pmi1Jobs), the run's name table
// (NameService), the PMIx fences across nodes (PmixFences) and, once PMIx
// is served, tarvo's PMIx node (PmixNode) with the connects (PmixConnects)
// and the direct modex (PmixFetches) that cross nodes. MpiServer owns them
// and hands each request, frame and notice to the part that serves it.
#ifndef TARVO_LAUNCHER_MPI_MPISERVER_H
#define TARVO_LAUNCHER_MPI_MPISERVER_H

#include <poll.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "launcher/mpi/FirstJobPmi1.h"
#include "launcher/mpi/MpiEvent.h"
#include "launcher/mpi/NameService.h"
#include "launcher/mpi/Pmi1Jobs.h"
#include "launcher/mpi/PmixConnects.h"
#include "launcher/mpi/PmixFences.h"
#include "launcher/mpi/PmixFetches.h"
#include "launcher/mpi/PmixNode.h"
#include "pmi/pmix_relay.h"

/// What an MPI server takes of the run beside its job.
struct MpiLinks {
  MpiSenders* senders = nullptr;  // null: the TCP endpoint takes any sender
  int kvsLimitMiB = 0;            // the bound of the run's key-value space, in MiB (0: none)
  PmixMaker makeRelay = nullptr;  // null: no PMIx server runs
};

class MpiServer {
 public:
  /// The job: every rank's host (ranks share a node in the mapping when
  /// they share a host), each rank's appnum, and the agent that serves each
  /// rank (-1: tarvo itself) among `agents` agents.
  MpiServer(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums, const std::vector<int>& agentOf,
            int agents, const MpiLinks& links);

  /// Whether this server can serve PMIx (it has a relay maker).
  bool CanServePmix() const { return makeRelay_ != nullptr; }

  /// The kAgentJob payload for `agent`.
  std::string JobPayload(int agent) const { return first_.JobPayload(agent); }
  /// Serves PMIx too (before any rank starts): `job` with `thisHost` the
  /// node of tarvo's own ranks; tarvo runs a server when it has ranks, and
  /// the agents' PMIx fences meet here. False, with *err, when the server
  /// does not start (the run goes on without it).
  bool ServePmix(const pmi::PmixJob& job, std::string* err);
  bool ServesPmix() const { return pmix_ != nullptr; }
  /// The PMIx server's private directories (none without one).
  std::vector<std::string> PmixDirs() const {
    return Relay() != nullptr ? Relay()->PrivateDirs() : std::vector<std::string>();
  }
  /// The kAgentPmixJob payload for `agent`, whose node is `host`.
  std::string PmixJobPayload(const std::string& host) const;
  /// A rank of tarvo's own has ended (after RankStarted).
  void RankEnded(int rank, std::vector<MpiEvent>* out);
  /// Rank `rank` of spawned job `job` has ended.
  void SpawnedRankEnded(int job, int rank, std::vector<MpiEvent>* out);
  /// Rank `rank` of job `job` (0: the first), tarvo's or an agent's, has
  /// ended: the names it published and its lookups that wait are dropped,
  /// and what it still asks is refused.
  void NamesEnded(int job, int rank);
  /// A spawned job (numbered from 1, in order): registered with tarvo's
  /// PMIx server, if it runs, before any of its ranks starts; `agentOf`
  /// names the agent that starts each rank (-1: tarvo; empty: every rank
  /// is tarvo's), so that its fences, fetches and connects find their hosts.
  bool AddSpawnedJob(int job, const pmi::PmixJob& facts, std::string* err, const std::vector<int>& agentOf = {});
  /// An agent's rank's kAgentSpawn: false when it is malformed, else the
  /// event, whose answer (AnswerSpawn) goes back to that agent.
  bool AgentSpawn(int agent, const std::string& payload, MpiEvent* out);
  /// An agent's kAgentPmixNspace: its next fence frames, or fetch, are of
  /// that spawned job.
  void AgentPmixNspace(int agent, const std::string& nspace) { pmixFences_.AgentNspace(agent, nspace); }
  /// A spawned rank's PMIx environment.
  std::vector<std::string> SpawnedEnvironment(int job, int rank) const;
  /// The answer to a kSpawn event: the new job's namespace, or empty (and
  /// why, which a PMI-1 rank is told).
  void AnswerSpawn(uint64_t ticket, const std::string& nspace, const std::string& why = std::string());
  /// A job that a PMI-1 rank spawned (job numbered as AddSpawnedJob's): a
  /// PMI-1 server of its own for the processes on tarvo's host, whose
  /// key-value space holds the request's preput keys. `hosts` and `agentOf`
  /// (empty: every process is tarvo's, on its host) name each process's host
  /// and agent (-1: tarvo); the agents serve theirs, and the job's barrier
  /// crosses the hosts as the first job's, apart from it. Returns its
  /// kvsname, the same on every host.
  std::string AddPmi1Job(int job, const std::vector<int>& appnums, const pmi::PmixSpawnRequest& request,
                         const std::vector<std::string>& hosts = {}, const std::vector<int>& agentOf = {}) {
    return pmi1Jobs_.Add(job, appnums, request, hosts, agentOf);
  }
  /// An agent's kAgentPmi1Barrier: its next fence frames are of that job's.
  void AgentPmi1Barrier(int agent, int job) { pmi1Jobs_.AgentBarrier(agent, job); }
  /// For a rank of such a job: the descriptor its program keeps (-1: none)
  /// and the variables for its environment; then its start.
  int PrepareSpawned(int job, int rank, std::vector<std::string>* env) { return pmi1Jobs_.Prepare(job, rank, env); }
  void SpawnedStarted(int job, int rank) { pmi1Jobs_.Started(job, rank); }
  /// Rank `rank` of such a job has ended: its connection's close is taken.
  void Pmi1RankEnded(int job, int rank, std::vector<MpiEvent>* out) { pmi1Jobs_.Ended(job, rank, out); }
  /// The host of tarvo's own ranks, as the run names it (empty: none).
  const std::string& LocalHost() const { return first_.LocalHost(); }
  /// The run's first job, as the PMIx server was given it (an empty one
  /// while PMIx is not served).
  const pmi::PmixJob& PmixJobFacts() const;
  /// For a rank that tarvo starts: the descriptor its program keeps (-1:
  /// none) and the variables for its environment.
  int PrepareRank(int rank, std::vector<std::string>* env);
  void RankStarted(int rank) { first_.Started(rank); }
  /// The TCP endpoint for ranks started through remote shells: carrier
  /// gives them PMI_PORT (the launcher's address, `port`), and their remote
  /// command PMI_ID (PmiId). `held` is a socket bound to `port` already (-1:
  /// none; the server owns it from here). Reported on standard error when
  /// the port cannot be had.
  void Listen(int port, int held) { first_.Listen(port, held); }
  /// Rank's PMI_ID for the TCP endpoint: a random number of 31 bits, drawn
  /// once per rank, that no two ranks share; a connection must name it to
  /// take the rank.
  std::string PmiId(int rank) { return first_.PmiId(rank); }

  void Fds(std::vector<pollfd>* fds) const;
  void OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out);
  void Tick(double now) { first_.Tick(now); }

  /// An agent's part of the fence: its puts, then its "done"; what it
  /// reports waiting in the barrier meanwhile.
  bool AgentPuts(int agent, const std::string& payload);
  void AgentDone(int agent, double now);
  void AgentWaiting(int agent, const std::vector<int>& ranks, double now) { first_.AgentWaiting(agent, ranks, now); }
  /// An agent's kAgentNames (malformed ones are dropped), answered from
  /// the run's table; the answers for agents wait in TakeAgentAnswers.
  void AgentNames(int agent, const std::string& payload) { names_.AgentAsk(agent, payload); }
  /// An agent's kAgentConnect (a malformed one is dropped; so is every one
  /// while PMIx is not served, as no agent's rank speaks it then).
  void AgentConnect(int agent, const std::string& payload);
  void TakeAgentAnswers(std::vector<std::pair<int, std::string>>* out) { out->swap(agentAnswers_); agentAnswers_.clear(); }
  /// An agent's part of a PMIx fence: the fence's ranks (none: the job's),
  /// its bytes, then its "done", or its "failed" (its node's blob alone is
  /// over the bound). The fences' data counts against the run's key-value
  /// space: past its bound the fence fails for every node in it and its
  /// data is dropped. True when this part is the first in the run to go
  /// over (to be reported).
  void AgentPmixSet(int agent, const std::vector<int>& ranks) { pmixFences_.AgentSet(agent, ranks); }
  bool AgentPmixPart(int agent, const std::string& bytes) { return pmixFences_.AgentPart(agent, bytes); }
  void AgentPmixDone(int agent) { pmixFences_.AgentDone(agent); }
  bool AgentPmixFailed(int agent) { return pmixFences_.AgentFailed(agent); }
  /// The direct modex: agent's rank wants `rank`'s data (the agent's
  /// `tag`), and an agent's answer to a request of tarvo's. What goes to
  /// the agents comes out of TakePmixFences.
  void AgentPmixFetch(int agent, int rank, int tag);
  /// The spawned job of `nspace` (0: none or the first job's).
  int JobOf(const std::string& nspace) const { return pmix_ != nullptr ? pmix_->node.JobOf(nspace) : 0; }
  void AgentPmixServed(int tag, int status, const std::string& data);
  /// What goes to which agents (all of them for the job's fence, else
  /// those that hold ranks of the fence) once a fence is complete.
  using PmixSend = ::PmixSend;
  /// The PMIx fences that every node taking part is in: the union's frames
  /// for their agents into *out, and tarvo's own ranks released. False when
  /// none is complete.
  bool TakePmixFences(std::vector<PmixSend>* out);
  /// Once every host's part is in: the union (the frames for every agent
  /// into *frames), and tarvo's own waiting ranks are released. False while
  /// a part is missing.
  bool TakeFence(std::string* frames, std::vector<MpiEvent>* out) { return first_.TakeFence(frames, out); }

  /// Since when each rank waits in the barrier (-1: it does not, or it is
  /// not known), filled in where *since says -1.
  void Waiting(std::vector<double>* since) const { first_.Waiting(since); }

 private:
  // tarvo's PMIx node and the services across nodes that need it, made
  // together when PMIx is served.
  struct PmixParts {
    PmixParts(const pmi::PmixJob& job, const std::vector<int>& agentOf, std::unique_ptr<pmi::PmixRelay> relay,
              std::vector<std::pair<int, std::string>>* toAgents)
        : node(job, agentOf, std::move(relay)), connects(node, toAgents), fetches(node) {}
    PmixNode node;
    PmixConnects connects;
    PmixFetches fetches;
  };
  // tarvo's PMIx server (null: PMIx is not served, or tarvo has no ranks).
  pmi::PmixRelay* Relay() const { return pmix_ != nullptr ? pmix_->node.Relay() : nullptr; }
  // What tarvo's relay has brought: its node's part of a fence, requests,
  // aborts.
  void TakePmix(std::vector<MpiEvent>* out);

  const PmixMaker makeRelay_;
  std::vector<std::pair<int, std::string>> agentAnswers_;  // (agent, frames) to send
  std::vector<MpiEvent> later_;  // events of answers given outside OnReady, for the next
  NameService names_;  // the run's published names, before the servers that answer from it
  FirstJobPmi1 first_;
  Pmi1Jobs pmi1Jobs_;  // the jobs that MPICH's ranks spawn
  PmixFences pmixFences_;  // the PMIx fences that cross nodes, in flight
  std::unique_ptr<PmixParts> pmix_;
};

#endif  // TARVO_LAUNCHER_MPI_MPISERVER_H
