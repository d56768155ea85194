// The launcher's names and connections for MPI programs: what an ended
// rank leaves in the run's name table (NameService) and in tarvo's PMIx
// server, and connects and disconnects whose ranks are on more than one
// node.
#include <algorithm>
#include <set>

#include "common/agent_wire.h"
#include "launcher/mpi/MpiServer.h"
#include "pmi/name_wire.h"
#include "pmi/spawn_wire.h"

void MpiServer::NamesEnded(int job, int rank) {
  // The rank spoke PMI-1 or PMIx: its owner name under each.
  std::vector<std::string> owners = {pmi::NameOwner(job == 0 ? kvsname_ : pmi1Jobs_.Kvsname(job), rank)};
  if (job == 0 && pmixOn_) owners.push_back(pmi::NameOwner(pmixJob_.nspace, rank));
  auto at = spawned_.find(job);
  if (job > 0 && at != spawned_.end()) owners.push_back(pmi::NameOwner(at->second, rank));
  for (const std::string& owner : owners) {
    // An agent forgets its own rank's waits; tarvo's relay, its own ranks'.
    names_.Drop(owner);
    if (pmix_ != nullptr) pmix_->DropNames(owner);
  }
}

void MpiServer::AgentConnect(int agent, const std::string& payload) {
  int32_t ticket = 0;
  bool disconnect = false;
  pmi::PmixCallbacks::Procs procs;
  if (!pmi::DecodeConnect(payload, &ticket, &disconnect, &procs)) return;
  Connect(agent, static_cast<uint32_t>(ticket), procs, disconnect);
}

// Processes named by namespace (empty or the first job's: the first job)
// and rank (-1: all of that job).
void MpiServer::Connect(int node, uint64_t ticket, const pmi::PmixCallbacks::Procs& procs, bool disconnect) {
  std::vector<std::pair<std::string, int>> sorted;
  for (const auto& p : procs) sorted.emplace_back(p.first == pmixJob_.nspace ? std::string() : p.first, p.second);
  std::sort(sorted.begin(), sorted.end());
  std::string key = disconnect ? "d" : "c";
  std::set<int> need;
  bool ok = !sorted.empty();
  for (const auto& p : sorted) {
    key += " " + p.first + ":" + std::to_string(p.second);
    if (p.second < 0) {
      if (p.first.empty()) {
        need.insert(agentOf_.begin(), agentOf_.end());
      } else {
        auto at = spawnedAgentOf_.find(p.first);
        if (at == spawnedAgentOf_.end()) ok = false;
        else need.insert(at->second.begin(), at->second.end());
      }
      continue;
    }
    const int holder = Holder(p.first, p.second);
    if (holder < -1) ok = false;
    else need.insert(holder);
  }
  auto answer = [this](int n, uint64_t t, bool done) {
    if (n < 0) {
      if (pmix_ != nullptr) pmix_->AnswerConnect(t, done);
      return;
    }
    AgentConnected c{static_cast<int32_t>(t), done ? 1 : 0};
    agentAnswers_.emplace_back(n, AgentEncode(kAgentConnected, &c, sizeof c));
  };
  if (!ok || need.count(node) == 0) {
    answer(node, ticket, false);
    return;
  }
  Connecting& c = connects_[key];
  c.need = need;
  c.in[node].push_back(ticket);
  for (int n : c.need) {
    if (c.in.count(n) == 0) return;
  }
  for (const auto& in : c.in) {
    for (uint64_t t : in.second) answer(in.first, t, true);
  }
  connects_.erase(key);
}
