#include "launcher/mpi/MpiServer.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <ctime>
#include <set>

#include "common/agent_wire.h"
#include "pmi/process_mapping.h"
#include "pmi/spawn_wire.h"

namespace {

// The host of tarvo's own ranks (the first one's); empty when it has none.
std::string OwnHost(const std::vector<std::string>& hostOfRank, const std::vector<int>& agentOf) {
  for (size_t rank = 0; rank < hostOfRank.size(); ++rank) {
    if (agentOf[rank] < 0) return hostOfRank[rank];
  }
  return std::string();
}

}  // namespace

MpiServer::MpiServer(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums,
                     const std::vector<int>& agentOf, int agents, const MpiLinks& links)
    : links_(links),
      size_(static_cast<int>(hostOfRank.size())),
      kvsname_("tarvo_" + std::to_string(getpid())),
      mapping_(pmi::ProcessMapping(hostOfRank)),
      names_(
          [this](uint64_t ticket, pmi::NameTable::Status status, std::vector<pmi::PublishedName> found) {
            if (pmix_ != nullptr) pmix_->AnswerNames(ticket, status, std::move(found));
          },
          &agentAnswers_),
      appnums_(appnums),
      agentOf_(agentOf),
      clientOf_(hostOfRank.size(), -1),
      since_(hostOfRank.size(), -1),
      agentIn_(static_cast<size_t>(agents), 0),
      pmixFences_(agents, static_cast<size_t>(links.kvsLimitMiB) << 20),
      localHost_(OwnHost(hostOfRank, agentOf)),
      pmi1Jobs_(kvsname_, localHost_, links.kvsLimitMiB, names_.Table(), &agentAnswers_, &later_) {
  pmi::JobFacts facts;
  facts.kvsname = kvsname_;
  facts.size = facts.universeSize = size_;
  facts.processMapping = mapping_;
  facts.kvsLimit = static_cast<size_t>(links_.kvsLimitMiB) << 20;
  facts.alone = agents == 0;
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] >= 0) continue;
    clientOf_[static_cast<size_t>(rank)] = static_cast<int>(localRanks_.size());
    localRanks_.push_back(rank);
    facts.clients.push_back(pmi::LocalRank{rank, appnums_[static_cast<size_t>(rank)]});
  }
  // Spawns go to the run control, which refuses them where it cannot start
  // a job (ranks through remote shells, agents).
  server_.reset(new pmi::Pmi1Server(facts, pmi::Pmi1Serving{names_.Table(), false, true}));
}

std::string MpiServer::JobPayload(int agent) const {
  std::vector<AgentJobClient> clients;
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] == agent) clients.push_back({rank, appnums_[static_cast<size_t>(rank)]});
  }
  AgentJobHead head{size_, size_, static_cast<int32_t>(clients.size()), links_.kvsLimitMiB};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload.append(reinterpret_cast<const char*>(clients.data()), clients.size() * sizeof(AgentJobClient));
  return payload + AgentStrings({kvsname_, mapping_});
}

int MpiServer::PrepareRank(int rank, std::vector<std::string>* env) {
  const int client = rank >= 0 && rank < size_ ? clientOf_[static_cast<size_t>(rank)] : -1;
  const int fd = client < 0 ? -1 : server_->OpenClient(client);
  if (fd >= 0) *env = pmi::ClientEnvironment(fd, rank, size_);
  if (fd >= 0 && pmix_ != nullptr) {
    const std::vector<std::string> pmix = pmix_->Environment(rank);
    env->insert(env->end(), pmix.begin(), pmix.end());
  }
  return fd;
}

void MpiServer::RankStarted(int rank) {
  if (rank >= 0 && rank < size_) server_->ChildStarted(clientOf_[static_cast<size_t>(rank)]);
}

namespace {

// 31 random bits, from getrandom (or /dev/urandom where it is missing).
int32_t RandomId() {
  uint32_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, &bits, sizeof bits) != static_cast<ssize_t>(sizeof bits)) {
      // Nothing random to be had: the clock and the pid at least differ.
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      bits ^= static_cast<uint32_t>(now.tv_nsec) * 2654435761u ^ (static_cast<uint32_t>(getpid()) << 11);
    }
    if (fd >= 0) close(fd);
  }
  return static_cast<int32_t>(bits & 0x7fffffffu);
}

}  // namespace

std::string MpiServer::PmiId(int rank) {
  if (pmiIds_.empty()) {
    std::set<int32_t> drawn;
    for (int r = 0; r < size_; ++r) {
      int32_t id = RandomId();
      for (int tries = 0; tries < 64 && (id == 0 || !drawn.insert(id).second); ++tries) id = RandomId();
      pmiIds_.push_back(std::to_string(id));
    }
  }
  return rank >= 0 && rank < size_ ? pmiIds_[static_cast<size_t>(rank)] : std::string();
}

void MpiServer::Listen(int port, int held) {
  MpiSenders* senders = links_.senders;
  auto admit = [senders](const char* sender) { return senders == nullptr || senders->Admit(sender); };
  PmiId(0);
  std::map<std::string, int> byId;
  for (size_t rank = 0; rank < pmiIds_.size(); ++rank) byId[pmiIds_[rank]] = static_cast<int>(rank);
  auto rankOfId = [byId](const std::string& id) {
    auto at = byId.find(id);
    return at == byId.end() ? -1 : at->second;
  };
  int bound = port;
  if (held < 0) held = pmi::BindTcpPort(port, &bound);
  if (!server_->Listen(held, admit, rankOfId)) {
    fprintf(stderr, "tarvo: cannot listen on TCP port %d for the MPI ranks of remote hosts: %s\n", port,
            strerror(errno));
  }
}

void MpiServer::Fds(std::vector<pollfd>* fds) const {
  const size_t before = fds->size();
  server_->Fds(fds);
  firstFds_ = fds->size() - before;
  pmi1Jobs_.Fds(fds);
  if (pmix_ != nullptr) fds->push_back({pmix_->WakeFd(), POLLIN, 0});
}

void MpiServer::OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out) {
  std::vector<pmi::ServerEvent> events;
  const bool pmixReady = pmix_ != nullptr && count > 0 && fds[count - 1].revents != 0;
  if (pmix_ != nullptr && count > 0) --count;
  // The first job's server's descriptors as the last Fds put them, then
  // the spawned jobs'.
  const size_t n = std::min(firstFds_, count);
  server_->OnReady(fds, n, now, &events);
  Take(events, out);
  for (MpiEvent& e : Pmi1SpawnEvents(0, *server_)) {
    if (out != nullptr) out->push_back(std::move(e));
    else AnswerSpawn(e.ticket, std::string(), "not_now");
  }
  pmi1Jobs_.OnReady(fds + n, count - n, now, out);
  if (out != nullptr) out->insert(out->end(), later_.begin(), later_.end());
  later_.clear();
  if (pmixReady) TakePmix(out);
  StampLocal(now);
}

void MpiServer::Tick(double now) {
  std::vector<pmi::ServerEvent> events;
  server_->Tick(now, &events);
  Take(events, nullptr);
}

void MpiEventOf(const pmi::ServerEvent& e, int kvsLimitMiB, MpiEvent* m) {
  switch (e.kind) {
    case pmi::ServerEvent::kAbort:
      m->kind = MpiEvent::kAbort;
      m->exitCode = e.exitCode;
      break;
    case pmi::ServerEvent::kBreak:
      m->kind = MpiEvent::kBreak;
      m->text = e.text;
      m->sent = e.sent;
      break;
    case pmi::ServerEvent::kLeft:
      m->kind = MpiEvent::kUnfinalized;
      break;
    case pmi::ServerEvent::kFull:
      m->kind = MpiEvent::kFull;
      m->exitCode = kvsLimitMiB;
      break;
    default:
      break;
  }
}

void MpiServer::Take(std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out) {
  for (pmi::ServerEvent& e : events) {
    MpiEvent m;
    m.rank = e.client >= 0 ? localRanks_[static_cast<size_t>(e.client)] : -1;
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier:
        localIn_ = true;
        // Moved, not copied: it may hold as much as the key-value bound.
        if (union_.empty()) {
          union_.swap(e.puts);
        } else {
          union_.insert(std::make_move_iterator(e.puts.begin()), std::make_move_iterator(e.puts.end()));
        }
        continue;
      case pmi::ServerEvent::kStranger:
        if (links_.senders != nullptr) links_.senders->CountStranger(e.sender.c_str());
        continue;
      case pmi::ServerEvent::kName:
        continue;  // tarvo's engine answers names from the run's table itself
      default:
        MpiEventOf(e, links_.kvsLimitMiB, &m);
        break;
    }
    if (out != nullptr) out->push_back(m);
  }
}

void MpiServer::StampLocal(double now) {
  for (size_t c = 0; c < localRanks_.size(); ++c) {
    double& since = since_[static_cast<size_t>(localRanks_[c])];
    if (!server_->Engine().InBarrier(static_cast<int>(c))) {
      since = -1;
    } else if (since < 0) {
      since = now;
    }
  }
}

bool MpiServer::AgentPuts(int agent, const std::string& payload) {
  bool ok = false;
  if (pmi1Jobs_.AgentPuts(agent, payload, &ok)) return ok;
  return AgentTakeFencePuts(payload, &union_);
}

void MpiServer::AgentDone(int agent, double now) {
  if (pmi1Jobs_.AgentDone(agent)) return;  // a spawned job's barrier
  agentIn_[static_cast<size_t>(agent)] = 1;
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] == agent && since_[static_cast<size_t>(rank)] < 0) {
      since_[static_cast<size_t>(rank)] = now;
    }
  }
}

void MpiServer::AgentWaiting(int agent, const std::vector<int>& ranks, double now) {
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] != agent) continue;
    const bool waits = std::find(ranks.begin(), ranks.end(), rank) != ranks.end();
    double& since = since_[static_cast<size_t>(rank)];
    since = waits ? (since < 0 ? now : since) : -1;
  }
}

bool MpiServer::TakeFence(std::string* frames, std::vector<MpiEvent>* out) {
  if ((!localIn_ && !localRanks_.empty()) || (localRanks_.empty() && agentIn_.empty())) return false;
  for (char in : agentIn_) {
    if (!in) return false;
  }
  if (!agentIn_.empty()) *frames = AgentEncodeFence(union_);
  std::vector<pmi::ServerEvent> events;
  server_->CompleteBarrier(union_, &events);
  Take(events, out);
  union_.clear();
  localIn_ = false;
  std::fill(agentIn_.begin(), agentIn_.end(), 0);
  std::fill(since_.begin(), since_.end(), -1);
  return true;
}

void MpiServer::Waiting(std::vector<double>* since) const {
  if (since->size() < since_.size()) since->resize(since_.size(), -1);
  for (size_t rank = 0; rank < since_.size(); ++rank) {
    if ((*since)[rank] < 0) (*since)[rank] = since_[rank];
  }
}
