#include "launcher/mpi/Pmi1Jobs.h"

#include <algorithm>

#include "common/agent_wire.h"
#include "pmi/process_mapping.h"
#include "pmi/spawn_wire.h"

namespace {

constexpr uint64_t kPmi1Ticket = uint64_t{1} << 63;

}  // namespace

uint64_t Pmi1Ticket(int job, int client) {
  return kPmi1Ticket | (static_cast<uint64_t>(job) << 32) | static_cast<uint32_t>(client);
}

bool IsPmi1Ticket(uint64_t ticket) { return (ticket & kPmi1Ticket) != 0; }

int Pmi1TicketJob(uint64_t ticket) { return static_cast<int>((ticket & ~kPmi1Ticket) >> 32); }

int Pmi1TicketClient(uint64_t ticket) { return static_cast<int>(static_cast<uint32_t>(ticket)); }

std::vector<MpiEvent> Pmi1SpawnEvents(int job, pmi::Pmi1Server& server) {
  std::vector<int> clients;
  std::vector<pmi::Pmi1Spawn> spawns;
  server.DrainSpawns(&clients, &spawns);
  std::vector<MpiEvent> events;
  for (size_t i = 0; i < spawns.size(); ++i) {
    MpiEvent e;
    e.kind = MpiEvent::kSpawn;
    e.job = job;
    e.rank = spawns[i].rank;
    e.ticket = Pmi1Ticket(job, clients[i]);
    e.spawn = pmi::Pmi1Request(spawns[i], server.Engine().Kvsname());
    events.push_back(std::move(e));
  }
  return events;
}

Pmi1Jobs::Pmi1Jobs(std::string kvsname, std::string localHost, int kvsLimitMiB, pmi::NameTable* names,
                   std::vector<std::pair<int, std::string>>* toAgents, std::vector<MpiEvent>* later)
    : kvsname_(std::move(kvsname)),
      localHost_(std::move(localHost)),
      kvsLimitMiB_(kvsLimitMiB),
      names_(names),
      toAgents_(toAgents),
      later_(later) {}

std::string Pmi1Jobs::Add(int job, const std::vector<int>& appnums, const pmi::PmixSpawnRequest& request,
                          const std::vector<std::string>& hosts, const std::vector<int>& agentOf) {
  pmi::JobFacts facts;
  facts.kvsname = Kvsname(job);
  facts.size = facts.universeSize = static_cast<int>(appnums.size());
  facts.processMapping =
      pmi::ProcessMapping(hosts.size() == appnums.size() ? hosts : std::vector<std::string>(appnums.size(), localHost_));
  facts.kvsLimit = static_cast<size_t>(kvsLimitMiB_) << 20;
  Fence& fence = fences_[job];
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
  std::unique_ptr<pmi::Pmi1Server> server(new pmi::Pmi1Server(facts, pmi::Pmi1Serving{names_, false, true}));
  server->Engine().Preput(pmi::KeyValues(request.preput.begin(), request.preput.end()));
  servers_[job] = std::move(server);
  return facts.kvsname;
}

int Pmi1Jobs::Client(int job, int rank) const {
  auto at = fences_.find(job);
  if (at == fences_.end()) return -1;
  auto client = std::find(at->second.ranks.begin(), at->second.ranks.end(), rank);
  return client == at->second.ranks.end() ? -1 : static_cast<int>(client - at->second.ranks.begin());
}

int Pmi1Jobs::Prepare(int job, int rank, std::vector<std::string>* env) {
  auto at = servers_.find(job);
  const int client = Client(job, rank);
  if (at == servers_.end() || client < 0) return -1;
  return at->second->OpenSpawnedClient(client, rank, fences_[job].size, env);
}

void Pmi1Jobs::Started(int job, int rank) {
  auto at = servers_.find(job);
  const int client = Client(job, rank);
  if (at != servers_.end() && client >= 0) at->second->ChildStarted(client);
}

void Pmi1Jobs::Ended(int job, int rank, std::vector<MpiEvent>* out) {
  auto at = servers_.find(job);
  const int client = Client(job, rank);
  if (at == servers_.end() || client < 0) return;
  std::vector<pmi::ServerEvent> events;
  at->second->ClientEnded(client, &events);
  Take(job, events, out);
}

bool Pmi1Jobs::AgentPuts(int agent, const std::string& payload, bool* ok) {
  auto job = agentJob_.find(agent);
  if (job == agentJob_.end() || job->second <= 0) return false;
  auto fence = fences_.find(job->second);
  pmi::KeyValues dropped;
  *ok = AgentTakeFencePuts(payload, fence == fences_.end() ? &dropped : &fence->second.all);
  return true;
}

bool Pmi1Jobs::AgentDone(int agent) {
  auto job = agentJob_.find(agent);
  if (job == agentJob_.end() || job->second <= 0) return false;
  // Once each of the job's hosts is in, the union goes back to them.
  const int k = job->second;
  job->second = 0;
  auto fence = fences_.find(k);
  if (fence == fences_.end() || fence->second.agents.count(agent) == 0) return true;
  fence->second.in.insert(agent);
  FenceIfComplete(k, nullptr);
  return true;
}

void Pmi1Jobs::FenceIfComplete(int job, std::vector<pmi::ServerEvent>* events) {
  auto fence = fences_.find(job);
  if (fence == fences_.end()) return;
  Fence& f = fence->second;
  if (f.in.size() < f.agents.size() || (!f.ranks.empty() && !f.localIn)) return;
  const int32_t head = job;
  const std::string frames = AgentEncode(kAgentPmi1Barrier, &head, sizeof head) + AgentEncodeFence(f.all);
  for (int a : f.agents) toAgents_->emplace_back(a, frames);
  auto server = servers_.find(job);
  std::vector<pmi::ServerEvent> own;
  if (server != servers_.end()) server->second->CompleteBarrier(f.all, events != nullptr ? events : &own);
  f.in.clear();
  f.all.clear();
  f.localIn = false;
  if (!own.empty()) Take(job, own, later_);
}

void Pmi1Jobs::Take(int job, std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out) {
  auto server = servers_.find(job);
  auto fence = fences_.find(job);
  for (size_t i = 0; i < events.size(); ++i) {
    pmi::ServerEvent& e = events[i];
    MpiEvent m;
    m.job = job;
    m.rank = fence != fences_.end() && e.client >= 0 && static_cast<size_t>(e.client) < fence->second.ranks.size()
                 ? fence->second.ranks[static_cast<size_t>(e.client)]
                 : e.client;
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier:
        if (fence == fences_.end() || fence->second.agents.empty()) {
          // The job's ranks are all here: its barrier completes at once.
          if (server != servers_.end()) server->second->CompleteBarrier(pmi::KeyValues(), &events);
        } else {
          fence->second.localIn = true;
          fence->second.all.insert(e.puts.begin(), e.puts.end());
          FenceIfComplete(job, &events);
        }
        continue;
      case pmi::ServerEvent::kStranger:
      case pmi::ServerEvent::kName:
        continue;
      default:
        MpiEventOf(e, kvsLimitMiB_, &m);
        break;
    }
    if (out != nullptr) out->push_back(m);
  }
}

void Pmi1Jobs::Fds(std::vector<pollfd>* fds) const {
  fdCounts_.clear();
  for (const auto& j : servers_) {
    const size_t before = fds->size();
    j.second->Fds(fds);
    fdCounts_.push_back(fds->size() - before);
  }
}

// Each server's descriptors as the last Fds put them; a job added since
// has none among them.
void Pmi1Jobs::OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out) {
  size_t at = 0, k = 0;
  for (auto& j : servers_) {
    if (k >= fdCounts_.size()) break;
    const size_t n = std::min(fdCounts_[k++], count - at);
    std::vector<pmi::ServerEvent> events;
    j.second->OnReady(fds + at, n, now, &events);
    at += n;
    Take(j.first, events, out);
    for (MpiEvent& e : Pmi1SpawnEvents(j.first, *j.second)) {
      if (out != nullptr) out->push_back(std::move(e));
      else AnswerSpawn(j.first, Pmi1TicketClient(e.ticket), std::string(), "not_now");
    }
  }
}

void Pmi1Jobs::AnswerSpawn(int job, int client, const std::string& nspace, const std::string& why) {
  auto at = servers_.find(job);
  if (at == servers_.end()) return;
  std::vector<pmi::ServerEvent> events;
  at->second->Answer(client, pmi::Pmi1SpawnReply(!nspace.empty(), why), &events);
  Take(job, events, later_);
}
