#include "launcher/mpi/MpiServer.h"

#include <algorithm>

#include "common/agent_wire.h"
#include "pmi/name_wire.h"
#include "pmi/spawn_wire.h"

MpiServer::MpiServer(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums,
                     const std::vector<int>& agentOf, int agents, const MpiLinks& links)
    : makeRelay_(links.makeRelay),
      names_(
          [this](uint64_t ticket, pmi::NameTable::Status status, std::vector<pmi::PublishedName> found) {
            if (Relay() != nullptr) Relay()->AnswerNames(ticket, status, std::move(found));
          },
          &agentAnswers_),
      first_(hostOfRank, appnums, agentOf, agents, links.senders, links.kvsLimitMiB, names_.Table(), &later_),
      pmi1Jobs_(first_.Kvsname(), first_.LocalHost(), links.kvsLimitMiB, names_.Table(), &agentAnswers_, &later_),
      pmixFences_(agents, static_cast<size_t>(links.kvsLimitMiB) << 20) {}

int MpiServer::PrepareRank(int rank, std::vector<std::string>* env) {
  const int fd = first_.Prepare(rank, env);
  if (fd >= 0 && Relay() != nullptr) {
    const std::vector<std::string> pmix = Relay()->Environment(rank);
    env->insert(env->end(), pmix.begin(), pmix.end());
  }
  return fd;
}

void MpiServer::RankEnded(int rank, std::vector<MpiEvent>* out) {
  first_.Ended(rank, out);
  if (Relay() == nullptr || !Relay()->Unfinalized(rank)) return;
  MpiEvent e;
  e.kind = MpiEvent::kUnfinalized;
  e.rank = rank;
  out->push_back(e);
}

void MpiServer::Fds(std::vector<pollfd>* fds) const {
  first_.Fds(fds);
  pmi1Jobs_.Fds(fds);
  if (Relay() != nullptr) fds->push_back({Relay()->WakeFd(), POLLIN, 0});
}

void MpiServer::OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out) {
  const bool pmixReady = Relay() != nullptr && count > 0 && fds[count - 1].revents != 0;
  if (Relay() != nullptr && count > 0) --count;
  // The first job's server's descriptors as the last Fds put them, then
  // the spawned jobs'.
  const size_t n = std::min(first_.FdCount(), count);
  first_.OnReady(fds, n, now, out);
  pmi1Jobs_.OnReady(fds + n, count - n, now, out);
  if (out != nullptr) out->insert(out->end(), later_.begin(), later_.end());
  later_.clear();
  if (pmixReady) TakePmix(out);
}

bool MpiServer::AgentPuts(int agent, const std::string& payload) {
  bool ok = false;
  if (pmi1Jobs_.AgentPuts(agent, payload, &ok)) return ok;
  return first_.AgentPuts(payload);
}

void MpiServer::AgentDone(int agent, double now) {
  if (pmi1Jobs_.AgentDone(agent)) return;  // a spawned job's barrier
  first_.AgentDone(agent, now);
}

void MpiServer::NamesEnded(int job, int rank) {
  // The rank spoke PMI-1 or PMIx: its owner name under each.
  std::vector<std::string> owners = {pmi::NameOwner(job == 0 ? first_.Kvsname() : pmi1Jobs_.Kvsname(job), rank)};
  if (job == 0 && pmix_ != nullptr) owners.push_back(pmi::NameOwner(pmix_->node.Job().nspace, rank));
  const std::string spawned = job > 0 && pmix_ != nullptr ? pmix_->node.Nspace(job) : std::string();
  if (!spawned.empty()) owners.push_back(pmi::NameOwner(spawned, rank));
  for (const std::string& owner : owners) {
    // An agent forgets its own rank's waits; tarvo's relay, its own ranks'.
    names_.Drop(owner);
    if (Relay() != nullptr) Relay()->DropNames(owner);
  }
}

// The spawns: MPICH's (PMI-1), whose job gets a PMI-1 server of its own
// and a barrier across its hosts, and Open MPI's (PMIx), whose job is
// registered with tarvo's PMIx node; the answers to both, to tarvo's own
// ranks or through their agents.

void MpiServer::AnswerSpawn(uint64_t ticket, const std::string& nspace, const std::string& why) {
  if (IsPmi1Ticket(ticket)) {
    const int job = Pmi1TicketJob(ticket);
    if (job > 0) pmi1Jobs_.AnswerSpawn(job, Pmi1TicketClient(ticket), nspace, why);
    else first_.AnswerSpawn(Pmi1TicketClient(ticket), nspace, why);
    return;
  }
  // An Open MPI rank's spawn: tarvo's own rank's through its PMIx server,
  // an agent's rank's (the agent's number + 1 above the ticket's low half)
  // through that agent.
  const uint64_t agent = ticket >> 32;
  if (agent == 0) {
    if (Relay() != nullptr) Relay()->AnswerSpawn(ticket, nspace);
    return;
  }
  AgentSpawned head{static_cast<int32_t>(ticket & 0xffffffffu)};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += nspace.empty() && !why.empty() ? AgentStrings({nspace, why.substr(0, 255)}) : AgentStrings({nspace});
  agentAnswers_.emplace_back(static_cast<int>(agent - 1), AgentEncode(kAgentSpawned, payload.data(), payload.size()));
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

bool MpiServer::AddSpawnedJob(int job, const pmi::PmixJob& facts, std::string* err, const std::vector<int>& agentOf) {
  if (pmix_ == nullptr) {
    *err = "no PMIx server runs";
    return false;
  }
  return pmix_->node.AddJob(job, facts, agentOf, err);
}

void MpiServer::SpawnedRankEnded(int job, int rank, std::vector<MpiEvent>* out) {
  const std::string nspace = pmix_ != nullptr ? pmix_->node.Nspace(job) : std::string();
  if (nspace.empty() || Relay() == nullptr || !Relay()->Unfinalized(nspace, rank)) return;
  MpiEvent e;
  e.kind = MpiEvent::kUnfinalized;
  e.job = job;
  e.rank = rank;
  out->push_back(e);
}

std::vector<std::string> MpiServer::SpawnedEnvironment(int job, int rank) const {
  const std::string nspace = pmix_ != nullptr ? pmix_->node.Nspace(job) : std::string();
  return nspace.empty() || Relay() == nullptr ? std::vector<std::string>() : Relay()->Environment(nspace, rank);
}
