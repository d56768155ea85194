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

MpiServer::MpiServer(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums,
                     const std::vector<int>& agentOf, int agents, const MpiLinks& links)
    : links_(links),
      size_(static_cast<int>(hostOfRank.size())),
      kvsname_("tarvo_" + std::to_string(getpid())),
      mapping_(pmi::ProcessMapping(hostOfRank)),
      appnums_(appnums),
      agentOf_(agentOf),
      clientOf_(hostOfRank.size(), -1),
      since_(hostOfRank.size(), -1),
      agentIn_(static_cast<size_t>(agents), 0),
      pmixFences_(agents, static_cast<size_t>(links.kvsLimitMiB) << 20) {
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
  server_.reset(new pmi::Pmi1Server(facts, pmi::Pmi1Serving{&names_, false, true}));
  if (!localRanks_.empty()) localHost_ = hostOfRank[static_cast<size_t>(localRanks_[0])];
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
  fdCounts_.clear();
  size_t before = fds->size();
  server_->Fds(fds);
  fdCounts_.push_back(fds->size() - before);
  for (const auto& j : pmi1Jobs_) {
    before = fds->size();
    j.second->Fds(fds);
    fdCounts_.push_back(fds->size() - before);
  }
  if (pmix_ != nullptr) fds->push_back({pmix_->WakeFd(), POLLIN, 0});
}

void MpiServer::OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out) {
  std::vector<pmi::ServerEvent> events;
  const bool pmixReady = pmix_ != nullptr && count > 0 && fds[count - 1].revents != 0;
  if (pmix_ != nullptr && count > 0) --count;
  // Each server's descriptors as the last Fds put them; a job added since
  // has none among them.
  size_t at = 0, n = fdCounts_.empty() ? count : std::min(fdCounts_[0], count);
  server_->OnReady(fds, n, now, &events);
  at += n;
  Take(events, out);
  TakePmi1Spawns(0, *server_, out);
  size_t k = 1;
  for (auto& j : pmi1Jobs_) {
    if (k >= fdCounts_.size()) break;
    n = std::min(fdCounts_[k++], count - at);
    events.clear();
    j.second->OnReady(fds + at, n, now, &events);
    at += n;
    TakeJob(j.first, events, out);
    TakePmi1Spawns(j.first, *j.second, out);
  }
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

namespace {

// What a rank's abort, broken protocol, end before finalize or full
// key-value space is for the run control, whichever job's server saw it.
void Translate(const pmi::ServerEvent& e, int kvsLimitMiB, MpiEvent* m) {
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

}  // namespace

void MpiServer::TakeJob(int job, std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out) {
  auto server = pmi1Jobs_.find(job);
  auto fence = pmi1Fences_.find(job);
  for (size_t i = 0; i < events.size(); ++i) {
    pmi::ServerEvent& e = events[i];
    MpiEvent m;
    m.job = job;
    m.rank = fence != pmi1Fences_.end() && e.client >= 0 && static_cast<size_t>(e.client) < fence->second.ranks.size()
                 ? fence->second.ranks[static_cast<size_t>(e.client)]
                 : e.client;
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier:
        if (fence == pmi1Fences_.end() || fence->second.agents.empty()) {
          // The job's ranks are all here: its barrier completes at once.
          if (server != pmi1Jobs_.end()) server->second->CompleteBarrier(pmi::KeyValues(), &events);
        } else {
          fence->second.localIn = true;
          fence->second.all.insert(e.puts.begin(), e.puts.end());
          Pmi1FenceIfComplete(job, &events);
        }
        continue;
      case pmi::ServerEvent::kStranger:
      case pmi::ServerEvent::kName:
        continue;
      default:
        Translate(e, links_.kvsLimitMiB, &m);
        break;
    }
    if (out != nullptr) out->push_back(m);
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
        Translate(e, links_.kvsLimitMiB, &m);
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
  auto job = pmi1AgentJob_.find(agent);
  if (job != pmi1AgentJob_.end() && job->second > 0) {
    auto fence = pmi1Fences_.find(job->second);
    pmi::KeyValues dropped;
    return AgentTakeFencePuts(payload, fence == pmi1Fences_.end() ? &dropped : &fence->second.all);
  }
  return AgentTakeFencePuts(payload, &union_);
}

void MpiServer::AgentDone(int agent, double now) {
  auto job = pmi1AgentJob_.find(agent);
  if (job != pmi1AgentJob_.end() && job->second > 0) {
    // A spawned job's barrier: once each of its hosts is in, the union
    // goes back to them.
    const int k = job->second;
    job->second = 0;
    auto fence = pmi1Fences_.find(k);
    if (fence == pmi1Fences_.end() || fence->second.agents.count(agent) == 0) return;
    fence->second.in.insert(agent);
    Pmi1FenceIfComplete(k, nullptr);
    return;
  }
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
