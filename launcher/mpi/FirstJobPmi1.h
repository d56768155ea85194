// The run's first job's PMI-1 service: the server of the ranks that tarvo
// starts itself (its own host's, or in rank mode every rank, those on
// other hosts through the TCP endpoint), and the fence between hosts. An
// agent answers its own host's ranks and, at a barrier, sends only its new
// puts; once every host's part is in, the union goes back to every agent
// and to tarvo's own ranks.
#ifndef TARVO_LAUNCHER_MPI_FIRSTJOBPMI1_H
#define TARVO_LAUNCHER_MPI_FIRSTJOBPMI1_H

#include <poll.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "launcher/mpi/MpiEvent.h"
#include "pmi/name_table.h"
#include "pmi/pmi1_server.h"

/// How the TCP endpoint tells a host of the run (counting and reporting a
/// sender that is not) and counts a connection with a wrong PMI_ID.
class MpiSenders {
 public:
  virtual ~MpiSenders() = default;
  virtual bool Admit(const char* sender) = 0;
  virtual void CountStranger(const char* sender) = 0;
};

class FirstJobPmi1 {
 public:
  /// The job: every rank's host (ranks share a node in the mapping when
  /// they share a host), each rank's appnum, and the agent that serves each
  /// rank (-1: tarvo itself) among `agents` agents. `senders`: who may
  /// reach the TCP endpoint (null: any sender); `kvsLimitMiB`: the bound of
  /// the key-value space (0: none); `names`: the run's name table, which
  /// the server answers from; `later`: where the events of answers given
  /// outside OnReady wait for the next.
  FirstJobPmi1(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums,
               const std::vector<int>& agentOf, int agents, MpiSenders* senders, int kvsLimitMiB,
               pmi::NameTable* names, std::vector<MpiEvent>* later);

  const std::string& Kvsname() const { return kvsname_; }
  /// The host of tarvo's own ranks, as the run names it (empty: none).
  const std::string& LocalHost() const { return localHost_; }
  /// The agent of each rank (-1: tarvo).
  const std::vector<int>& AgentOf() const { return agentOf_; }
  bool HasOwnRanks() const { return !localRanks_.empty(); }

  /// The kAgentJob payload for `agent`.
  std::string JobPayload(int agent) const;
  /// For a rank that tarvo starts: the descriptor its program keeps (-1:
  /// none) and the variables for its environment; then its start, and its
  /// end (its connection's close is taken).
  int Prepare(int rank, std::vector<std::string>* env);
  void Started(int rank);
  void Ended(int rank, std::vector<MpiEvent>* out);
  /// The TCP endpoint (see MpiServer::Listen) and each rank's PMI_ID.
  void Listen(int port, int held);
  std::string PmiId(int rank);

  void Fds(std::vector<pollfd>* fds) const;
  /// How many descriptors the last Fds put (none yet: all).
  std::size_t FdCount() const { return fdCount_; }
  /// Its descriptors, as the last Fds put them: the server's events, and
  /// its ranks' spawns (refused as "not_now" when `out` is null).
  void OnReady(const pollfd* fds, std::size_t count, double now, std::vector<MpiEvent>* out);
  void Tick(double now);
  /// The answer to a spawn of its server's `client`: the new job's name,
  /// or empty and why.
  void AnswerSpawn(int client, const std::string& nspace, const std::string& why);

  /// An agent's part of the fence: its puts, then its "done"; what it
  /// reports waiting in the barrier meanwhile.
  bool AgentPuts(const std::string& payload);
  void AgentDone(int agent, double now);
  void AgentWaiting(int agent, const std::vector<int>& ranks, double now);
  /// Once every host's part is in: the union (the frames for every agent
  /// into *frames), and tarvo's own waiting ranks are released. False while
  /// a part is missing.
  bool TakeFence(std::string* frames, std::vector<MpiEvent>* out);
  /// Since when each rank waits in the barrier (-1: it does not, or it is
  /// not known), filled in where *since says -1.
  void Waiting(std::vector<double>* since) const;

 private:
  // The fence between hosts so far.
  struct Fence {
    std::vector<char> agentIn;  // by agent: its part is in
    bool localIn = false;       // tarvo's own ranks' part is in
    pmi::KeyValues all;         // the union
  };
  // The server of tarvo's own ranks (made once the facts it takes are).
  pmi::Pmi1Server* NewServer(int agents, pmi::NameTable* names) const;
  void Take(std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out);
  void StampLocal(double now);

  MpiSenders* const senders_;
  const int kvsLimitMiB_;
  const int size_;
  const std::string kvsname_, mapping_;
  const std::vector<int> appnums_, agentOf_;
  const std::string localHost_;
  std::vector<MpiEvent>* const later_;
  const std::vector<int> localRanks_;  // by client of server_
  const std::vector<int> clientOf_;    // by rank, -1 for an agent's
  const std::unique_ptr<pmi::Pmi1Server> server_;
  std::vector<std::string> pmiIds_;  // by rank, once drawn
  std::vector<double> since_;        // by rank
  Fence fence_;
  mutable std::size_t fdCount_ = static_cast<std::size_t>(-1);
};

#endif  // TARVO_LAUNCHER_MPI_FIRSTJOBPMI1_H
