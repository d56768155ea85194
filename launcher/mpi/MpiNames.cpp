// The launcher's names and connections for MPI programs: the run's one
// name table (MPI_Publish_name and the rest, from PMI-1 and PMIx ranks,
// tarvo's own and the agents'), and connects and disconnects whose ranks
// are on more than one node.
#include <algorithm>
#include <set>

#include "common/agent_wire.h"
#include "launcher/mpi/MpiServer.h"
#include "pmi/name_wire.h"
#include "pmi/spawn_wire.h"

// A name request of tarvo's own ranks.
void MpiServer::TakeNames(pmi::PmixNotice& n) { AskNameTable(n.ticket, n.names); }

void MpiServer::AgentNames(int agent, const std::string& payload) {
  int32_t ticket = 0;
  pmi::PmixNameRequest r;
  if (!pmi::DecodeNameRequest(payload, &ticket, &r)) return;
  AskNameTable((static_cast<uint64_t>(agent) + 1) << 32 | static_cast<uint32_t>(ticket), r);
}

// Answered from the run's table; a publish may also answer lookups that
// wait for its names, on any node.
void MpiServer::AskNameTable(uint64_t ticket, const pmi::PmixNameRequest& r) {
  std::vector<pmi::PublishedName> found;
  pmi::NameTable::Status status = pmi::NameTable::kNotFound;
  std::vector<pmi::NameTable::Released> released;
  switch (r.kind) {
    case pmi::PmixNameRequest::kPublish:
      status = names_.Publish(r.names, &released);
      break;
    case pmi::PmixNameRequest::kLookup:
      status = names_.Lookup(ticket, r.keys, r.want, r.wait, &found, r.owner);
      break;
    case pmi::PmixNameRequest::kUnpublish:
      status = names_.Unpublish(r.owner, r.keys);
      break;
  }
  if (status != pmi::NameTable::kWaits) AnswerNames(ticket, status, std::move(found));
  for (pmi::NameTable::Released& w : released) AnswerNames(w.ticket, pmi::NameTable::kDone, std::move(w.found));
}

void MpiServer::NamesEnded(int job, int rank) {
  // The rank spoke PMI-1 or PMIx: its owner name under each.
  std::vector<std::string> owners = {pmi::NameOwner(job == 0 ? kvsname_ : pmi1Jobs_.Kvsname(job), rank)};
  if (job == 0 && pmixOn_) owners.push_back(pmi::NameOwner(pmixJob_.nspace, rank));
  auto at = spawned_.find(job);
  if (job > 0 && at != spawned_.end()) owners.push_back(pmi::NameOwner(at->second, rank));
  for (const std::string& owner : owners) {
    // An agent forgets its own rank's waits; tarvo's relay, its own ranks'.
    names_.Drop(owner, nullptr);
    if (pmix_ != nullptr) pmix_->DropNames(owner);
  }
}

void MpiServer::AnswerNames(uint64_t ticket, pmi::NameTable::Status status, std::vector<pmi::PublishedName> found) {
  const uint64_t agent = ticket >> 32;
  if (agent == 0) {
    if (pmix_ != nullptr) pmix_->AnswerNames(ticket, status, std::move(found));
    return;
  }
  agentAnswers_.emplace_back(static_cast<int>(agent - 1),
                             pmi::EncodeNameAnswer(static_cast<int32_t>(ticket & 0xffffffffu), status, found));
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
