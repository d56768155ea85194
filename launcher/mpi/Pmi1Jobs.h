// The jobs that MPICH's ranks spawn (PMI-1's spawn): each job has a PMI-1
// server of its own for its processes on tarvo's host, a kvsname of its
// own, and a barrier across its hosts apart from the first job's: the
// agents with processes of it send their parts, tarvo's server its own,
// and once every host is in, the union goes back to each.
#ifndef TARVO_LAUNCHER_MPI_PMI1JOBS_H
#define TARVO_LAUNCHER_MPI_PMI1JOBS_H

#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/mpi/MpiEvent.h"
#include "pmi/name_table.h"
#include "pmi/pmi1_server.h"

/// A PMI-1 spawn's ticket: the job of the asking rank's server and its
/// client, apart from the PMIx relay's tickets.
uint64_t Pmi1Ticket(int job, int client);
bool IsPmi1Ticket(uint64_t ticket);
int Pmi1TicketJob(uint64_t ticket);
int Pmi1TicketClient(uint64_t ticket);
/// The spawns that job `job`'s server has taken, as kSpawn events.
std::vector<MpiEvent> Pmi1SpawnEvents(int job, pmi::Pmi1Server& server);

class Pmi1Jobs {
 public:
  /// `kvsname`: the first job's (job k's is it and "_k"); `localHost`:
  /// the host of tarvo's own ranks; `kvsLimitMiB`: the bound of each job's
  /// key-value space; `names`: the run's name table, which the servers
  /// answer from; `toAgents`: where the frames for agents go (agent,
  /// frames); `later`: where the events of answers given outside OnReady
  /// wait for the next.
  Pmi1Jobs(std::string kvsname, std::string localHost, int kvsLimitMiB, pmi::NameTable* names,
           std::vector<std::pair<int, std::string>>* toAgents, std::vector<MpiEvent>* later);

  std::string Kvsname(int job) const { return kvsname_ + "_" + std::to_string(job); }
  /// Job `job` (numbered as the spawned PMIx jobs): its processes' appnums,
  /// the request's preput keys, and each process's host and agent (empty:
  /// every process is tarvo's, on its host). Returns its kvsname.
  std::string Add(int job, const std::vector<int>& appnums, const pmi::PmixSpawnRequest& request,
                  const std::vector<std::string>& hosts, const std::vector<int>& agentOf);
  /// For a process of tarvo's: the descriptor it keeps (-1: none) and its
  /// variables; then its start, and its end.
  int Prepare(int job, int rank, std::vector<std::string>* env);
  void Started(int job, int rank);
  void Ended(int job, int rank, std::vector<MpiEvent>* out);

  /// An agent's kAgentPmi1Barrier: its next fence frames are of that job's.
  void AgentBarrier(int agent, int job) { agentJob_[agent] = job; }
  /// Whether the agent's fence frames are a spawned job's: then its puts
  /// are taken here (*ok: they were well-formed), and its "done".
  bool AgentPuts(int agent, const std::string& payload, bool* ok);
  bool AgentDone(int agent);

  void Fds(std::vector<pollfd>* fds) const;
  void OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out);
  /// The answer to a spawn of a process of job `job` (its server's
  /// `client`): the new job's name, or empty and why.
  void AnswerSpawn(int job, int client, const std::string& nspace, const std::string& why);

 private:
  // By job: its size, its processes on tarvo's host, the agents with
  // processes of it, the hosts whose part of its barrier is in, and the
  // union so far.
  struct Fence {
    int size = 0;
    std::vector<int> ranks;  // by client of its server on tarvo's host
    std::set<int> agents, in;
    bool localIn = false;
    pmi::KeyValues all;
  };
  // The events of job `job`'s server.
  void Take(int job, std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out);
  // Once every host of the job is in its barrier: the union to its agents,
  // and its waiting processes on tarvo's host released (their events into
  // *events, else later_).
  void FenceIfComplete(int job, std::vector<pmi::ServerEvent>* events);
  int Client(int job, int rank) const;

  const std::string kvsname_;
  const std::string localHost_;
  const int kvsLimitMiB_;
  pmi::NameTable* const names_;
  std::vector<std::pair<int, std::string>>* const toAgents_;
  std::vector<MpiEvent>* const later_;
  std::map<int, std::unique_ptr<pmi::Pmi1Server>> servers_;
  std::map<int, Fence> fences_;
  std::map<int, int> agentJob_;  // by agent: the job its fence frames are of (0 or none: the first)
  mutable std::vector<size_t> fdCounts_;  // by server: its descriptors in the last Fds
};

#endif  // TARVO_LAUNCHER_MPI_PMI1JOBS_H
