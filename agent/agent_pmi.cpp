#include "agent/agent_pmi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pmi/name_wire.h"
#include "pmi/process_mapping.h"
#include "pmi/spawn_wire.h"

AgentPmi::AgentPmi(const AgentOrder& job) : size_(job.size), kvsLimitMiB_(job.kvsLimitMiB) {
  pmi::JobFacts facts;
  facts.kvsname = job.strings[0];
  facts.processMapping = job.strings[1];
  facts.size = job.size;
  facts.universeSize = job.universeSize;
  facts.kvsLimit = static_cast<size_t>(job.kvsLimitMiB) << 20;
  for (const AgentJobClient& c : job.clients) {
    facts.clients.push_back(pmi::LocalRank{c.rank, c.appnum});
    ranks_.push_back(c.rank);
  }
  server_.reset(new pmi::Pmi1Server(facts, pmi::Pmi1Serving{nullptr, true, true}));
}

void AgentPmi::AddJob(const AgentOrder& order, std::string* toLauncher) {
  // strings: the kvsname, this node, every process's host.
  pmi::JobFacts facts;
  facts.kvsname = order.strings[0];
  const std::vector<std::string> hosts(order.strings.begin() + 2, order.strings.end());
  facts.processMapping = pmi::ProcessMapping(hosts);
  facts.size = facts.universeSize = order.size;
  facts.kvsLimit = static_cast<size_t>(kvsLimitMiB_) << 20;
  Job job;
  for (size_t rank = 0; rank < hosts.size(); ++rank) {
    if (hosts[rank] != order.strings[1]) continue;
    facts.clients.push_back(pmi::LocalRank{static_cast<int>(rank), order.appnums[rank]});
    job.ranks.push_back(static_cast<int>(rank));
  }
  job.size = order.size;
  job.server.reset(new pmi::Pmi1Server(facts));
  job.server->Engine().Preput(order.puts);
  jobs_[order.job] = std::move(job);
  AgentJobRank ready{order.job, -1, 0, 0};
  *toLauncher += AgentEncode(kAgentJobReady, &ready, sizeof ready);
}

int AgentPmi::PrepareChild(int job, int rank, std::vector<std::string>* env) {
  auto at = jobs_.find(job);
  if (at == jobs_.end()) return -1;
  auto client = std::find(at->second.ranks.begin(), at->second.ranks.end(), rank);
  if (client == at->second.ranks.end()) return -1;
  return at->second.server->OpenSpawnedClient(static_cast<int>(client - at->second.ranks.begin()), rank,
                                              at->second.size, env);
}

void AgentPmi::ChildStarted(int job, int rank) {
  auto at = jobs_.find(job);
  if (at == jobs_.end()) return;
  auto client = std::find(at->second.ranks.begin(), at->second.ranks.end(), rank);
  if (client != at->second.ranks.end()) at->second.server->ChildStarted(static_cast<int>(client - at->second.ranks.begin()));
}

void AgentPmi::ChildEnded(int job, int rank, std::string* toLauncher) {
  auto at = jobs_.find(job);
  if (at == jobs_.end()) return;
  auto client = std::find(at->second.ranks.begin(), at->second.ranks.end(), rank);
  if (client == at->second.ranks.end()) return;
  std::vector<pmi::ServerEvent> events;
  at->second.server->ClientEnded(static_cast<int>(client - at->second.ranks.begin()), &events);
  TakeJob(job, events, toLauncher);
}

void AgentPmi::Spawned(int32_t ticket, const std::string& kvsname, const std::string& why, std::string* toLauncher) {
  if (!server_ || ticket >= 0) return;
  std::vector<pmi::ServerEvent> events;
  server_->Answer(-1 - ticket, pmi::Pmi1SpawnReply(!kvsname.empty(), why), &events);
  Take(events, toLauncher);
}

void AgentPmi::ForwardSpawns(std::string* toLauncher) {
  std::vector<int> clients;
  std::vector<pmi::Pmi1Spawn> spawns;
  server_->DrainSpawns(&clients, &spawns);
  for (size_t i = 0; i < spawns.size(); ++i) {
    // Numbered by its client below zero, apart from the PMIx server's.
    *toLauncher += pmi::EncodeSpawnRequest(-1 - clients[i], pmi::Pmi1Request(spawns[i], server_->Engine().Kvsname()));
  }
}

void AgentPmi::TakeJob(int job, const std::vector<pmi::ServerEvent>& events, std::string* toLauncher) {
  const std::vector<int>& ranks = jobs_[job].ranks;
  for (const pmi::ServerEvent& e : events) {
    const int rank = e.client >= 0 && static_cast<size_t>(e.client) < ranks.size() ? ranks[static_cast<size_t>(e.client)] : -1;
    AgentJobRank r{job, rank, 0, 0};
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier: {
        const int32_t k = job;
        *toLauncher += AgentEncode(kAgentPmi1Barrier, &k, sizeof k) + AgentEncodeFence(e.puts);
        break;
      }
      case pmi::ServerEvent::kAbort:
        r.status = e.exitCode;
        *toLauncher += AgentEncode(kAgentJobAbort, &r, sizeof r);
        break;
      case pmi::ServerEvent::kBreak:
        // Said here; the launcher ends the run for the process that left.
        fprintf(stderr, "tarvo: job %d rank %d broke the PMI protocol (%s) with \"%s\"\n", job, rank, e.text.c_str(),
                e.sent.c_str());
        *toLauncher += AgentEncode(kAgentJobUnfinalized, &r, sizeof r);
        break;
      case pmi::ServerEvent::kLeft:
        *toLauncher += AgentEncode(kAgentJobUnfinalized, &r, sizeof r);
        break;
      case pmi::ServerEvent::kFull:
        fprintf(stderr, "tarvo: job %d rank %d has filled the run's key-value space (%d MiB, TARVO_KVS_LIMIT); "
                "its puts are refused\n", job, rank, kvsLimitMiB_);
        break;
      case pmi::ServerEvent::kStranger:
      case pmi::ServerEvent::kName:
        break;  // no endpoint; the job's engine refuses names itself
    }
  }
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
  fdCounts_.clear();
  size_t before = fds->size();
  if (server_) server_->Fds(fds);
  fdCounts_.push_back(fds->size() - before);
  for (const auto& j : jobs_) {
    before = fds->size();
    j.second.server->Fds(fds);
    fdCounts_.push_back(fds->size() - before);
  }
}

void AgentPmi::OnReady(const pollfd* fds, size_t count, std::string* toLauncher) {
  // Each server's descriptors as the last Fds put them; a job added since
  // has none among them.
  size_t at = 0, n = fdCounts_.empty() ? count : std::min(fdCounts_[0], count);
  std::vector<pmi::ServerEvent> events;
  if (server_) {
    server_->OnReady(fds, n, 0, &events);
    Take(events, toLauncher);
    ForwardSpawns(toLauncher);
  }
  at += n;
  size_t k = 1;
  for (auto& j : jobs_) {
    if (k >= fdCounts_.size()) break;
    n = std::min(fdCounts_[k++], count - at);
    events.clear();
    j.second.server->OnReady(fds + at, n, 0, &events);
    at += n;
    TakeJob(j.first, events, toLauncher);
  }
}

void AgentPmi::FenceDone(std::string* toLauncher) {
  const int job = unionJob_;
  unionJob_ = 0;
  std::vector<pmi::ServerEvent> events;
  if (job > 0) {
    auto at = jobs_.find(job);
    if (at != jobs_.end()) at->second.server->CompleteBarrier(union_, &events);
    union_.clear();
    TakeJob(job, events, toLauncher);
    return;
  }
  if (!server_) return;
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
        const std::string owner = pmi::NameOwner(server_->Engine().Kvsname(), rank);
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
