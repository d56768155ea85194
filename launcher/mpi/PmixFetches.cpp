#include "launcher/mpi/PmixFetches.h"

#include "common/agent_wire.h"

void PmixFetches::Fetch(int asker, const std::string& nspace, int rank, int tag) {
  const int id = next_++;
  asked_[id] = {asker, tag};
  const std::string ns = nspace == node_.Job().nspace ? std::string() : nspace;
  const int holder = node_.Holder(ns, rank);
  if (holder >= 0) {
    AgentPmixModex ask{rank, id, 0};
    out_.push_back(PmixSend{{holder}, AgentEncodePmixNspace(ns) + AgentEncode(kAgentPmixServe, &ask, sizeof ask)});
  } else if (holder == -1 && node_.Relay() != nullptr) {
    node_.Relay()->Serve(ns, rank, id);
  } else {
    Answer(id, false, std::string());
  }
}

void PmixFetches::Answer(int id, bool ok, const std::string& data) {
  auto it = asked_.find(id);
  if (it == asked_.end()) return;
  const int asker = it->second.first;
  const int tag = it->second.second;
  asked_.erase(it);
  if (asker >= 0) {
    out_.push_back(PmixSend{{asker}, AgentEncodePmixServed(tag, ok ? 0 : 1, data, kAgentPmixFetched)});
  } else if (node_.Relay() != nullptr) {
    node_.Relay()->CompleteFetch(tag, ok, data);
  }
}

bool PmixFetches::Take(std::vector<PmixSend>* out) {
  const bool any = !out_.empty();
  for (PmixSend& send : out_) out->push_back(std::move(send));
  out_.clear();
  return any;
}
