#include "launcher/mpi/FirstJobPmi1.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <set>

#include "common/agent_wire.h"
#include "launcher/mpi/Pmi1Jobs.h"
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

// Which of the job's ranks tarvo serves itself (in the order of its
// server's clients), and each rank's client (-1: an agent's rank).
std::vector<int> OwnRanks(const std::vector<int>& agentOf, size_t size) {
  std::vector<int> ranks;
  for (size_t rank = 0; rank < size; ++rank) {
    if (agentOf[rank] < 0) ranks.push_back(static_cast<int>(rank));
  }
  return ranks;
}

std::vector<int> ClientOf(const std::vector<int>& ownRanks, size_t size) {
  std::vector<int> clientOf(size, -1);
  for (size_t c = 0; c < ownRanks.size(); ++c) clientOf[static_cast<size_t>(ownRanks[c])] = static_cast<int>(c);
  return clientOf;
}

}  // namespace

FirstJobPmi1::FirstJobPmi1(const std::vector<std::string>& hostOfRank, const std::vector<int>& appnums,
                           const std::vector<int>& agentOf, int agents, MpiSenders* senders, int kvsLimitMiB,
                           pmi::NameTable* names, std::vector<MpiEvent>* later)
    : senders_(senders),
      kvsLimitMiB_(kvsLimitMiB),
      size_(static_cast<int>(hostOfRank.size())),
      kvsname_("tarvo_" + std::to_string(getpid())),
      mapping_(pmi::ProcessMapping(hostOfRank)),
      appnums_(appnums),
      agentOf_(agentOf),
      localHost_(OwnHost(hostOfRank, agentOf)),
      later_(later),
      localRanks_(OwnRanks(agentOf, hostOfRank.size())),
      clientOf_(ClientOf(localRanks_, hostOfRank.size())),
      server_(NewServer(agents, names)),
      since_(hostOfRank.size(), -1) {
  fence_.agentIn.assign(static_cast<size_t>(agents), 0);
}

pmi::Pmi1Server* FirstJobPmi1::NewServer(int agents, pmi::NameTable* names) const {
  pmi::JobFacts facts;
  facts.kvsname = kvsname_;
  facts.size = facts.universeSize = size_;
  facts.processMapping = mapping_;
  facts.kvsLimit = static_cast<size_t>(kvsLimitMiB_) << 20;
  facts.alone = agents == 0;
  for (int rank : localRanks_) facts.clients.push_back(pmi::LocalRank{rank, appnums_[static_cast<size_t>(rank)]});
  // Spawns go to the run control, which refuses them where it cannot start
  // a job (ranks through remote shells, agents).
  return new pmi::Pmi1Server(facts, pmi::Pmi1Serving{names, false, true});
}

std::string FirstJobPmi1::JobPayload(int agent) const {
  std::vector<AgentJobClient> clients;
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] == agent) clients.push_back({rank, appnums_[static_cast<size_t>(rank)]});
  }
  AgentJobHead head{size_, size_, static_cast<int32_t>(clients.size()), kvsLimitMiB_};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload.append(reinterpret_cast<const char*>(clients.data()), clients.size() * sizeof(AgentJobClient));
  return payload + AgentStrings({kvsname_, mapping_});
}

int FirstJobPmi1::Prepare(int rank, std::vector<std::string>* env) {
  const int client = rank >= 0 && rank < size_ ? clientOf_[static_cast<size_t>(rank)] : -1;
  const int fd = client < 0 ? -1 : server_->OpenClient(client);
  if (fd >= 0) *env = pmi::ClientEnvironment(fd, rank, size_);
  return fd;
}

void FirstJobPmi1::Started(int rank) {
  if (rank >= 0 && rank < size_) server_->ChildStarted(clientOf_[static_cast<size_t>(rank)]);
}

void FirstJobPmi1::Ended(int rank, std::vector<MpiEvent>* out) {
  if (rank < 0 || rank >= size_ || clientOf_[static_cast<size_t>(rank)] < 0) return;
  std::vector<pmi::ServerEvent> events;
  server_->ClientEnded(clientOf_[static_cast<size_t>(rank)], &events);
  Take(events, out);
}

std::string FirstJobPmi1::PmiId(int rank) {
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

void FirstJobPmi1::Listen(int port, int held) {
  MpiSenders* senders = senders_;
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

void FirstJobPmi1::Fds(std::vector<pollfd>* fds) const {
  const size_t before = fds->size();
  server_->Fds(fds);
  fdCount_ = fds->size() - before;
}

void FirstJobPmi1::OnReady(const pollfd* fds, size_t count, double now, std::vector<MpiEvent>* out) {
  std::vector<pmi::ServerEvent> events;
  server_->OnReady(fds, count, now, &events);
  Take(events, out);
  for (MpiEvent& e : Pmi1SpawnEvents(0, *server_)) {
    if (out != nullptr) out->push_back(std::move(e));
    else AnswerSpawn(Pmi1TicketClient(e.ticket), std::string(), "not_now");
  }
  StampLocal(now);
}

void FirstJobPmi1::Tick(double now) {
  std::vector<pmi::ServerEvent> events;
  server_->Tick(now, &events);
  Take(events, nullptr);
}

void FirstJobPmi1::AnswerSpawn(int client, const std::string& nspace, const std::string& why) {
  std::vector<pmi::ServerEvent> events;
  server_->Answer(client, pmi::Pmi1SpawnReply(!nspace.empty(), why), &events);
  Take(events, later_);
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

void FirstJobPmi1::Take(std::vector<pmi::ServerEvent>& events, std::vector<MpiEvent>* out) {
  for (pmi::ServerEvent& e : events) {
    MpiEvent m;
    m.rank = e.client >= 0 ? localRanks_[static_cast<size_t>(e.client)] : -1;
    switch (e.kind) {
      case pmi::ServerEvent::kBarrier:
        fence_.localIn = true;
        // Moved, not copied: it may hold as much as the key-value bound.
        if (fence_.all.empty()) {
          fence_.all.swap(e.puts);
        } else {
          fence_.all.insert(std::make_move_iterator(e.puts.begin()), std::make_move_iterator(e.puts.end()));
        }
        continue;
      case pmi::ServerEvent::kStranger:
        if (senders_ != nullptr) senders_->CountStranger(e.sender.c_str());
        continue;
      case pmi::ServerEvent::kName:
        continue;  // tarvo's engine answers names from the run's table itself
      default:
        MpiEventOf(e, kvsLimitMiB_, &m);
        break;
    }
    if (out != nullptr) out->push_back(m);
  }
}

void FirstJobPmi1::StampLocal(double now) {
  for (size_t c = 0; c < localRanks_.size(); ++c) {
    double& since = since_[static_cast<size_t>(localRanks_[c])];
    if (!server_->Engine().InBarrier(static_cast<int>(c))) {
      since = -1;
    } else if (since < 0) {
      since = now;
    }
  }
}

bool FirstJobPmi1::AgentPuts(const std::string& payload) { return AgentTakeFencePuts(payload, &fence_.all); }

void FirstJobPmi1::AgentDone(int agent, double now) {
  fence_.agentIn[static_cast<size_t>(agent)] = 1;
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] == agent && since_[static_cast<size_t>(rank)] < 0) {
      since_[static_cast<size_t>(rank)] = now;
    }
  }
}

void FirstJobPmi1::AgentWaiting(int agent, const std::vector<int>& ranks, double now) {
  for (int rank = 0; rank < size_; ++rank) {
    if (agentOf_[static_cast<size_t>(rank)] != agent) continue;
    const bool waits = std::find(ranks.begin(), ranks.end(), rank) != ranks.end();
    double& since = since_[static_cast<size_t>(rank)];
    since = waits ? (since < 0 ? now : since) : -1;
  }
}

bool FirstJobPmi1::TakeFence(std::string* frames, std::vector<MpiEvent>* out) {
  const std::vector<char>& agentIn = fence_.agentIn;
  if ((!fence_.localIn && !localRanks_.empty()) || (localRanks_.empty() && agentIn.empty())) return false;
  for (char in : agentIn) {
    if (!in) return false;
  }
  if (!agentIn.empty()) *frames = AgentEncodeFence(fence_.all);
  std::vector<pmi::ServerEvent> events;
  server_->CompleteBarrier(fence_.all, &events);
  Take(events, out);
  fence_.all.clear();
  fence_.localIn = false;
  std::fill(fence_.agentIn.begin(), fence_.agentIn.end(), 0);
  std::fill(since_.begin(), since_.end(), -1);
  return true;
}

void FirstJobPmi1::Waiting(std::vector<double>* since) const {
  if (since->size() < since_.size()) since->resize(since_.size(), -1);
  for (size_t rank = 0; rank < since_.size(); ++rank) {
    if ((*since)[rank] < 0) (*since)[rank] = since_[rank];
  }
}
