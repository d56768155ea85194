// The agent's PMI-1 server: its host's ranks talk to it through the
// descriptors it hands them (PMI_FD); it answers their puts and gets from
// its own copy of the job's key/value space, and at a barrier sends the
// launcher only the puts of its ranks since the last one, once every rank
// of it has entered. The launcher's union of every host's puts releases
// them. Nothing here writes to the launcher: what is to be sent comes back
// as bytes, in order.
#ifndef TARVO_AGENT_AGENT_PMI_H
#define TARVO_AGENT_AGENT_PMI_H

#include <poll.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "pmi/pmi1_server.h"

class AgentPmi {
 public:
  /// The job, from the launcher's kAgentJob.
  explicit AgentPmi(const AgentOrder& job);

  /// Before rank's fork: the descriptor the child keeps (-1: none) and the
  /// variables it puts in its environment.
  int PrepareRank(int rank, std::vector<std::string>* env);
  /// After the fork (started or not).
  void RankStarted(int rank);
  /// A rank has ended: when it ended outside the barrier without finalize,
  /// the ranks that wait in it are reported from now on.
  void RankEnded(int rank, std::string* toLauncher);

  void Fds(std::vector<pollfd>* fds) const;
  /// What ready descriptors bring: replies go to the ranks, the fence, an
  /// abort and the waiting ranks into *toLauncher.
  void OnReady(const pollfd* fds, size_t count, std::string* toLauncher);
  /// The launcher's kAgentPmi1Barrier, then its kAgentFencePuts and
  /// kAgentFenceDone (of the first job's barrier without the first).
  void BarrierOf(int job) { unionJob_ = job; }
  void FencePuts(const std::map<std::string, std::string>& puts) { union_.insert(puts.begin(), puts.end()); }
  void FenceDone(std::string* toLauncher);

  /// A job that an MPICH rank spawned (kAgentPmi1Job): a server of its own
  /// for its processes on this host; answered by kAgentJobReady.
  void AddJob(const AgentOrder& job, std::string* toLauncher);
  /// Its processes, as PrepareRank, RankStarted and RankEnded for the
  /// first job's.
  int PrepareChild(int job, int rank, std::vector<std::string>* env);
  void ChildStarted(int job, int rank);
  void ChildEnded(int job, int rank, std::string* toLauncher);
  /// A rank's spawn (the ticket that its kAgentSpawn carried) answered:
  /// the new job's kvsname, or empty and why.
  void Spawned(int32_t ticket, const std::string& kvsname, const std::string& why, std::string* toLauncher);
  /// The launcher's answer to a rank's name request (a ticket below zero).
  void NameAnswer(int32_t ticket, pmi::NameTable::Status status, const std::vector<pmi::PublishedName>& found,
                  std::string* toLauncher);

 private:
  int ClientOf(int rank) const;
  void Take(const std::vector<pmi::ServerEvent>& events, std::string* toLauncher);
  // The events of spawned job `job`'s server.
  void TakeJob(int job, const std::vector<pmi::ServerEvent>& events, std::string* toLauncher);
  // The first job's ranks' spawns, to the launcher.
  void ForwardSpawns(std::string* toLauncher);
  void ReportWaiting(std::string* toLauncher);

  std::unique_ptr<pmi::Pmi1Server> server_;
  std::vector<int> ranks_;  // by client
  const int size_;
  std::map<std::string, std::string> union_;
  const int kvsLimitMiB_;
  bool culprit_ = false;  // a rank ended outside the barrier, unfinalized
  std::vector<int32_t> waitingSent_;
  std::map<int, std::string> verbs_;  // by client: its name request that waits for tarvo's answer
  // Jobs that ranks spawned: each one's server and its processes here
  // (by client); the job whose barrier's union comes (0: the first).
  struct Job {
    std::unique_ptr<pmi::Pmi1Server> server;
    std::vector<int> ranks;
    int size = 0;
  };
  std::map<int, Job> jobs_;
  int unionJob_ = 0;
  mutable std::vector<size_t> fdCounts_;  // by server (the first job's first): its descriptors in the last Fds
};

#endif  // TARVO_AGENT_AGENT_PMI_H
