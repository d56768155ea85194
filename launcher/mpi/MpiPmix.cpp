// The launcher's PMIx service, beside its PMI-1 one: tarvo's PMIx node
// (PmixNode: its own ranks' server, a relay around libpmix's, when tarvo's
// build has it) and the services across nodes, which MpiServer hands the
// relay's notices and the agents' frames: the fences (PmixFences, released
// by the node), the connects (PmixConnects) and the direct modex
// (PmixFetches).
#include "launcher/mpi/MpiServer.h"

bool MpiServer::ServePmix(const pmi::PmixJob& job, std::string* err) {
  if (makeRelay_ == nullptr) {
    *err = "this build has no libpmix";
    return false;
  }
  std::unique_ptr<pmi::PmixRelay> relay;
  if (first_.HasOwnRanks()) {
    relay = StartPmixRelay(makeRelay_, job, err);
    if (relay == nullptr) return false;
  }
  pmix_.reset(new PmixParts(job, first_.AgentOf(), std::move(relay), &agentAnswers_));
  return true;
}

const pmi::PmixJob& MpiServer::PmixJobFacts() const {
  static const pmi::PmixJob kNone;
  return pmix_ != nullptr ? pmix_->node.Job() : kNone;
}

std::string MpiServer::PmixJobPayload(const std::string& host) const {
  return pmix_ != nullptr ? pmix_->node.JobPayload(host) : std::string();
}

void MpiServer::TakePmix(std::vector<MpiEvent>* out) {
  pmi::PmixRelay* relay = Relay();
  std::vector<pmi::PmixNotice> notices;
  relay->Take(&notices);
  for (pmi::PmixNotice& n : notices) {
    if (n.kind == pmi::PmixNotice::kNames) {
      names_.Ask(n.ticket, n.names);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kConnect) {
      pmi::PmixCallbacks::Procs procs = n.procs;
      for (int r : n.ranks) procs.emplace_back(std::string(), r);
      pmix_->connects.Connect(-1, n.ticket, procs, n.disconnect);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kSpawn) {
      MpiEvent e;
      e.kind = MpiEvent::kSpawn;
      e.ticket = n.ticket;
      e.spawn = std::move(n.spawn);
      if (out != nullptr) out->push_back(std::move(e));
      else relay->AnswerSpawn(n.ticket, std::string());
      continue;
    }
    if (n.kind == pmi::PmixNotice::kFence) {
      if (pmixFences_.LocalPart(n.nspace, n.ranks, n.blob) && out != nullptr) {
        MpiEvent e;
        e.kind = MpiEvent::kPmixFull;
        e.text = pmix_->node.Job().thisHost;
        out->push_back(e);
      }
      continue;
    }
    if (n.kind == pmi::PmixNotice::kFetch) {
      pmix_->fetches.Fetch(-1, n.nspace, n.rank, n.tag);
      continue;
    }
    if (n.kind == pmi::PmixNotice::kServed) {
      pmix_->fetches.Answer(n.tag, n.status == 0, n.blob);
      continue;
    }
    MpiEvent e;
    e.job = pmix_->node.JobOf(n.nspace);
    if (!n.nspace.empty() && e.job == 0) continue;
    e.kind = MpiEvent::kAbort;
    e.rank = n.rank;
    e.exitCode = n.status;
    if (out != nullptr) out->push_back(e);
  }
}

void MpiServer::AgentConnect(int agent, const std::string& payload) {
  if (pmix_ != nullptr) pmix_->connects.AgentConnect(agent, payload);
}

void MpiServer::AgentPmixFetch(int agent, int rank, int tag) {
  const std::string nspace = pmixFences_.TakeAgentNspace(agent);
  if (pmix_ != nullptr) pmix_->fetches.Fetch(agent, nspace, rank, tag);
}

void MpiServer::AgentPmixServed(int tag, int status, const std::string& data) {
  if (pmix_ != nullptr) pmix_->fetches.Answer(tag, status == 0, data);
}

bool MpiServer::TakePmixFences(std::vector<PmixSend>* out) {
  if (pmix_ == nullptr) return false;
  const bool any = pmix_->fetches.Take(out);
  auto complete = [this, out](const std::string& nspace, const std::vector<int>& ranks, const PmixFences::Fence& fence) {
    return pmix_->node.Release(nspace, ranks, fence, out);
  };
  return pmixFences_.TakeComplete(complete) || any;
}
