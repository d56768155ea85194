// The launcher's MPI service for spawned jobs: MPICH's spawn (PMI-1), whose
// job gets a PMI-1 server of its own and a barrier across its hosts, and
// Open MPI's (PMIx), whose job is registered with tarvo's PMIx server; the
// answers to both, to tarvo's own ranks or through their agents.
#include <algorithm>
#include <cstring>

#include "common/agent_wire.h"
#include "launcher/mpi/MpiServer.h"
#include "pmi/process_mapping.h"
#include "pmi/spawn_wire.h"

namespace {

// Tickets of PMI-1 spawns: the job of the asking rank's server and its
// client, apart from the PMIx relay's tickets.
constexpr uint64_t kPmi1Ticket = uint64_t{1} << 63;

uint64_t Pmi1Ticket(int job, int client) {
  return kPmi1Ticket | (static_cast<uint64_t>(job) << 32) | static_cast<uint32_t>(client);
}

}  // namespace

void MpiServer::TakePmi1Spawns(int job, pmi::Pmi1Server& server, std::vector<MpiEvent>* out) {
  std::vector<int> clients;
  std::vector<pmi::Pmi1Spawn> spawns;
  server.DrainSpawns(&clients, &spawns);
  for (size_t i = 0; i < spawns.size(); ++i) {
    MpiEvent e;
    e.kind = MpiEvent::kSpawn;
    e.job = job;
    e.rank = spawns[i].rank;
    e.ticket = Pmi1Ticket(job, clients[i]);
    e.spawn = pmi::Pmi1Request(spawns[i], server.Engine().Kvsname());
    if (out != nullptr) {
      out->push_back(std::move(e));
    } else {
      AnswerSpawn(e.ticket, std::string(), "not_now");
    }
  }
}

void MpiServer::AnswerSpawn(uint64_t ticket, const std::string& nspace, const std::string& why) {
  if ((ticket & kPmi1Ticket) == 0) {
    AnswerPmixSpawn(ticket, nspace, why);
    return;
  }
  const int job = static_cast<int>((ticket & ~kPmi1Ticket) >> 32);
  const int client = static_cast<int>(static_cast<uint32_t>(ticket));
  pmi::Pmi1Server* server = server_.get();
  if (job > 0) {
    auto at = pmi1Jobs_.find(job);
    if (at == pmi1Jobs_.end()) return;
    server = at->second.get();
  }
  std::vector<pmi::ServerEvent> events;
  server->Answer(client, pmi::Pmi1SpawnReply(!nspace.empty(), why), &events);
  if (job == 0) {
    Take(events, &later_);
  } else {
    TakeJob(job, events, &later_);
  }
}

std::string MpiServer::Pmi1Kvsname(int job) const { return kvsname_ + "_" + std::to_string(job); }

std::string MpiServer::AddPmi1Job(int job, const std::vector<int>& appnums, const pmi::PmixSpawnRequest& request,
                                  const std::vector<std::string>& hosts, const std::vector<int>& agentOf) {
  pmi::JobFacts facts;
  facts.kvsname = Pmi1Kvsname(job);
  facts.size = facts.universeSize = static_cast<int>(appnums.size());
  facts.processMapping =
      pmi::ProcessMapping(hosts.size() == appnums.size() ? hosts : std::vector<std::string>(appnums.size(), localHost_));
  facts.kvsLimit = static_cast<size_t>(links_.kvsLimitMiB) << 20;
  Pmi1Fence& fence = pmi1Fences_[job];
  fence.size = facts.size;
  for (size_t rank = 0; rank < appnums.size(); ++rank) {
    if (rank < agentOf.size() && agentOf[rank] >= 0) {
      fence.agents.insert(agentOf[rank]);
      continue;
    }
    facts.clients.push_back(pmi::LocalRank{static_cast<int>(rank), appnums[rank]});
    fence.ranks.push_back(static_cast<int>(rank));
  }
  facts.alone = fence.agents.empty();
  if (fence.ranks.empty()) return facts.kvsname;
  std::unique_ptr<pmi::Pmi1Server> server(new pmi::Pmi1Server(facts, pmi::Pmi1Serving{&names_, false, true}));
  server->Engine().Preput(pmi::KeyValues(request.preput.begin(), request.preput.end()));
  pmi1Jobs_[job] = std::move(server);
  return facts.kvsname;
}

int MpiServer::Pmi1Client(int job, int rank) const {
  auto at = pmi1Fences_.find(job);
  if (at == pmi1Fences_.end()) return -1;
  auto client = std::find(at->second.ranks.begin(), at->second.ranks.end(), rank);
  return client == at->second.ranks.end() ? -1 : static_cast<int>(client - at->second.ranks.begin());
}

int MpiServer::PrepareSpawned(int job, int rank, std::vector<std::string>* env) {
  auto at = pmi1Jobs_.find(job);
  const int client = Pmi1Client(job, rank);
  if (at == pmi1Jobs_.end() || client < 0) return -1;
  return at->second->OpenSpawnedClient(client, rank, pmi1Fences_[job].size, env);
}

void MpiServer::SpawnedStarted(int job, int rank) {
  auto at = pmi1Jobs_.find(job);
  const int client = Pmi1Client(job, rank);
  if (at != pmi1Jobs_.end() && client >= 0) at->second->ChildStarted(client);
}

void MpiServer::Pmi1RankEnded(int job, int rank, std::vector<MpiEvent>* out) {
  auto at = pmi1Jobs_.find(job);
  const int client = Pmi1Client(job, rank);
  if (at == pmi1Jobs_.end() || client < 0) return;
  std::vector<pmi::ServerEvent> events;
  at->second->ClientEnded(client, &events);
  TakeJob(job, events, out);
}

void MpiServer::Pmi1FenceIfComplete(int job, std::vector<pmi::ServerEvent>* events) {
  auto fence = pmi1Fences_.find(job);
  if (fence == pmi1Fences_.end()) return;
  Pmi1Fence& f = fence->second;
  if (f.in.size() < f.agents.size() || (!f.ranks.empty() && !f.localIn)) return;
  const int32_t head = job;
  const std::string frames = AgentEncode(kAgentPmi1Barrier, &head, sizeof head) + AgentEncodeFence(f.all);
  for (int a : f.agents) agentAnswers_.emplace_back(a, frames);
  auto server = pmi1Jobs_.find(job);
  std::vector<pmi::ServerEvent> own;
  if (server != pmi1Jobs_.end()) server->second->CompleteBarrier(f.all, events != nullptr ? events : &own);
  f.in.clear();
  f.all.clear();
  f.localIn = false;
  if (!own.empty()) TakeJob(job, own, &later_);
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

std::vector<std::string> MpiServer::SpawnedEnvironment(int job, int rank) const {
  auto at = spawned_.find(job);
  return at == spawned_.end() || pmix_ == nullptr ? std::vector<std::string>() : pmix_->Environment(at->second, rank);
}
