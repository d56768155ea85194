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
    // The run control places a spawned job (the spawn layer's starter says where).
    pmix_->TakeSpawns();
    if (!pmix_->Start(job, nodes.size() > 1, why)) {
      pmix_.reset();
      return false;
    }
  }
  pmixOn_ = true;
  pmixJob_ = job;
  pmixAgentSet_.assign(agentIn_.size(), std::vector<int>());
  pmixAgentNspace_.assign(agentIn_.size(), std::string());
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

void MpiServer::SpawnedRankEnded(int job, int rank, std::vector<MpiEvent>* out) {
  auto at = spawned_.find(job);
  if (at == spawned_.end() || pmix_ == nullptr || !pmix_->Unfinalized(at->second, rank)) return;
  MpiEvent e;
  e.kind = MpiEvent::kUnfinalized;
  e.job = job;
  e.rank = rank;
  out->push_back(e);
}

bool MpiServer::AddSpawnedJob(int job, const pmi::PmixJob& facts, std::string* why, const std::vector<int>& agentOf) {
  const bool ours = agentOf.empty() || std::find(agentOf.begin(), agentOf.end(), -1) != agentOf.end();
  if (pmix_ == nullptr && ours) {
    *why = "no PMIx server runs";
    return false;
  }
  // tarvo's server knows every job, its ranks' or not, as the agents' do.
  if (pmix_ != nullptr && !pmix_->AddJob(facts, why)) return false;
  spawned_[job] = facts.nspace;
  spawnedAgentOf_[facts.nspace] = agentOf.empty() ? std::vector<int>(facts.hosts.size(), -1) : agentOf;
  return true;
}

int MpiServer::JobOf(const std::string& nspace) const {
  for (const auto& s : spawned_) {
    if (!nspace.empty() && s.second == nspace) return s.first;
  }
  return 0;
}

bool MpiServer::AgentSpawn(int agent, const std::string& payload, MpiEvent* out) {
  int32_t ticket = 0;
  MpiEvent e;
  if (!pmi::DecodeSpawnRequest(payload, &ticket, &e.spawn)) return false;
  e.kind = MpiEvent::kSpawn;
  e.ticket = (static_cast<uint64_t>(agent) + 1) << 32 | static_cast<uint32_t>(ticket);
  *out = std::move(e);
  return true;
}

// An Open MPI rank's spawn: tarvo's own rank's through its PMIx server, an
// agent's rank's (the agent's number + 1 above the ticket's low half)
// through that agent.
void MpiServer::AnswerPmixSpawn(uint64_t ticket, const std::string& nspace, const std::string& why) {
  const uint64_t agent = ticket >> 32;
  if (agent == 0) {
    if (pmix_ != nullptr) pmix_->AnswerSpawn(ticket, nspace);
    return;
  }
  AgentSpawned head{static_cast<int32_t>(ticket & 0xffffffffu)};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += nspace.empty() && !why.empty() ? AgentStrings({nspace, why.substr(0, 255)}) : AgentStrings({nspace});
  agentAnswers_.emplace_back(static_cast<int>(agent - 1), AgentEncode(kAgentSpawned, payload.data(), payload.size()));
}

void MpiServer::AgentPmixNspace(int agent, const std::string& nspace) {
  if (static_cast<size_t>(agent) < pmixAgentNspace_.size()) pmixAgentNspace_[static_cast<size_t>(agent)] = nspace;
}

int MpiServer::Holder(const std::string& nspace, int rank) const {
  if (nspace.empty() || nspace == pmixJob_.nspace) return rank >= 0 && rank < size_ ? agentOf_[static_cast<size_t>(rank)] : -2;
  auto at = spawnedAgentOf_.find(nspace);
  if (at == spawnedAgentOf_.end() || rank < 0 || static_cast<size_t>(rank) >= at->second.size()) return -2;
  return at->second[static_cast<size_t>(rank)];
}

std::vector<std::string> MpiServer::SpawnedEnvironment(int job, int rank) const {
  auto at = spawned_.find(job);
  return at == spawned_.end() || pmix_ == nullptr ? std::vector<std::string>() : pmix_->Environment(at->second, rank);
}

// What tarvo's relay has brought: its node's part of a fence, aborts.
void MpiServer::TakePmix(std::vector<MpiEvent>* out) {
  std::vector<pmi::PmixNotice> notices;
  pmix_->Take(&notices);
  for (pmi::PmixNotice& n : notices) {
    if (n.kind == pmi::PmixNotice::kNames) {
      TakeNames(n);
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
      PmixFence& fence = Fence({n.nspace, n.ranks}, -1);
      fence.localIn = true;
      if (PmixAdd(fence, n.blob) && out != nullptr) {
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

// A name request of tarvo's own ranks.
void MpiServer::TakeNames(pmi::PmixNotice& n) { Names(n.ticket, n.names); }

void MpiServer::AgentNames(int agent, const std::string& payload) {
  int32_t ticket = 0;
  pmi::PmixNameRequest r;
  if (!pmi::DecodeNameRequest(payload, &ticket, &r)) return;
  Names((static_cast<uint64_t>(agent) + 1) << 32 | static_cast<uint32_t>(ticket), r);
}

// Answered from the run's table; a publish may also answer lookups that
// wait for its names, on any node.
void MpiServer::Names(uint64_t ticket, const pmi::PmixNameRequest& r) {
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
  std::vector<std::string> owners = {pmi::NameOwner(job == 0 ? kvsname_ : Pmi1Kvsname(job), rank)};
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

MpiServer::PmixFence& MpiServer::Fence(const FenceKey& key, int node) {
  std::deque<PmixFence>& fences = pmixFences_[key];
  for (PmixFence& fence : fences) {
    if (node < 0 ? !fence.localIn : !fence.agentIn[static_cast<size_t>(node)]) return fence;
  }
  fences.emplace_back();
  fences.back().agentIn.assign(pmixAgentSet_.size(), 0);
  return fences.back();
}

bool MpiServer::AgentPmixPart(int agent, const std::string& bytes) {
  const size_t a = static_cast<size_t>(agent);
  return PmixAdd(Fence({pmixAgentNspace_[a], pmixAgentSet_[a]}, agent), bytes);
}

void MpiServer::AgentPmixDone(int agent) {
  const size_t a = static_cast<size_t>(agent);
  Fence({pmixAgentNspace_[a], pmixAgentSet_[a]}, agent).agentIn[a] = 1;
  pmixAgentSet_[a].clear();
  pmixAgentNspace_[a].clear();
}

bool MpiServer::AgentPmixFailed(int agent) {
  const size_t a = static_cast<size_t>(agent);
  PmixFence& fence = Fence({pmixAgentNspace_[a], pmixAgentSet_[a]}, agent);
  fence.agentIn[a] = 1;
  pmixAgentSet_[a].clear();
  pmixAgentNspace_[a].clear();
  return PmixOver(fence);
}

void MpiServer::AgentPmixFetch(int agent, int rank, int tag) {
  std::string& nspace = pmixAgentNspace_[static_cast<size_t>(agent)];
  PmixFetch(agent, nspace, rank, tag);
  nspace.clear();
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

bool MpiServer::PmixAdd(PmixFence& fence, const std::string& bytes) {
  if (fence.over) return false;
  const size_t limit = static_cast<size_t>(links_.kvsLimitMiB) << 20;
  if (limit == 0 || pmixHeld_ + bytes.size() <= limit) {
    fence.all += bytes;
    pmixHeld_ += bytes.size();
    return false;
  }
  return PmixOver(fence);
}

bool MpiServer::PmixOver(PmixFence& fence) {
  if (fence.over) return false;
  fence.over = true;
  pmixHeld_ -= fence.all.size();
  fence.all = std::string();
  const bool first = !pmixSaid_;
  pmixSaid_ = true;
  return first;
}

bool MpiServer::TakePmixFences(std::vector<PmixSend>* out) {
  if (!pmixOn_) return false;
  bool any = !pmixOut_.empty();
  for (PmixSend& send : pmixOut_) out->push_back(std::move(send));
  pmixOut_.clear();
  for (auto it = pmixFences_.begin(); it != pmixFences_.end();) {
    if (it->second.empty()) {
      it = pmixFences_.erase(it);
      continue;
    }
    const std::string& nspace = it->first.first;
    const std::vector<int>& ranks = it->first.second;
    // The oldest of these ranks' fences first: the next waits for it.
    PmixFence& fence = it->second.front();
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
      for (size_t a = 0; a < pmixAgentSet_.size(); ++a) send.agents.push_back(static_cast<int>(a));
    } else if (ranks.empty()) {
      for (int h : holders) take(h);
    }
    for (int r : ranks) {
      if (r >= 0 && static_cast<size_t>(r) < holders.size()) take(holders[static_cast<size_t>(r)]);
    }
    bool complete = (local || !send.agents.empty()) && (!local || fence.localIn);
    for (int a : send.agents) complete = complete && fence.agentIn[static_cast<size_t>(a)];
    if (!complete) {
      ++it;
      continue;
    }
    any = true;
    if (!send.agents.empty()) {
      send.frames = AgentEncodePmixNspace(nspace) + AgentEncodePmixSet(ranks);
      send.frames += fence.over ? AgentEncode(kAgentPmixFailed, nullptr, 0) : AgentEncodePmixFence(fence.all);
    }
    if (local) {
      if (fence.over) pmix_->FailFence(nspace, ranks);
      else pmix_->CompleteFence(nspace, ranks, fence.all);
    }
    if (!send.agents.empty()) out->push_back(std::move(send));
    it->second.pop_front();  // the next of the same ranks is looked at again
  }
  return any;
}
