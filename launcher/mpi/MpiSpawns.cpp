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

void MpiServer::AnswerSpawn(uint64_t ticket, const std::string& nspace, const std::string& why) {
  if (!IsPmi1Ticket(ticket)) {
    AnswerPmixSpawn(ticket, nspace, why);
    return;
  }
  const int job = Pmi1TicketJob(ticket);
  if (job > 0) {
    pmi1Jobs_.AnswerSpawn(job, Pmi1TicketClient(ticket), nspace, why);
    return;
  }
  std::vector<pmi::ServerEvent> events;
  server_->Answer(Pmi1TicketClient(ticket), pmi::Pmi1SpawnReply(!nspace.empty(), why), &events);
  Take(events, &later_);
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
