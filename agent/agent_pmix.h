// The agent's PMIx server, for Open MPI's programs: started when the
// launcher sends the job (kAgentPmixJob), before the ranks. libpmix's
// thread hands this node's part of a fence and the aborts to the agent's
// loop through a descriptor; the launcher's union of every node's parts
// completes the fence. Without libpmix in the build, the agent takes the
// job and serves nothing. Nothing here writes to the launcher: what is to
// be sent comes back as bytes, in order.
#ifndef TARVO_AGENT_AGENT_PMIX_H
#define TARVO_AGENT_AGENT_PMIX_H

#include <poll.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "common/group_watcher.h"

namespace pmi {
class PmixRelay;
}

class AgentPmix {
 public:
  /// `kvsLimitMiB`: the bound of the run's key-value space (kAgentJob), in
  /// MiB: a node's blob over it fails the fence (0: none).
  explicit AgentPmix(int kvsLimitMiB);
  ~AgentPmix();
  /// The launcher's kAgentPmixJob, which only a run that serves PMIx
  /// sends: drops the agent's own PMIX_* variables (still one thread: the
  /// server's starts here) and starts the server, which serves nothing
  /// until then. False, with why, when it does not start.
  bool StartServer(const AgentOrder& job, std::string* why);
  bool Serving() const { return relay_ != nullptr; }
  /// Appends rank's PMIx variables to *env.
  void PrepareRank(int rank, std::vector<std::string>* env) const;
  /// A rank has ended: its name requests that wait are dropped, and one
  /// that ended after its init and before its finalize is reported (before
  /// its end).
  void RankEnded(int rank, std::string* toLauncher) const;

  void Fds(std::vector<pollfd>* fds) const;
  /// The fence's part and the aborts into *toLauncher.
  void OnReady(const pollfd* fds, size_t count, std::string* toLauncher);
  /// The launcher's kAgentPmixSet, kAgentPmixPart, kAgentPmixDone and
  /// kAgentPmixFailed: the parts, then the end, of the fence of the ranks
  /// that the set before them named (without one, the job's).
  void Set(const std::vector<int>& ranks) { set_ = ranks; }
  /// The launcher's kAgentPmixNspace: the next fence, serve or fetch answer
  /// is of that spawned job.
  void Nspace(const std::string& nspace) { nspace_ = nspace; }
  /// The launcher's kAgentSpawned: the answer to a rank's spawn.
  void Spawned(int32_t ticket, const std::string& nspace);
  /// The launcher's kAgentSpawnJob: registers the job (with none of its
  /// processes here, or some) before any of them starts; its kAgentJobReady
  /// into *toLauncher.
  void AddJob(const AgentOrder& job, std::string* toLauncher);
  /// A spawned job's process: its PMIx variables into *env.
  void PrepareChild(int job, int rank, std::vector<std::string>* env) const;
  /// A spawned job's process has ended: reported when after its init and
  /// before its finalize.
  void ChildEnded(int job, int rank, std::string* toLauncher) const;
  /// The launcher's kAgentPmixServe (the answer, kAgentPmixServed, comes
  /// through OnReady) and kAgentPmixFetched.
  void Serve(const AgentPmixModex& ask);
  void Fetched(const AgentPmixModex& answer, const std::string& data);
  void Part(const std::string& bytes);
  void Done();
  /// The launcher's kAgentNamesAnswer (a malformed one is dropped).
  void NamesAnswer(const std::string& payload);
  /// The launcher's kAgentConnected.
  void Connected(int32_t ticket, bool ok);
  void Fail();

 private:
  // Removes the server's directories when the agent is killed; destroyed
  // (told that all is well) after the relay, which removes them itself.
  GroupWatcher watcher_;
  std::unique_ptr<pmi::PmixRelay> relay_;
  std::string union_;
  std::vector<int> set_;  // the ranks of the fence that union_ is of; empty: the job's
  std::string nspace_;    // the spawned job of the next fence, serve or answer; empty: the first
  std::string first_;     // the first job's namespace
  std::map<std::string, int> jobOf_;   // spawned jobs by namespace
  std::map<int, std::string> nspaceOf_;
  const size_t limit_;
  bool over_ = false;  // union_ went over limit_: the fence fails
};

#endif  // TARVO_AGENT_AGENT_PMIX_H
