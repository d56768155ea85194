#include "agent/agent_pmi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pmi/name_wire.h"

void AgentPmi::SetJob(const AgentOrder& job) {
  pmi::JobFacts facts;
  facts.kvsname = job.strings[0];
  facts.processMapping = job.strings[1];
  facts.size = job.size;
  facts.universeSize = job.universeSize;
  facts.kvsLimit = static_cast<size_t>(job.kvsLimitMiB) << 20;
  kvsLimitMiB_ = job.kvsLimitMiB;
  ranks_.clear();
  for (const AgentJobClient& c : job.clients) {
    facts.clients.push_back(pmi::LocalRank{c.rank, c.appnum});
    ranks_.push_back(c.rank);
  }
  size_ = job.size;
  server_.reset(new pmi::Pmi1Server(facts));
  server_->Engine().ForwardNames();
}

int AgentPmi::ClientOf(int rank) const {
  auto at = std::find(ranks_.begin(), ranks_.end(), rank);
  return server_ && at != ranks_.end() ? static_cast<int>(at - ranks_.begin()) : -1;
}

int AgentPmi::PrepareRank(int rank, std::vector<std::string>* env) {
  const int client = ClientOf(rank);
  const int fd = client < 0 ? -1 : server_->OpenClient(client);
  if (fd >= 0) *env = pmi::ClientEnvironment(fd, rank, size_);
  return fd;
}

void AgentPmi::RankStarted(int rank) {
  const int client = ClientOf(rank);
  if (client >= 0) server_->ChildStarted(client);
}

void AgentPmi::RankEnded(int rank, std::string* toLauncher) {
  const int client = ClientOf(rank);
  if (client < 0) return;
  // Its connection's last lines and its close come before its end.
  std::vector<pmi::ServerEvent> events;
  server_->ClientEnded(client, &events);
  Take(events, toLauncher);
  if (server_->Engine().Finalized(client) || server_->Engine().InBarrier(client)) return;
  culprit_ = true;
  ReportWaiting(toLauncher);
}

void AgentPmi::Fds(std::vector<pollfd>* fds) const {
  if (server_) server_->Fds(fds);
}

void AgentPmi::OnReady(const pollfd* fds, size_t count, std::string* toLauncher) {
  if (!server_) return;
  std::vector<pmi::ServerEvent> events;
  server_->OnReady(fds, count, 0, &events);
  Take(events, toLauncher);
}

void AgentPmi::FenceDone(std::string* toLauncher) {
  if (!server_) return;
  std::vector<pmi::ServerEvent> events;
  server_->CompleteBarrier(union_, &events);
  union_.clear();
  Take(events, toLauncher);
}

void AgentPmi::NameAnswer(int32_t ticket, pmi::NameTable::Status status, const std::vector<pmi::PublishedName>& found,
                          std::string* toLauncher) {
  const int client = -1 - ticket;
  auto verb = verbs_.find(client);
  if (!server_ || verb == verbs_.end()) return;
  std::vector<pmi::ServerEvent> events;
  server_->Answer(client, pmi::Pmi1NameReply(verb->second, status, found.empty() ? "" : found[0].value), &events);
  verbs_.erase(verb);
  Take(events, toLauncher);
}

void AgentPmi::Take(const std::vector<pmi::ServerEvent>& events, std::string* toLauncher) {
  for (const pmi::ServerEvent& e : events) {
    const int rank = e.client >= 0 && static_cast<size_t>(e.client) < ranks_.size() ? ranks_[e.client] : -1;
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier:
        *toLauncher += AgentEncodeFence(e.puts);
        break;
      case pmi::ServerEvent::kAbort: {
        AgentRankAbort abort{rank, e.exitCode};
        *toLauncher += AgentEncode(kAgentAbort, &abort, sizeof abort);
        break;
      }
      case pmi::ServerEvent::kBreak:
      {
        AgentRankBroke broke{};
        broke.rank = rank;
        memcpy(broke.why, e.text.data(), std::min(e.text.size(), sizeof broke.why));
        memcpy(broke.sent, e.sent.data(), std::min(e.sent.size(), sizeof broke.sent));
        *toLauncher += AgentEncode(kAgentBroke, &broke, sizeof broke);
        break;
      }
      case pmi::ServerEvent::kLeft: {
        const int32_t r = rank;
        *toLauncher += AgentEncode(kAgentUnfinalized, &r, sizeof r);
        break;
      }
      case pmi::ServerEvent::kFull:
        fprintf(stderr, "tarvo: rank %d has filled the run's key-value space (%d MiB, TARVO_KVS_LIMIT); "
                "its puts are refused\n", rank, kvsLimitMiB_);
        break;
      case pmi::ServerEvent::kStranger:
        break;  // the agent has no TCP endpoint
      case pmi::ServerEvent::kName: {
        // The run's table is tarvo's: the request goes there, numbered by
        // its client below zero (the PMIx server's are above).
        if (e.puts.empty()) break;
        pmi::PmixNameRequest r;
        const std::string owner = "pmi1:" + std::to_string(rank);
        r.kind = e.text == "publish" ? pmi::PmixNameRequest::kPublish
                 : e.text == "lookup" ? pmi::PmixNameRequest::kLookup : pmi::PmixNameRequest::kUnpublish;
        r.owner = owner;
        if (r.kind == pmi::PmixNameRequest::kPublish) {
          r.names.push_back(pmi::PublishedName{e.puts.begin()->first, e.puts.begin()->second, owner, false});
        } else {
          r.keys.push_back(e.puts.begin()->first);
        }
        verbs_[e.client] = e.text;
        *toLauncher += pmi::EncodeNameRequest(-1 - e.client, r);
        break;
      }
    }
  }
  if (culprit_) ReportWaiting(toLauncher);
}

// Which ranks wait in the barrier, when it changed, once a rank has ended
// outside it: the launcher names the rank that holds them up.
void AgentPmi::ReportWaiting(std::string* toLauncher) {
  std::vector<int32_t> waiting;
  for (size_t c = 0; c < ranks_.size(); ++c) {
    if (server_->Engine().InBarrier(static_cast<int>(c))) waiting.push_back(ranks_[c]);
  }
  if (waiting == waitingSent_) return;
  waitingSent_ = waiting;
  *toLauncher += AgentEncode(kAgentWaiting, waiting.data(), waiting.size() * sizeof(int32_t));
}
