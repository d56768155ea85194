// The launcher's PMI-1 service for MPI programs (pmi/ holds the protocol):
// the server of the ranks that tarvo starts itself (its own host's, or in
// rank mode every rank, those on other hosts through the TCP endpoint), and
// the fence between hosts. An agent answers its own host's ranks and, at a
// barrier, sends only its new puts; once every host's part is in, the union
// goes back to every agent and to tarvo's own ranks. The run control polls
// the server's descriptors in its one loop.
#ifndef TARVO_LAUNCHER_MPI_MPISERVER_H
#define TARVO_LAUNCHER_MPI_MPISERVER_H

#include <poll.h>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/mpi/MpiEvent.h"
#include "launcher/mpi/NameService.h"
#include "launcher/mpi/Pmi1Jobs.h"
#include "launcher/mpi/PmixFences.h"
#include "pmi/pmi1_server.h"
#include "pmi/pmix_relay.h"

/// How the TCP endpoint tells a host of the run (counting and reporting a
/// sender that is not) and counts a connection with a wrong PMI_ID.
class MpiSenders {
 public:
  virtual ~MpiSenders() = default;
  virtual bool Admit(const char* sender) = 0;
  virtual void CountStranger(const char* sender) = 0;
};

/// Makes the program's PMIx relays (pmi::LoadPmixRelay, when tarvo's build
/// has libpmix): null, with the reason, when its module cannot be loaded.
using PmixMaker = std::unique_ptr<pmi::PmixRelay> (*)(std::string* why);

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
  bool CanServePmix() const { return links_.makeRelay != nullptr; }

  /// The kAgentJob payload for `agent`.
  std::string JobPayload(int agent) const;
  /// Serves PMIx too (before any rank starts): `job` with `thisHost` the
  /// node of tarvo's own ranks; tarvo runs a server when it has ranks, and
  /// the agents' PMIx fences meet here. False, with why, when the server
  /// does not start (the run goes on without it).
  bool ServePmix(const pmi::PmixJob& job, std::string* why);
  bool ServesPmix() const { return pmixOn_; }
  /// The PMIx server's private directories (none without one).
  std::vector<std::string> PmixDirs() const {
    return pmix_ != nullptr ? pmix_->PrivateDirs() : std::vector<std::string>();
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
  bool AddSpawnedJob(int job, const pmi::PmixJob& facts, std::string* why, const std::vector<int>& agentOf = {});
  /// An agent's rank's kAgentSpawn: false when it is malformed, else the
  /// event, whose answer (AnswerSpawn) goes back to that agent.
  bool AgentSpawn(int agent, const std::string& payload, MpiEvent* out);
  /// An agent's kAgentPmixNspace: its next fence frames, or fetch, are of
  /// that spawned job.
  void AgentPmixNspace(int agent, const std::string& nspace);
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
  const std::string& LocalHost() const { return localHost_; }
  /// The run's first job, as the PMIx server was given it.
  const pmi::PmixJob& PmixJobFacts() const { return pmixJob_; }
  /// For a rank that tarvo starts: the descriptor its program keeps (-1:
  /// none) and the variables for its environment.
  int PrepareRank(int rank, std::vector<std::string>* env);
  void RankStarted(int rank);
  /// The TCP endpoint for ranks started through remote shells: carrier
  /// gives them PMI_PORT (the launcher's address, `port`), and their remote
  /// command PMI_ID (PmiId). `held` is a socket bound to `port` already (-1:
  /// none; the server owns it from here). Reported on standard error when
  /// the port cannot be had.
  void Listen(int port, int held);
  /// Rank's PMI_ID for the TCP endpoint: a random number of 31 bits, drawn
  /// once per rank, that no two ranks share; a connection must name it to
  /// take the rank.
  std::string PmiId(int rank);

  void Fds(std::vector<pollfd>* fds) const;
  void OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out);
  void Tick(double now);

  /// An agent's part of the fence: its puts, then its "done"; what it
  /// reports waiting in the barrier meanwhile.
  bool AgentPuts(int agent, const std::string& payload);
  void AgentDone(int agent, double now);
  void AgentWaiting(int agent, const std::vector<int>& ranks, double now);
  /// An agent's kAgentNames (malformed ones are dropped), answered from
  /// the run's table; the answers for agents wait in TakeAgentAnswers.
  void AgentNames(int agent, const std::string& payload) { names_.AgentAsk(agent, payload); }
  /// An agent's kAgentConnect (a malformed one is dropped).
  void AgentConnect(int agent, const std::string& payload);
  void TakeAgentAnswers(std::vector<std::pair<int, std::string>>* out) { out->swap(agentAnswers_); agentAnswers_.clear(); }
  /// An agent's part of a PMIx fence: the fence's ranks (none: the job's),
  /// its bytes, then its "done", or its "failed" (its node's blob alone is
  /// over the bound). The fences' data counts against the run's key-value
  /// space: past its bound the fence fails for every node in it and its
  /// data is dropped. True when this part is the first in the run to go
  /// over (to be reported).
  void AgentPmixSet(int agent, const std::vector<int>& ranks) { pmixFences_.AgentSet(agent, ranks); }
  bool AgentPmixPart(int agent, const std::string& bytes);
  void AgentPmixDone(int agent);
  bool AgentPmixFailed(int agent);
  /// The direct modex: agent's rank wants `rank`'s data (the agent's
  /// `tag`), and an agent's answer to a request of tarvo's. What goes to
  /// the agents comes out of TakePmixFences.
  void AgentPmixFetch(int agent, int rank, int tag);
  /// The spawned job of `nspace` (0: none or the first job's).
  int JobOf(const std::string& nspace) const;
  void AgentPmixServed(int tag, int status, const std::string& data);
  /// What goes to which agents (all of them for the job's fence, else
  /// those that hold ranks of the fence) once a fence is complete.
  struct PmixSend {
    std::vector<int> agents;
    std::string frames;
  };
  /// The PMIx fences that every node taking part is in: the union's frames
  /// for their agents into *out, and tarvo's own ranks released. False when
  /// none is complete.
  bool TakePmixFences(std::vector<PmixSend>* out);
  /// Once every host's part is in: the union (the frames for every agent
  /// into *frames), and tarvo's own waiting ranks are released. False while
  /// a part is missing.
  bool TakeFence(std::string* frames, std::vector<MpiEvent>* out);

  /// Since when each rank waits in the barrier (-1: it does not, or it is
  /// not known), filled in where *since says -1.
  void Waiting(std::vector<double>* since) const;

 private:
  void Take(std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out);
  void StampLocal(double now);
  void TakePmix(std::vector<MpiEvent>* out);
  // Who holds rank `rank` of `nspace` (empty: the first job): an agent, -1
  // tarvo, -2 no one.
  int Holder(const std::string& nspace, int rank) const;
  void AnswerPmixSpawn(uint64_t ticket, const std::string& nspace, const std::string& why);
  void PmixFetch(int asker, const std::string& nspace, int rank, int tag);
  void PmixAnswer(int id, bool ok, const std::string& data);

  // A node (-1: tarvo's own, else an agent) is in the connect of `ranks`;
  // once every node with ranks among them is, each is answered.
  void Connect(int node, uint64_t ticket, const pmi::PmixCallbacks::Procs& procs, bool disconnect);
  struct Connecting {
    std::set<int> need;                          // the nodes
    std::map<int, std::vector<uint64_t>> in;     // node: its tickets
  };
  std::map<std::string, Connecting> connects_;   // by the connect's ranks
  std::vector<std::pair<int, std::string>> agentAnswers_;  // (agent, frames) to send

  const MpiLinks links_;
  int size_ = 0;
  std::string kvsname_, mapping_;
  NameService names_;  // the run's published names, before the servers that answer from it
  std::vector<int> appnums_, agentOf_;
  std::vector<int> localRanks_;  // by client of server_
  std::vector<int> clientOf_;    // by rank, -1 for an agent's
  std::vector<std::string> pmiIds_;  // by rank, once drawn
  std::unique_ptr<pmi::Pmi1Server> server_;
  std::vector<double> since_;    // by rank
  std::vector<char> agentIn_;    // by agent: its part of the fence is in
  bool localIn_ = false;
  pmi::KeyValues union_;
  // PMIx
  bool pmixOn_ = false;
  pmi::PmixJob pmixJob_;
  std::unique_ptr<pmi::PmixRelay> pmix_;  // tarvo's own ranks' server, if any
  // The fences that cross nodes, in flight.
  PmixFences pmixFences_;
  // The direct modex's requests in flight, by tarvo's number: who asked
  // (an agent, -1: tarvo's own node) and the asker's tag.
  std::map<int, std::pair<int, int>> pmixFetches_;
  int pmixNextFetch_ = 0;
  std::vector<PmixSend> pmixOut_;  // for TakePmixFences
  // Whether fence `ranks` of `nspace` has every taking part node's part:
  // then it goes to them (the agents' frames into *out).
  bool SendIfComplete(const std::string& nspace, const std::vector<int>& ranks, const PmixFences::Fence& fence,
                      std::vector<PmixSend>* out);
  std::map<int, std::string> spawned_;  // job: its namespace
  std::map<std::string, std::vector<int>> spawnedAgentOf_;  // namespace: the agent of each rank (-1: tarvo)
  // The first job's server's descriptors in the last Fds (none yet: all);
  // events of answers given outside OnReady, for the next.
  mutable size_t firstFds_ = static_cast<size_t>(-1);
  std::vector<MpiEvent> later_;
  const std::string localHost_;
  Pmi1Jobs pmi1Jobs_;  // the jobs that MPICH's ranks spawn
};

#endif  // TARVO_LAUNCHER_MPI_MPISERVER_H
