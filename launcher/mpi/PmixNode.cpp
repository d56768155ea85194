#include "launcher/mpi/PmixNode.h"

#include <algorithm>
#include <set>

#include "common/agent_wire.h"

std::unique_ptr<pmi::PmixRelay> StartPmixRelay(PmixMaker make, const pmi::PmixJob& job, std::string* err) {
  std::unique_ptr<pmi::PmixRelay> relay = make(err);
  if (relay == nullptr) return nullptr;
  const std::set<std::string> nodes(job.hosts.begin(), job.hosts.end());
  // Spawns come too: the run control places a spawned job (the spawn
  // layer's starter says where).
  if (!relay->Start(job, pmi::PmixReach{nodes.size() > 1, true}, err)) return nullptr;
  return relay;
}

PmixNode::PmixNode(const pmi::PmixJob& job, const std::vector<int>& agentOf, std::unique_ptr<pmi::PmixRelay> relay)
    : job_(job), agentOf_(agentOf), relay_(std::move(relay)) {}

std::string PmixNode::JobPayload(const std::string& host) const {
  const int size = static_cast<int>(agentOf_.size());
  AgentPmixJobHead head{size, job_.universe};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  for (int rank = 0; rank < size; ++rank) {
    const int32_t appnum = job_.appnums.empty() ? 0 : job_.appnums[static_cast<size_t>(rank)];
    payload.append(reinterpret_cast<const char*>(&appnum), sizeof appnum);
  }
  std::vector<std::string> strings = {job_.nspace, host};
  strings.insert(strings.end(), job_.hosts.begin(), job_.hosts.end());
  return payload + AgentStrings(strings);
}

bool PmixNode::AddJob(int job, const pmi::PmixJob& facts, const std::vector<int>& agentOf, std::string* err) {
  const bool ours = agentOf.empty() || std::find(agentOf.begin(), agentOf.end(), -1) != agentOf.end();
  if (relay_ == nullptr && ours) {
    *err = "no PMIx server runs";
    return false;
  }
  // tarvo's server knows every job, its ranks' or not, as the agents' do.
  if (relay_ != nullptr && !relay_->AddJob(facts, err)) return false;
  spawned_[job] = facts.nspace;
  spawnedAgentOf_[facts.nspace] = agentOf.empty() ? std::vector<int>(facts.hosts.size(), -1) : agentOf;
  return true;
}

int PmixNode::JobOf(const std::string& nspace) const {
  for (const auto& s : spawned_) {
    if (!nspace.empty() && s.second == nspace) return s.first;
  }
  return 0;
}

std::string PmixNode::Nspace(int job) const {
  auto at = spawned_.find(job);
  return at == spawned_.end() ? std::string() : at->second;
}

int PmixNode::Holder(const std::string& nspace, int rank) const {
  if (nspace.empty() || nspace == job_.nspace) {
    return rank >= 0 && static_cast<size_t>(rank) < agentOf_.size() ? agentOf_[static_cast<size_t>(rank)] : -2;
  }
  const std::vector<int>* holders = Holders(nspace);
  if (holders == nullptr || rank < 0 || static_cast<size_t>(rank) >= holders->size()) return -2;
  return (*holders)[static_cast<size_t>(rank)];
}

const std::vector<int>* PmixNode::Holders(const std::string& nspace) const {
  if (nspace.empty()) return &agentOf_;
  auto at = spawnedAgentOf_.find(nspace);
  return at == spawnedAgentOf_.end() ? nullptr : &at->second;
}

bool PmixNode::Release(const std::string& nspace, const std::vector<int>& ranks, const PmixFences::Fence& fence,
                       std::vector<PmixSend>* out) {
  // The nodes taking part: every one for the first job's whole fence,
  // every one that holds ranks of a spawned job for its whole fence,
  // else those that hold the fence's ranks.
  PmixSend send;
  static const std::vector<int> kNone;
  const std::vector<int>* known = Holders(nspace);
  const std::vector<int>& holders = known != nullptr ? *known : kNone;
  bool local = false;
  auto take = [&](int holder) {
    if (holder < 0) local = relay_ != nullptr;
    else if (std::find(send.agents.begin(), send.agents.end(), holder) == send.agents.end()) send.agents.push_back(holder);
  };
  if (ranks.empty() && nspace.empty()) {
    local = relay_ != nullptr;
    for (size_t a = 0; a < fence.agentIn.size(); ++a) send.agents.push_back(static_cast<int>(a));
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
    if (fence.over) relay_->FailFence(nspace, ranks);
    else relay_->CompleteFence(nspace, ranks, fence.all);
  }
  if (!send.agents.empty()) out->push_back(std::move(send));
  return true;
}
