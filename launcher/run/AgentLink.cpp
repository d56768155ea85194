// The pure reader of one agent's connection (AgentTakeMessage): the proof
// of the hello, the ranks' starts and ends, and the PMI-1 fence, abort and
// waiting ranks.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "launcher/run/AgentHub.h"

namespace {

// Compares without stopping at the first difference.
bool SameSecret(const char* got, size_t gotSize, const std::string& want) {
  unsigned diff = gotSize == want.size() ? 0 : 1;
  for (size_t i = 0; i < want.size() && i < gotSize; ++i) diff |= static_cast<unsigned char>(got[i] ^ want[i]);
  return diff == 0;
}

bool OwnRank(const AgentLinkState& a, int rank) { return std::binary_search(a.ranks.begin(), a.ranks.end(), rank); }

// A record about one of the agent's own ranks (the frame reader checked its
// size) into `r`, and the event of `kind` about that rank into `e`.
template <typename Record>
bool TakeRankRecord(const AgentMessage& m, const AgentLinkState& a, int self, AgentEvent::Kind kind, Record* r,
                    AgentEvent* e) {
  memcpy(r, m.payload.data(), sizeof *r);
  if (!OwnRank(a, r->rank)) return false;
  e->kind = kind;
  e->agent = self;
  e->rank = r->rank;
  return true;
}

// The PMI fence: an agent's puts (checked as the launcher will take them),
// its "done", and the ranks of it that wait.
bool TakeFence(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.agent = self;
  if (m.type == kAgentFenceDone) {
    e.kind = AgentEvent::kFenceDone;
  } else if (m.type == kAgentFencePuts) {
    std::map<std::string, std::string> puts;
    if (!AgentTakeFencePuts(m.payload, &puts)) return false;
    e.kind = AgentEvent::kFencePuts;
    e.payload = m.payload;
  } else {
    if (m.payload.size() % sizeof(int32_t) != 0) return false;
    e.kind = AgentEvent::kWaiting;
    for (size_t at = 0; at < m.payload.size(); at += sizeof(int32_t)) {
      int32_t rank;
      memcpy(&rank, m.payload.data() + at, sizeof rank);
      if (!OwnRank(a, rank)) return false;
      e.ranks.push_back(rank);
    }
  }
  out->push_back(e);
  return true;
}

// Spawned job `job`'s readiness, or one of its processes that this agent
// was given and that has not ended: started, ended, unfinalized, aborted.
bool TakeJobRank(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentJobRank r;
  memcpy(&r, m.payload.data(), sizeof r);  // the frame reader checked its size
  AgentEvent e;
  e.agent = self;
  e.job = r.job;
  e.rank = r.rank;
  if (m.type == kAgentJobReady) {
    e.kind = AgentEvent::kJobReady;
    e.status = r.status;
    out->push_back(e);
    return r.job > 0;
  }
  auto child = a.children.find({r.job, r.rank});
  if (child == a.children.end()) return false;
  if (m.type == kAgentJobStarted || m.type == kAgentJobEnded) {
    if (r.pid <= 0) return false;
    e.pid = r.pid;
    e.kind = m.type == kAgentJobStarted ? AgentEvent::kStarted : AgentEvent::kEnded;
    if (m.type == kAgentJobEnded) {
      e.waitStatus = r.status;
      a.children.erase(child);
      --a.live;
    }
  } else if (m.type == kAgentJobUnfinalized) {
    e.kind = AgentEvent::kUnfinalized;
  } else {
    e.kind = AgentEvent::kAbort;
    e.exitCode = r.status;
  }
  out->push_back(e);
  return true;
}

// A part of a PMIx fence, its end or failure, or a rank of the agent that
// left unfinalized.
bool TakePmix(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.agent = self;
  e.kind = m.type == kAgentPmixPart     ? AgentEvent::kPmixPart
           : m.type == kAgentPmixDone   ? AgentEvent::kPmixDone
           : m.type == kAgentPmixFailed ? AgentEvent::kPmixFailed
                                        : AgentEvent::kUnfinalized;
  if (m.type == kAgentPmixPart) e.payload = m.payload;
  if (m.type == kAgentUnfinalized) {
    int32_t rank;
    memcpy(&rank, m.payload.data(), sizeof rank);  // the frame reader checked its size
    if (!OwnRank(a, rank)) return false;
    e.rank = rank;
  }
  out->push_back(e);
  return true;
}

// A request that the run control reads: names, connect, spawn, or the
// namespace of the next PMIx frames.
bool TakeRequest(const AgentMessage& m, AgentLinkState&, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.agent = self;
  e.kind = m.type == kAgentNames     ? AgentEvent::kNames
           : m.type == kAgentConnect ? AgentEvent::kConnect
           : m.type == kAgentSpawn   ? AgentEvent::kSpawn
                                     : AgentEvent::kPmixNspace;
  if (m.type == kAgentPmixNspace) {
    std::vector<std::string> nspace;
    if (!AgentSplitStrings(m.payload.data(), m.payload.size(), &nspace) || nspace.size() != 1 || nspace[0].empty()) {
      return false;
    }
    e.why = nspace[0];
  }
  e.payload = m.payload;
  out->push_back(e);
  return true;
}

// The direct modex: a fetch of a rank's data, or the answer to a serve.
bool TakeModex(const AgentMessage& m, AgentLinkState&, int self, std::vector<AgentEvent>* out) {
  AgentPmixModex modex;
  if (m.payload.size() < sizeof modex) return false;
  memcpy(&modex, m.payload.data(), sizeof modex);
  AgentEvent e;
  e.agent = self;
  e.kind = m.type == kAgentPmixFetch ? AgentEvent::kPmixFetch : AgentEvent::kPmixServed;
  e.rank = modex.rank;
  e.exitCode = modex.tag;
  e.status = modex.status;
  e.payload = m.payload.substr(sizeof modex);
  out->push_back(e);
  return true;
}

bool TakePmi1Barrier(const AgentMessage& m, AgentLinkState&, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.agent = self;
  e.kind = AgentEvent::kPmi1Barrier;
  int32_t job;
  memcpy(&job, m.payload.data(), sizeof job);  // the frame reader checked its size
  if (job < 1) return false;
  e.job = job;
  out->push_back(e);
  return true;
}

bool TakePmixSet(const AgentMessage& m, AgentLinkState&, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.agent = self;
  e.kind = AgentEvent::kPmixSet;
  if (!AgentTakePmixSet(m.payload, &e.ranks)) return false;
  out->push_back(e);
  return true;
}

// The call stacks: of the agent's own processes only, each thread once.
bool TakeStacks(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentEvent e;
  e.kind = AgentEvent::kStacks;
  e.agent = self;
  std::vector<RankStack> stacks;
  if (!StackDecode(m.payload, &stacks)) return false;
  std::set<std::tuple<int, int, int>> seen;  // (job, rank, thread)
  for (RankStack& s : stacks) {
    const bool own = s.job == 0 ? OwnRank(a, s.rank) : a.given.count({s.job, s.rank}) != 0;
    if (!own || !seen.insert(std::make_tuple(s.job, s.rank, s.thread)).second) return false;
    e.stacks.push_back(std::move(s));
  }
  out->push_back(e);
  return true;
}

bool TakeBroke(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentRankBroke r;
  AgentEvent e;
  if (!TakeRankRecord(m, a, self, AgentEvent::kBroke, &r, &e)) return false;
  e.why.assign(r.why, strnlen(r.why, sizeof r.why));
  e.payload.assign(r.sent, strnlen(r.sent, sizeof r.sent));
  out->push_back(e);
  return true;
}

bool TakeAbort(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentRankAbort r;
  AgentEvent e;
  if (!TakeRankRecord(m, a, self, AgentEvent::kAbort, &r, &e)) return false;
  e.exitCode = r.exitCode;
  out->push_back(e);
  return true;
}

// Its host's units and GPUs, or why it cannot tell them.
bool TakeTopology(const AgentMessage& m, AgentLinkState&, int self, std::vector<AgentEvent>* out) {
  std::vector<std::string> told;
  if (!AgentSplitStrings(m.payload.data(), m.payload.size(), &told) || told.size() != 2) return false;
  // A line a unit or a GPU: a host has no more units than CPUs.
  if (std::count(told[0].begin(), told[0].end(), '\n') > 2 * CPU_SETSIZE) return false;
  AgentEvent e;
  e.agent = self;
  e.kind = AgentEvent::kTopology;
  e.why = told[1];
  if (e.why.empty() && (!TopologyRead(told[0], &e.topology) || e.topology.units.empty())) return false;
  if (!e.why.empty() && !told[0].empty()) return false;
  out->push_back(e);
  return true;
}

// A rank of the agent's started, or ended (once).
bool TakeRankEnd(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out) {
  AgentRankEnd r{};
  memcpy(&r, m.payload.data(), std::min(m.payload.size(), sizeof r));
  auto it = std::lower_bound(a.ranks.begin(), a.ranks.end(), r.rank);
  if (it == a.ranks.end() || *it != r.rank || r.pid <= 0) return false;  // not a rank of this agent
  const size_t k = static_cast<size_t>(it - a.ranks.begin());
  if (a.ended[k]) return false;
  AgentEvent e;
  e.agent = self;
  e.rank = r.rank;
  e.pid = r.pid;
  if (m.type == kAgentStarted) {
    e.kind = AgentEvent::kStarted;
  } else {
    e.kind = AgentEvent::kEnded;
    e.waitStatus = r.waitStatus;
    a.ended[k] = 1;
    --a.live;
  }
  out->push_back(e);
  return true;
}

// The first message proves the connection, or ends it.
bool TakeHello(const AgentMessage& m, const std::string& secret, std::vector<AgentLinkState>* agents, int* self,
               std::vector<AgentEvent>* out) {
  if (m.type != kAgentHello || m.payload.size() < kAgentHelloV1Size || m.payload.size() > 4096) return false;
  AgentHello hello{};
  hello.version = 1;
  memcpy(&hello, m.payload.data(), std::min(m.payload.size(), sizeof hello));
  if (!SameSecret(hello.secret, strnlen(hello.secret, sizeof hello.secret), secret)) return false;
  if (hello.agent < 0 || static_cast<size_t>(hello.agent) >= agents->size()) return false;
  AgentLinkState& a = (*agents)[static_cast<size_t>(hello.agent)];
  if (a.agent >= 0) return false;  // that agent has a connection already
  AgentEvent e;
  e.agent = hello.agent;
  if (hello.version != kAgentProtocolVersion) {
    // The run's own agent, of another tarvo: nothing else it says can be read.
    e.kind = AgentEvent::kWrongVersion;
    e.exitCode = hello.version;
    out->push_back(e);
    return false;
  }
  if (m.payload.size() != sizeof hello) return false;
  a.agent = hello.agent;
  *self = hello.agent;
  e.kind = AgentEvent::kLoggedIn;
  out->push_back(e);
  return true;
}

// Each frame type that an agent sends after its hello, and its reader.
struct MessageTaker {
  int32_t type;
  bool (*take)(const AgentMessage& m, AgentLinkState& a, int self, std::vector<AgentEvent>* out);
};

const MessageTaker kTakers[] = {
    {kAgentStarted, TakeRankEnd},         {kAgentEnded, TakeRankEnd},
    {kAgentAbort, TakeAbort},             {kAgentBroke, TakeBroke},
    {kAgentFencePuts, TakeFence},         {kAgentFenceDone, TakeFence},
    {kAgentWaiting, TakeFence},           {kAgentPmi1Barrier, TakePmi1Barrier},
    {kAgentPmixPart, TakePmix},           {kAgentPmixDone, TakePmix},
    {kAgentPmixFailed, TakePmix},         {kAgentUnfinalized, TakePmix},
    {kAgentPmixSet, TakePmixSet},         {kAgentPmixFetch, TakeModex},
    {kAgentPmixServed, TakeModex},        {kAgentNames, TakeRequest},
    {kAgentConnect, TakeRequest},         {kAgentSpawn, TakeRequest},
    {kAgentPmixNspace, TakeRequest},      {kAgentJobReady, TakeJobRank},
    {kAgentJobStarted, TakeJobRank},      {kAgentJobEnded, TakeJobRank},
    {kAgentJobUnfinalized, TakeJobRank},  {kAgentJobAbort, TakeJobRank},
    {kAgentStacks, TakeStacks},           {kAgentTopology, TakeTopology},
};

}  // namespace

bool AgentTakeMessage(const AgentMessage& m, const std::string& secret, std::vector<AgentLinkState>* agents,
                      int* self, std::vector<AgentEvent>* out) {
  if (*self < 0) return TakeHello(m, secret, agents, self, out);
  AgentLinkState& a = (*agents)[static_cast<size_t>(*self)];
  for (const MessageTaker& t : kTakers) {
    if (t.type == m.type) return t.take(m, a, *self, out);
  }
  return false;
}
