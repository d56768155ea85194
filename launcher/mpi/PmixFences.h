// The PMIx fences that cross nodes, as tarvo gathers them: each node's
// part (tarvo's own from its relay, each agent's in frames) goes to the
// fence it is of, keyed by the job's namespace and the fence's ranks, and
// the data of all of them counts against the run's key-value bound. Fences
// of the same key (a node may send the next before the last is complete:
// PMIx_Fence_nb) are kept in order, each node's part going to the oldest it
// is not in yet, and are completed in that order. Which nodes a fence
// waits for is said by who holds the ranks (PmixNode::Release).
#ifndef TARVO_LAUNCHER_MPI_PMIXFENCES_H
#define TARVO_LAUNCHER_MPI_PMIXFENCES_H

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class PmixFences {
 public:
  struct Fence {
    std::string all;            // the union so far
    std::vector<char> agentIn;  // by agent: its part is in
    bool localIn = false;       // tarvo's own node's part is in
    bool over = false;          // over the bound: the fence fails
  };

  /// `agents` agents; `kvsLimit` bytes of the run's key-value space (0: no
  /// bound).
  PmixFences(int agents, std::size_t kvsLimit);

  /// tarvo's own node's part of the fence of `ranks` (none: the job's) of
  /// `nspace` (empty: the first job). True when it is the first part in
  /// the run to go over the bound (to be reported).
  bool LocalPart(const std::string& nspace, const std::vector<int>& ranks, const std::string& blob);
  /// An agent's next parts are of the fence of `ranks`, of `nspace`'s job.
  void AgentSet(int agent, const std::vector<int>& ranks);
  void AgentNspace(int agent, const std::string& nspace);
  /// The namespace that the agent named last, for its fetch; forgotten.
  std::string TakeAgentNspace(int agent);
  /// An agent's part: its bytes (true as LocalPart's), then its "done", or
  /// its "failed" (its node's blob alone is over the bound; true when that
  /// is the first fence in the run to go over).
  bool AgentPart(int agent, const std::string& bytes);
  void AgentDone(int agent);
  bool AgentFailed(int agent);

  /// For each key's oldest fence: `complete(nspace, ranks, fence)` says
  /// whether it is complete (and has sent it on); a complete one is taken
  /// out and the next of its key looked at. True when any was complete.
  using Completer = std::function<bool(const std::string& nspace, const std::vector<int>& ranks, const Fence& fence)>;
  bool TakeComplete(const Completer& complete);

 private:
  using Key = std::pair<std::string, std::vector<int>>;  // job's namespace (empty: the first), ranks
  // The fence of `key` that `node` (an agent, -1 tarvo's own) takes part
  // in next: the oldest it is not in yet.
  Fence& Of(const Key& key, int node);
  bool Add(Fence& fence, const std::string& bytes);
  bool Over(Fence& fence);
  // The agent's part is in: its set and namespace are forgotten.
  Fence& AgentIn(int agent);

  const std::size_t agents_;
  const std::size_t limit_;
  std::map<Key, std::deque<Fence>> fences_;
  std::vector<std::vector<int>> agentSet_;  // by agent: the fence its next parts are of
  std::vector<std::string> agentNspace_;    // by agent: that fence's spawned job, or its next fetch's
  std::size_t bytes_ = 0;     // the key-value space's bytes: the fences completed so far, and in flight
  bool overTold_ = false;     // a fence has gone over the bound in this run (it is reported once)
};

#endif  // TARVO_LAUNCHER_MPI_PMIXFENCES_H
