// The launcher's PMIx service, beside its PMI-1 one: tarvo's own ranks'
// server (a relay around libpmix's, when tarvo's build has it), and the
// fence of the job's nodes: each agent's part comes in kAgentPmixPart
// frames, tarvo's own from its relay; once every node's is in, the
// concatenation goes to every agent and to tarvo's own ranks.
#include <algorithm>
#include <cstring>
#include <set>

#include "common/agent_wire.h"
#include "launcher/mpi/MpiServer.h"
#include "pmi/name_wire.h"
#include "pmi/spawn_wire.h"

bool MpiServer::ServePmix(const pmi::PmixJob& job, std::string* why) {
  if (links_.makeRelay == nullptr) {
    *why = "this build has no libpmix";
    return false;
  }
  std::set<std::string> nodes(job.hosts.begin(), job.hosts.end());
  if (!localRanks_.empty()) {
    pmix_ = links_.makeRelay(why);
    if (pmix_ == nullptr) return false;
    // Spawns come too: the run control places a spawned job (the spawn
    // layer's starter says where).
    if (!pmix_->Start(job, pmi::PmixReach{nodes.size() > 1, true}, why)) {
      pmix_.reset();
      return false;
    }
  }
  pmixOn_ = true;
  pmixJob_ = job;
  return true;
}

std::string MpiServer::PmixJobPayload(const std::string& host) const {
  AgentPmixJobHead head{size_, pmixJob_.universe};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  for (int rank = 0; rank < size_; ++rank) {
    const int32_t appnum = pmixJob_.appnums.empty() ? 0 : pmixJob_.appnums[static_cast<size_t>(rank)];
    payload.append(reinterpret_cast<const char*>(&appnum), sizeof appnum);
  }
  std::vector<std::string> strings = {pmixJob_.nspace, host};
  strings.insert(strings.end(), pmixJob_.hosts.begin(), pmixJob_.hosts.end());
  return payload + AgentStrings(strings);
}

void MpiServer::RankEnded(int rank, std::vector<MpiEvent>* out) {
  if (rank >= 0 && rank < size_ && clientOf_[static_cast<size_t>(rank)] >= 0) {
    std::vector<pmi::ServerEvent> events;
    server_->ClientEnded(clientOf_[static_cast<size_t>(rank)], &events);
    Take(events, out);
  }
  if (pmix_ == nullptr || !pmix_->Unfinalized(rank)) return;
  MpiEvent e;
  e.kind = MpiEvent::kUnfinalized;
  e.rank = rank;
  out->push_back(e);
}

void MpiServer::AgentPmixNspace(int agent, const std::string& nspace) {
  pmixFences_.AgentNspace(agent, nspace);
}

int MpiServer::Holder(const std::string& nspace, int rank) const {
  if (nspace.empty() || nspace == pmixJob_.nspace) return rank >= 0 && rank < size_ ? agentOf_[static_cast<size_t>(rank)] : -2;
  auto at = spawnedAgentOf_.find(nspace);
  if (at == spawnedAgentOf_.end() || rank < 0 || static_cast<size_t>(rank) >= at->second.size()) return -2;
  return at->second[static_cast<size_t>(rank)];
}

// What tarvo's relay has brought: its node's part of a fence, aborts.
void MpiServer::TakePmix(std::vector<MpiEvent>* out) {
  std::vector<pmi::PmixNotice> notices;
  pmix_->Take(&notices);
  for (pmi::PmixNotice& n : notices) {
    if (n.kind == pmi::PmixNotice::kNames) {
      names_.Ask(n.ticket, n.names);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kConnect) {
      pmi::PmixCallbacks::Procs procs = n.procs;
      for (int r : n.ranks) procs.emplace_back(std::string(), r);
      Connect(-1, n.ticket, procs, n.disconnect);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kSpawn) {
      MpiEvent e;
      e.kind = MpiEvent::kSpawn;
      e.ticket = n.ticket;
      e.spawn = std::move(n.spawn);
      if (out != nullptr) out->push_back(std::move(e));
      else pmix_->AnswerSpawn(n.ticket, std::string());
      continue;
    }
    if (n.kind == pmi::PmixNotice::kFence) {
      if (pmixFences_.LocalPart(n.nspace, n.ranks, n.blob) && out != nullptr) {
        MpiEvent e;
        e.kind = MpiEvent::kPmixFull;
        e.text = pmixJob_.thisHost;
        out->push_back(e);
      }
      continue;
    }
    if (n.kind == pmi::PmixNotice::kFetch) {
      PmixFetch(-1, n.nspace, n.rank, n.tag);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kServed) {
      PmixAnswer(n.tag, n.status == 0, n.blob);
      continue;
    }
    MpiEvent e;
    e.kind = MpiEvent::kAbort;
    for (const auto& s : spawned_) {
      if (!n.nspace.empty() && s.second == n.nspace) e.job = s.first;
    }
    if (!n.nspace.empty() && e.job == 0) continue;
    e.rank = n.rank;
    e.exitCode = n.status;
    if (out != nullptr) out->push_back(e);
  }
}

bool MpiServer::AgentPmixPart(int agent, const std::string& bytes) { return pmixFences_.AgentPart(agent, bytes); }

void MpiServer::AgentPmixDone(int agent) { pmixFences_.AgentDone(agent); }

bool MpiServer::AgentPmixFailed(int agent) { return pmixFences_.AgentFailed(agent); }

void MpiServer::AgentPmixFetch(int agent, int rank, int tag) {
  PmixFetch(agent, pmixFences_.TakeAgentNspace(agent), rank, tag);
}

void MpiServer::AgentPmixServed(int tag, int status, const std::string& data) { PmixAnswer(tag, status == 0, data); }

// Asks the host that holds `rank` for its data: tarvo's own server or the
// rank's agent; the answer goes back to `asker` with its tag.
void MpiServer::PmixFetch(int asker, const std::string& nspace, int rank, int tag) {
  const int id = pmixNextFetch_++;
  pmixFetches_[id] = {asker, tag};
  const std::string ns = nspace == pmixJob_.nspace ? std::string() : nspace;
  const int holder = Holder(ns, rank);
  if (holder >= 0) {
    AgentPmixModex ask{rank, id, 0};
    pmixOut_.push_back(PmixSend{{holder}, AgentEncodePmixNspace(ns) + AgentEncode(kAgentPmixServe, &ask, sizeof ask)});
  } else if (holder == -1 && pmix_ != nullptr) {
    pmix_->Serve(ns, rank, id);
  } else {
    PmixAnswer(id, false, std::string());
  }
}

void MpiServer::PmixAnswer(int id, bool ok, const std::string& data) {
  auto it = pmixFetches_.find(id);
  if (it == pmixFetches_.end()) return;
  const int asker = it->second.first;
  const int tag = it->second.second;
  pmixFetches_.erase(it);
  if (asker >= 0) {
    pmixOut_.push_back(PmixSend{{asker}, AgentEncodePmixServed(tag, ok ? 0 : 1, data, kAgentPmixFetched)});
  } else if (pmix_ != nullptr) {
    pmix_->CompleteFetch(tag, ok, data);
  }
}

bool MpiServer::TakePmixFences(std::vector<PmixSend>* out) {
  if (!pmixOn_) return false;
  bool any = !pmixOut_.empty();
  for (PmixSend& send : pmixOut_) out->push_back(std::move(send));
  pmixOut_.clear();
  auto complete = [this, out](const std::string& nspace, const std::vector<int>& ranks, const PmixFences::Fence& fence) {
    return SendIfComplete(nspace, ranks, fence, out);
  };
  return pmixFences_.TakeComplete(complete) || any;
}

bool MpiServer::SendIfComplete(const std::string& nspace, const std::vector<int>& ranks,
                               const PmixFences::Fence& fence, std::vector<PmixSend>* out) {
  // The nodes taking part: every one for the first job's whole fence,
  // every one that holds ranks of a spawned job for its whole fence,
  // else those that hold the fence's ranks.
  PmixSend send;
  std::vector<int> holders;
  if (nspace.empty()) {
    holders = agentOf_;
  } else {
    auto at = spawnedAgentOf_.find(nspace);
    if (at != spawnedAgentOf_.end()) holders = at->second;
  }
  bool local = false;
  auto take = [&](int holder) {
    if (holder < 0) local = pmix_ != nullptr;
    else if (std::find(send.agents.begin(), send.agents.end(), holder) == send.agents.end()) send.agents.push_back(holder);
  };
  if (ranks.empty() && nspace.empty()) {
    local = pmix_ != nullptr;
    for (size_t a = 0; a < agentIn_.size(); ++a) send.agents.push_back(static_cast<int>(a));
  } else if (ranks.empty()) {
    for (int h : holders) take(h);
  }
  for (int r : ranks) {
    if (r >= 0 && static_cast<size_t>(r) < holders.size()) take(holders[static_cast<size_t>(r)]);
  }
  bool complete = (local || !send.agents.empty()) && (!local || fence.localIn);
  for (int a : send.agents) complete = complete && fence.agentIn[static_cast<size_t>(a)];
  if (!complete) return false;
  if (!send.agents.empty()) {
    send.frames = AgentEncodePmixNspace(nspace) + AgentEncodePmixSet(ranks);
    send.frames += fence.over ? AgentEncode(kAgentPmixFailed, nullptr, 0) : AgentEncodePmixFence(fence.all);
  }
  if (local) {
    if (fence.over) pmix_->FailFence(nspace, ranks);
    else pmix_->CompleteFence(nspace, ranks, fence.all);
  }
  if (!send.agents.empty()) out->push_back(std::move(send));
  return true;
}
