#include "launcher/mpi/PmixFences.h"

PmixFences::PmixFences(int agents, std::size_t kvsLimit)
    : agents_(static_cast<std::size_t>(agents)), limit_(kvsLimit), agentSet_(agents_), agentNspace_(agents_) {}

PmixFences::Fence& PmixFences::Of(const Key& key, int node) {
  std::deque<Fence>& fences = fences_[key];
  for (Fence& fence : fences) {
    if (node < 0 ? !fence.localIn : !fence.agentIn[static_cast<std::size_t>(node)]) return fence;
  }
  fences.emplace_back();
  fences.back().agentIn.assign(agents_, 0);
  return fences.back();
}

bool PmixFences::LocalPart(const std::string& nspace, const std::vector<int>& ranks, const std::string& blob) {
  Fence& fence = Of({nspace, ranks}, -1);
  fence.localIn = true;
  return Add(fence, blob);
}

void PmixFences::AgentSet(int agent, const std::vector<int>& ranks) {
  if (static_cast<std::size_t>(agent) < agents_) agentSet_[static_cast<std::size_t>(agent)] = ranks;
}

void PmixFences::AgentNspace(int agent, const std::string& nspace) {
  if (static_cast<std::size_t>(agent) < agents_) agentNspace_[static_cast<std::size_t>(agent)] = nspace;
}

std::string PmixFences::TakeAgentNspace(int agent) {
  std::string nspace;
  nspace.swap(agentNspace_[static_cast<std::size_t>(agent)]);
  return nspace;
}

bool PmixFences::AgentPart(int agent, const std::string& bytes) {
  const std::size_t a = static_cast<std::size_t>(agent);
  return Add(Of({agentNspace_[a], agentSet_[a]}, agent), bytes);
}

PmixFences::Fence& PmixFences::AgentIn(int agent) {
  const std::size_t a = static_cast<std::size_t>(agent);
  Fence& fence = Of({agentNspace_[a], agentSet_[a]}, agent);
  fence.agentIn[a] = 1;
  agentSet_[a].clear();
  agentNspace_[a].clear();
  return fence;
}

void PmixFences::AgentDone(int agent) { AgentIn(agent); }

bool PmixFences::AgentFailed(int agent) { return Over(AgentIn(agent)); }

bool PmixFences::Add(Fence& fence, const std::string& bytes) {
  if (fence.over) return false;
  if (limit_ == 0 || bytes_ + bytes.size() <= limit_) {
    fence.all += bytes;
    bytes_ += bytes.size();
    return false;
  }
  return Over(fence);
}

bool PmixFences::Over(Fence& fence) {
  if (fence.over) return false;
  fence.over = true;
  bytes_ -= fence.all.size();
  fence.all = std::string();
  const bool first = !overTold_;
  overTold_ = true;
  return first;
}

bool PmixFences::TakeComplete(const Completer& complete) {
  bool any = false;
  for (auto it = fences_.begin(); it != fences_.end();) {
    if (it->second.empty()) {
      it = fences_.erase(it);
      continue;
    }
    // The oldest of these ranks' fences first: the next waits for it.
    if (!complete(it->first.first, it->first.second, it->second.front())) {
      ++it;
      continue;
    }
    any = true;
    it->second.pop_front();  // the next of the same ranks is looked at again
  }
  return any;
}
