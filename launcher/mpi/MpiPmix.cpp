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
    if (!pmix_->Start(job, nodes.size() > 1, why)) {
      pmix_.reset();
      return false;
    }
  }
  pmixOn_ = true;
  pmixJob_ = job;
  pmixAgentIn_.assign(agentIn_.size(), 0);
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

// What tarvo's relay has brought: its node's part of a fence, aborts.
void MpiServer::TakePmix(std::vector<MpiEvent>* out) {
  std::vector<pmi::PmixNotice> notices;
  pmix_->Take(&notices);
  for (pmi::PmixNotice& n : notices) {
    if (n.kind == pmi::PmixNotice::kFence) {
      pmixLocalIn_ = true;
      if (PmixAdd(n.blob) && out != nullptr) {
        MpiEvent e;
        e.kind = MpiEvent::kPmixFull;
        e.text = pmixJob_.thisHost;
        out->push_back(e);
      }
      continue;
    }
    MpiEvent e;
    e.kind = MpiEvent::kAbort;
    e.rank = n.rank;
    e.exitCode = n.status;
    if (out != nullptr) out->push_back(e);
  }
}

bool MpiServer::PmixAdd(const std::string& bytes) {
  if (pmixOver_) return false;
  const size_t limit = static_cast<size_t>(MpiKvsLimit()) << 20;
  if (limit == 0 || pmixHeld_ + pmixUnion_.size() + bytes.size() <= limit) {
    pmixUnion_ += bytes;
    return false;
  }
  return PmixOver();
}

bool MpiServer::PmixOver() {
  pmixOver_ = true;
  pmixUnion_ = std::string();
  const bool first = !pmixSaid_;
  pmixSaid_ = true;
  return first;
}

bool MpiServer::TakePmixFence(std::string* frames) {
  if (!pmixOn_ || (pmix_ != nullptr && !pmixLocalIn_) || (pmix_ == nullptr && pmixAgentIn_.empty())) return false;
  for (char in : pmixAgentIn_) {
    if (!in) return false;
  }
  if (pmixOver_) {
    if (!pmixAgentIn_.empty()) *frames += AgentEncode(kAgentPmixFailed, nullptr, 0);
    if (pmix_ != nullptr) pmix_->FailFence();
  } else {
    if (!pmixAgentIn_.empty()) *frames += AgentEncodePmixFence(pmixUnion_);
    if (pmix_ != nullptr) pmix_->CompleteFence(pmixUnion_);
    pmixHeld_ += pmixUnion_.size();
  }
  pmixUnion_ = std::string();
  pmixOver_ = false;
  pmixLocalIn_ = false;
  std::fill(pmixAgentIn_.begin(), pmixAgentIn_.end(), 0);
  return true;
}
