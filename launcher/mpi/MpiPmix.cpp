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

namespace {

std::unique_ptr<pmi::PmixRelay> (*makeRelay)(std::string* why) = nullptr;

}  // namespace

void MpiSetPmixMaker(std::unique_ptr<pmi::PmixRelay> (*make)(std::string* why)) { makeRelay = make; }

bool MpiHavePmix() { return makeRelay != nullptr; }

bool MpiServer::ServePmix(const pmi::PmixJob& job, std::string* why) {
  if (makeRelay == nullptr) {
    *why = "this build has no libpmix";
    return false;
  }
  std::set<std::string> nodes(job.hosts.begin(), job.hosts.end());
  if (!localRanks_.empty()) {
    pmix_ = makeRelay(why);
    if (pmix_ == nullptr) return false;
    // Jobs that ranks spawn run on tarvo's node: a run of one node takes them.
    if (nodes.size() == 1) pmix_->TakeSpawns();
    if (!pmix_->Start(job, nodes.size() > 1, why)) {
      pmix_.reset();
      return false;
    }
  }
  pmixOn_ = true;
  pmixJob_ = job;
  pmixAgentSet_.assign(agentIn_.size(), std::vector<int>());
  return true;
}

std::string MpiServer::PmixJobPayload(const std::string& host) const {
  AgentPmixJobHead head{size_};
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

bool MpiServer::AddSpawnedJob(int job, const pmi::PmixJob& facts, std::string* why) {
  if (pmix_ == nullptr) {
    *why = "no PMIx server runs";
    return false;
  }
  if (!pmix_->AddJob(facts, why)) return false;
  spawned_[job] = facts.nspace;
  return true;
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
      Connect(-1, n.ticket, std::move(n.ranks), n.disconnect);
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
      PmixFence& fence = Fence(n.ranks);
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
      PmixFetch(-1, n.rank, n.tag);
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
      status = names_.Lookup(ticket, r.keys, r.want, r.wait, &found);
      break;
    case pmi::PmixNameRequest::kUnpublish:
      status = names_.Unpublish(r.owner, r.keys);
      break;
  }
  if (status != pmi::NameTable::kWaits) AnswerNames(ticket, status, std::move(found));
  for (pmi::NameTable::Released& w : released) AnswerNames(w.ticket, pmi::NameTable::kDone, std::move(w.found));
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
  AgentConnectHead head;
  if (payload.size() < sizeof head) return;
  memcpy(&head, payload.data(), sizeof head);
  if (head.ranks < 0 || payload.size() != sizeof head + static_cast<size_t>(head.ranks) * sizeof(int32_t)) return;
  std::vector<int> ranks(static_cast<size_t>(head.ranks));
  for (size_t i = 0; i < ranks.size(); ++i) {
    int32_t r;
    memcpy(&r, payload.data() + sizeof head + i * sizeof r, sizeof r);
    ranks[i] = r;
  }
  Connect(agent, static_cast<uint32_t>(head.ticket), std::move(ranks), head.disconnect != 0);
}

void MpiServer::Connect(int node, uint64_t ticket, std::vector<int> ranks, bool disconnect) {
  std::sort(ranks.begin(), ranks.end());
  std::string key = disconnect ? "d" : "c";
  std::set<int> need;
  bool ok = !ranks.empty();
  for (int r : ranks) {
    key += " " + std::to_string(r);
    if (r < 0) {
      need.insert(agentOf_.begin(), agentOf_.end());
    } else if (r < size_) {
      need.insert(agentOf_[static_cast<size_t>(r)]);
    } else {
      ok = false;
    }
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

MpiServer::PmixFence& MpiServer::Fence(const std::vector<int>& ranks) {
  PmixFence& fence = pmixFences_[ranks];
  if (fence.agentIn.empty()) fence.agentIn.assign(pmixAgentSet_.size(), 0);
  return fence;
}

bool MpiServer::AgentPmixPart(int agent, const std::string& bytes) {
  return PmixAdd(Fence(pmixAgentSet_[static_cast<size_t>(agent)]), bytes);
}

void MpiServer::AgentPmixDone(int agent) {
  std::vector<int>& set = pmixAgentSet_[static_cast<size_t>(agent)];
  Fence(set).agentIn[static_cast<size_t>(agent)] = 1;
  set.clear();
}

bool MpiServer::AgentPmixFailed(int agent) {
  std::vector<int>& set = pmixAgentSet_[static_cast<size_t>(agent)];
  PmixFence& fence = Fence(set);
  fence.agentIn[static_cast<size_t>(agent)] = 1;
  set.clear();
  return PmixOver(fence);
}

void MpiServer::AgentPmixFetch(int agent, int rank, int tag) { PmixFetch(agent, rank, tag); }

void MpiServer::AgentPmixServed(int tag, int status, const std::string& data) { PmixAnswer(tag, status == 0, data); }

// Asks the host that holds `rank` for its data: tarvo's own server or the
// rank's agent; the answer goes back to `asker` with its tag.
void MpiServer::PmixFetch(int asker, int rank, int tag) {
  const int id = pmixNextFetch_++;
  pmixFetches_[id] = {asker, tag};
  const int holder = rank >= 0 && rank < size_ ? agentOf_[static_cast<size_t>(rank)] : -2;
  if (holder >= 0) {
    AgentPmixModex ask{rank, id, 0};
    pmixOut_.push_back(PmixSend{{holder}, AgentEncode(kAgentPmixServe, &ask, sizeof ask)});
  } else if (holder == -1 && pmix_ != nullptr) {
    pmix_->Serve(rank, id);
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
  const size_t limit = static_cast<size_t>(MpiKvsLimit()) << 20;
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
    const std::vector<int>& ranks = it->first;
    PmixFence& fence = it->second;
    // The nodes taking part: every one for the job's fence, else those
    // that hold its ranks.
    PmixSend send;
    bool local = pmix_ != nullptr && ranks.empty();
    for (size_t a = 0; a < pmixAgentSet_.size(); ++a) {
      if (ranks.empty()) send.agents.push_back(static_cast<int>(a));
    }
    for (int r : ranks) {
      if (r < 0 || r >= size_) continue;
      const int agent = agentOf_[static_cast<size_t>(r)];
      if (agent < 0) local = pmix_ != nullptr;
      else if (std::find(send.agents.begin(), send.agents.end(), agent) == send.agents.end()) send.agents.push_back(agent);
    }
    bool complete = (local || !send.agents.empty()) && (!local || fence.localIn);
    for (int a : send.agents) complete = complete && fence.agentIn[static_cast<size_t>(a)];
    if (!complete) {
      ++it;
      continue;
    }
    any = true;
    if (!send.agents.empty()) {
      send.frames = AgentEncodePmixSet(ranks);
      send.frames += fence.over ? AgentEncode(kAgentPmixFailed, nullptr, 0) : AgentEncodePmixFence(fence.all);
    }
    if (local) {
      if (fence.over) pmix_->FailFence(ranks);
      else pmix_->CompleteFence(ranks, fence.all);
    }
    if (!send.agents.empty()) out->push_back(std::move(send));
    it = pmixFences_.erase(it);
  }
  return any;
}
