#include "agent/agent_inbox.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/carrier_params.h"
#include "common/protocol.h"
#include "common/rank_place.h"

namespace {

// carrier's vector: the program, its arguments, then the parameters.
const size_t kParams = TARVO_PARAMS;
// The most that the launcher sends for a spawned process: the words of a
// program-file line and the parameters.
const size_t kMaxWords = kMaxProgramWords + kParams;

// The fixed head that opens `payload`; false when the payload is shorter.
template <typename Head>
bool TakeHead(const std::string& payload, Head* head) {
  if (payload.size() < sizeof *head) return false;
  memcpy(head, payload.data(), sizeof *head);
  return true;
}

// The PMI-1 job: a size of at least one, distinct ranks within it, a
// kvsname of 1 to 256 characters and the mapping.
bool ReadJob(const std::string& payload, AgentOrder* order) {
  AgentJobHead head;
  if (!TakeHead(payload, &head)) return false;
  if (head.size <= 0 || head.universeSize < head.size || head.clients < 0 || head.clients > head.size ||
      head.kvsLimitMiB < 0 ||
      payload.size() - sizeof head < static_cast<size_t>(head.clients) * sizeof(AgentJobClient)) {
    return false;
  }
  const size_t strings = sizeof head + static_cast<size_t>(head.clients) * sizeof(AgentJobClient);
  // Distinct ranks, checked on the ranks sent: the size is only a number
  // and must not decide what is allocated.
  std::vector<int32_t> ranks;
  for (int32_t i = 0; i < head.clients; ++i) {
    AgentJobClient c;
    memcpy(&c, payload.data() + sizeof head + static_cast<size_t>(i) * sizeof c, sizeof c);
    if (c.rank < 0 || c.rank >= head.size || c.appnum < 0) return false;
    ranks.push_back(c.rank);
    order->clients.push_back(c);
  }
  std::sort(ranks.begin(), ranks.end());
  if (std::adjacent_find(ranks.begin(), ranks.end()) != ranks.end()) return false;
  order->kvsLimitMiB = head.kvsLimitMiB;
  if (!AgentSplitStrings(payload.data() + strings, payload.size() - strings, &order->strings) ||
      order->strings.size() != 2 || order->strings[0].empty() || order->strings[0].size() > 256) {
    return false;
  }
  for (char ch : order->strings[0]) {
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-') return false;
  }
  order->size = head.size;
  order->universeSize = head.universeSize;
  return true;
}

// A rank's place: a known binding and flags, its host, and file names that
// fit a vector element (empty for none).
bool ReadPlace(const std::string& payload, AgentOrder* order) {
  AgentPlaceHead head;
  if (!TakeHead(payload, &head)) return false;
  if (!AgentSplitStrings(payload.data() + sizeof head, payload.size() - sizeof head, &order->strings)) return false;
  if (head.rank < 0 || head.bind < 0 || head.bind > kBindLast || (head.flags & ~(kAgentPlaceReport | kAgentPlaceThreads)) != 0 ||
      head.cpusPerRank < 1 || head.cpusPerRank > kMaxCpusPerRank || head.gpusPerRank < 0 ||
      head.gpusPerRank > kMaxGpusPerRank || order->strings.size() != 3 || order->strings[0].empty()) {
    return false;
  }
  for (const std::string& s : order->strings) {
    if (s.size() > static_cast<size_t>(kMaxVectorElement)) return false;
  }
  order->rank = head.rank;
  order->bind = head.bind;
  order->flags = head.flags;
  order->cpusPerRank = head.cpusPerRank;
  order->gpusPerRank = head.gpusPerRank;
  return true;
}

// A job's facts from `at`: `size` appnums, then its strings (a size of at
// least one, a universe that is not negative).
bool ReadJobFacts(const std::string& payload, size_t at, int32_t size, int32_t universe, AgentOrder* order) {
  AgentPmixJobHead head{size, universe};
  if (head.universe < 0 || head.size <= 0 ||
      (payload.size() - at) / sizeof(int32_t) < static_cast<size_t>(head.size)) {
    return false;
  }
  const size_t strings = at + static_cast<size_t>(head.size) * sizeof(int32_t);
  for (int32_t i = 0; i < head.size; ++i) {
    int32_t appnum;
    memcpy(&appnum, payload.data() + at + static_cast<size_t>(i) * sizeof appnum, sizeof appnum);
    if (appnum < 0) return false;
    order->appnums.push_back(appnum);
  }
  if (!AgentSplitStrings(payload.data() + strings, payload.size() - strings, &order->strings) ||
      order->strings.size() != static_cast<size_t>(head.size) + 2 || order->strings[0].size() > 255) {
    return false;
  }
  for (const std::string& s : order->strings) {
    if (s.empty()) return false;
  }
  order->size = head.size;
  order->universeSize = head.universe;
  return true;
}

// The PMIx job: a size of at least one, appnums that are not negative, a
// namespace of 1 to 255 characters, this node's name and one host per rank,
// none of them empty (pmi::CheckJob judges the rest).
bool ReadPmixJob(const std::string& payload, AgentOrder* order) {
  AgentPmixJobHead head;
  if (!TakeHead(payload, &head)) return false;
  return ReadJobFacts(payload, sizeof head, head.size, head.universe, order);
}

// A spawned job: a number from 1, then the facts as a PMIx job's.
bool ReadSpawnJob(const std::string& payload, AgentOrder* order) {
  AgentSpawnJobHead head;
  if (!TakeHead(payload, &head) || head.job < 1) return false;
  order->job = head.job;
  return ReadJobFacts(payload, sizeof head, head.size, head.universe, order);
}

// A job that an MPICH rank spawned: the facts as a spawned job's, with a
// kvsname that the protocol takes, then the preput key, value pairs (keys
// not empty).
bool ReadPmi1Job(const std::string& payload, AgentOrder* order) {
  AgentSpawnJobHead head;
  if (!TakeHead(payload, &head) || head.job < 1 || head.size <= 0) return false;
  std::vector<std::string> strings;
  const size_t at = sizeof head + static_cast<size_t>(head.size) * sizeof(int32_t);
  if (payload.size() < at || !AgentSplitStrings(payload.data() + at, payload.size() - at, &strings) ||
      strings.size() < static_cast<size_t>(head.size) + 2 || (strings.size() - static_cast<size_t>(head.size)) % 2 != 0) {
    return false;
  }
  const size_t facts = static_cast<size_t>(head.size) + 2;
  std::string rest = payload.substr(0, at) + AgentStrings(std::vector<std::string>(strings.begin(), strings.begin() + static_cast<long>(facts)));
  if (!ReadJobFacts(rest, sizeof head, head.size, head.size, order)) return false;
  for (size_t i = facts; i < strings.size(); i += 2) {
    if (strings[i].empty()) return false;
    order->puts.emplace(strings[i], strings[i + 1]);
  }
  for (char ch : order->strings[0]) {
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-') return false;
  }
  order->job = head.job;
  return true;
}

// One of the agent's processes of a spawned job: carrier's words as a
// rank's, then NAME=VALUE strings.
bool ReadSpawnRank(const std::string& payload, AgentOrder* order) {
  AgentSpawnRankHead head;
  std::vector<std::string> strings;
  if (!TakeHead(payload, &head) ||
      !AgentSplitStrings(payload.data() + sizeof head, payload.size() - sizeof head, &strings)) {
    return false;
  }
  const size_t n = static_cast<size_t>(head.words);
  if (head.job < 1 || head.rank < 0 || head.words < 0 || n > strings.size() || n < kParams + 1 || n > kMaxWords ||
      (head.flags & ~(kAgentRankLabel | kAgentRankPty)) != 0) {
    return false;
  }
  order->strings.assign(strings.begin(), strings.begin() + static_cast<long>(n));
  order->env.assign(strings.begin() + static_cast<long>(n), strings.end());
  for (const std::string& e : order->env) {
    const size_t eq = e.find('=');
    if (eq == 0 || eq == std::string::npos) return false;
  }
  if (order->strings[n - kParams + TARVO_PARAM_RANK] != std::to_string(head.rank)) return false;
  order->job = head.job;
  order->rank = head.rank;
  order->flags = head.flags;
  return true;
}

// One string, the only one of the payload.
bool ReadOneString(const std::string& payload, AgentOrder* order) {
  return AgentSplitStrings(payload.data(), payload.size(), &order->strings) && order->strings.size() == 1 &&
         order->strings[0].size() <= 255;
}


// The environment: NAME=VALUE strings, each with a name.
bool ReadEnv(const std::string& payload, AgentOrder* order) {
  if (!AgentSplitStrings(payload.data(), payload.size(), &order->strings)) return false;
  for (const std::string& s : order->strings) {
    const size_t eq = s.find('=');
    if (eq == 0 || eq == std::string::npos) return false;
  }
  return true;
}

// A rank: carrier's words, which name the rank, and known flags.
bool ReadRank(const std::string& payload, AgentOrder* order) {
  AgentRankHead head;
  if (!TakeHead(payload, &head)) return false;
  if (!AgentSplitStrings(payload.data() + sizeof head, payload.size() - sizeof head, &order->strings)) return false;
  const size_t n = order->strings.size();
  // The frame's size alone bounds the words: a user program takes as
  // many arguments as the system lets an exec take.
  if (head.rank < 0 || head.words < 0 || static_cast<size_t>(head.words) != n || n < kParams + 1 ||
      (head.flags & ~(kAgentRankStdin | kAgentRankLabel | kAgentRankOwnSession | kAgentRankStdinCopy | kAgentRankPty)) !=
          0) {
    return false;
  }
  if (order->strings[n - kParams + TARVO_PARAM_RANK] != std::to_string(head.rank)) return false;
  order->rank = head.rank;
  order->flags = head.flags;
  return true;
}

bool ReadSignal(const std::string& payload, AgentOrder* order) {
  AgentSignal s;
  if (payload.size() != sizeof s) return false;
  memcpy(&s, payload.data(), sizeof s);
  order->sig = s.sig;
  return s.sig > 0 && s.sig < NSIG;
}

// A question for the call stacks: one sample or two.
bool ReadStacksAsk(const std::string& payload, AgentOrder* order) {
  int32_t samples = 0;
  if (payload.size() != sizeof samples) return false;
  memcpy(&samples, payload.data(), sizeof samples);
  order->samples = samples;
  return samples == 1 || samples == 2;
}

// A question for the host's topology: a known binding level, GPUs or not.
bool ReadTopologyAsk(const std::string& payload, AgentOrder* order) {
  AgentTopologyAsk ask;
  if (!TakeHead(payload, &ask) || payload.size() != sizeof ask) return false;
  order->bind = ask.bind;
  order->gpus = ask.gpus == 1;
  return ask.bind >= 0 && ask.bind <= kBindLast && (ask.gpus == 0 || ask.gpus == 1);
}

// The size of tarvo's terminal: what a terminal can hold.
bool ReadWindow(const std::string& payload, AgentOrder* order) {
  if (!TakeHead(payload, &order->window) || payload.size() != sizeof order->window) return false;
  for (int32_t v : {order->window.rows, order->window.cols, order->window.xpixel, order->window.ypixel}) {
    if (v < 0 || v > 65535) return false;
  }
  return true;
}

bool ReadNothing(const std::string& payload, AgentOrder*) { return payload.empty(); }

// Bytes that their server reads (a PMIx fence's part, a names answer).
bool ReadBytes(const std::string& payload, AgentOrder* order) {
  order->bytes = payload;
  return true;
}

bool ReadFencePuts(const std::string& payload, AgentOrder* order) { return AgentTakeFencePuts(payload, &order->puts); }

bool ReadPmixSet(const std::string& payload, AgentOrder* order) { return AgentTakePmixSet(payload, &order->pmixRanks); }

bool ReadConnected(const std::string& payload, AgentOrder* order) {
  AgentConnected c;
  memcpy(&c, payload.data(), sizeof c);  // the frame reader checked its size
  order->ticket = c.ticket;
  order->ok = c.ok != 0;
  return true;
}

// A direct modex's ask or answer, then its data.
bool ReadModex(const std::string& payload, AgentOrder* order) {
  if (payload.size() < sizeof order->modex) return false;
  memcpy(&order->modex, payload.data(), sizeof order->modex);
  order->bytes = payload.substr(sizeof order->modex);
  return true;
}

bool ReadNspace(const std::string& payload, AgentOrder* order) {
  return ReadOneString(payload, order) && !order->strings[0].empty();
}

// A spawn's answer: the namespace, and for a refusal perhaps why.
bool ReadSpawned(const std::string& payload, AgentOrder* order) {
  AgentSpawned a;
  if (!TakeHead(payload, &a)) return false;
  order->ticket = a.ticket;
  const std::string rest = payload.substr(sizeof a);
  if (ReadOneString(rest, order)) return true;
  return order->strings.size() == 2 && order->strings[0].empty() && order->strings[1].size() <= 255;
}

bool ReadPmi1Barrier(const std::string& payload, AgentOrder* order) {
  int32_t job;
  if (!TakeHead(payload, &job) || job < 1) return false;
  order->job = job;
  return true;
}

// A spawned job's go: start (status 0) or drop (1) its processes.
bool ReadJobGo(const std::string& payload, AgentOrder* order) {
  AgentJobRank go;
  if (!TakeHead(payload, &go) || go.job < 1 || (go.status != 0 && go.status != 1)) return false;
  order->job = go.job;
  order->ok = go.status == 0;
  return true;
}

// Each frame type that the launcher sends, the order it makes and its reader.
struct OrderReader {
  int32_t type;
  AgentOrder::Kind kind;
  bool (*read)(const std::string& payload, AgentOrder* order);
};

const OrderReader kReaders[] = {
    {kAgentEnv, AgentOrder::kEnv, ReadEnv},
    {kAgentRank, AgentOrder::kRank, ReadRank},
    {kAgentSignal, AgentOrder::kSignal, ReadSignal},
    {kAgentAllSent, AgentOrder::kAllSent, ReadNothing},
    {kAgentStacksAsk, AgentOrder::kStacksAsk, ReadStacksAsk},
    {kAgentJob, AgentOrder::kJob, ReadJob},
    {kAgentFencePuts, AgentOrder::kFencePuts, ReadFencePuts},
    {kAgentFenceDone, AgentOrder::kFenceDone, ReadNothing},
    {kAgentPlace, AgentOrder::kPlace, ReadPlace},
    {kAgentPmixJob, AgentOrder::kPmixJob, ReadPmixJob},
    {kAgentPmixPart, AgentOrder::kPmixPart, ReadBytes},
    {kAgentPmixDone, AgentOrder::kPmixDone, ReadNothing},
    {kAgentConnected, AgentOrder::kConnected, ReadConnected},
    {kAgentNamesAnswer, AgentOrder::kNamesAnswer, ReadBytes},
    {kAgentPmixFailed, AgentOrder::kPmixFailed, ReadNothing},
    {kAgentPmixServe, AgentOrder::kPmixServe, ReadModex},
    {kAgentPmixFetched, AgentOrder::kPmixFetched, ReadModex},
    {kAgentPmixSet, AgentOrder::kPmixSet, ReadPmixSet},
    {kAgentPmixNspace, AgentOrder::kPmixNspace, ReadNspace},
    {kAgentSpawned, AgentOrder::kSpawned, ReadSpawned},
    {kAgentPmi1Job, AgentOrder::kPmi1Job, ReadPmi1Job},
    {kAgentPmi1Barrier, AgentOrder::kPmi1Barrier, ReadPmi1Barrier},
    {kAgentSpawnJob, AgentOrder::kSpawnJob, ReadSpawnJob},
    {kAgentSpawnRank, AgentOrder::kSpawnRank, ReadSpawnRank},
    {kAgentJobGo, AgentOrder::kJobGo, ReadJobGo},
    {kAgentTopologyAsk, AgentOrder::kTopologyAsk, ReadTopologyAsk},
    {kAgentWindow, AgentOrder::kWindow, ReadWindow},
};

}  // namespace

bool AgentReadOrder(const AgentMessage& m, AgentOrder* order) {
  *order = AgentOrder();
  for (const OrderReader& r : kReaders) {
    if (r.type != m.type) continue;
    order->kind = r.kind;
    return r.read(m.payload, order);
  }
  return false;
}
