// The launcher's side of the launch agents (TARVO_LAUNCH=host): one agent
// per remote host, started through one remote shell, connects back over TCP,
// proves itself with the run's secret, receives its ranks and reports how
// each one started and ended. The run control polls the hub's descriptors in
// its one loop; the hub turns what arrives into events for it.
#ifndef TARVO_LAUNCHER_AGENTHUB_H
#define TARVO_LAUNCHER_AGENTHUB_H

#include <poll.h>
#include <sys/types.h>

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/agent_wire.h"
#include "common/rank_map.h"
#include "common/stack_wire.h"

/// What the hub tells the run control.
struct AgentEvent {
  enum Kind {
    kLoggedIn,  // the agent proved itself: its remote login is over
    kStarted,   // a rank's process started (pid on the agent's host)
    kEnded,     // a rank's process ended (waitStatus)
    kLost,      // the agent is gone while ranks of it run; `why` says how
    kAbort,     // a rank asked to end the run (PMI abort) with exitCode
    kFencePuts, // a part of the agent's puts at a PMI barrier (payload)
    kFenceDone, // every rank of the agent has entered the PMI barrier
    kWaiting,   // the agent's ranks that wait in the PMI barrier (ranks)
    kPmixPart,  // a part of the agent's node's blob at a PMIx fence (payload)
    kPmixDone,  // the agent's node is in the PMIx fence
    kPmixFailed,  // the agent's node is in the PMIx fence, its blob over the key-value space's bound
    kPmixSet,   // the agent's next PMIx fence frames are of the fence of `ranks`
    kPmixFetch,   // a rank of the agent wants rank's PMIx data (exitCode: the agent's tag)
    kPmixServed,  // the agent's answer to kAgentPmixServe (exitCode: tag, status; payload: the data)
    kUnfinalized,  // a rank left MPI after its init, before its finalize (rank)
    kBroke,     // a rank broke the PMI protocol (rank, why, payload: what it sent)
    kWrongVersion,  // the agent speaks another version of the protocol (exitCode)
    kStacks,    // the call stacks of the agent's running ranks (stacks)
    kNames,     // a request to the run's name table (payload: kAgentNames's)
    kConnect,   // the agent's node is in a PMIx connect (payload: kAgentConnect's)
    kSpawn,     // a rank's MPI_Comm_spawn (payload: kAgentSpawn's)
    kJobReady,  // the agent's server has registered spawned job `job` (status 0), or could not
    kPmixNspace,  // the agent's next PMIx fence frames, or fetch, are of the spawned job `why` names
    kPmi1Barrier, // the agent's next PMI-1 fence frames are of spawned job `job`'s barrier
    kTopology,  // the agent's host's units and GPUs (topology), or why it cannot tell them (why)
    kRefused,   // the agents' topologies refuse the run: `why` is its line; no rank was sent
  };
  Kind kind = kLoggedIn;
  int agent = -1;
  int rank = -1;
  int job = 0;      // kStarted, kEnded, kAbort, kUnfinalized, kJobReady, kPmi1Barrier: 0 the first job, k the k-th spawned
  pid_t pid = -1;
  int waitStatus = 0;
  int status = 1;   // kLost: the status that the failure gives the run
  std::string why;  // kLost: "the agent closed its connection", "its remote shell (pid P)"
  bool shellEnded = false;  // kLost: `why` names the remote shell, which ended with waitStatus
  bool untold = false;      // kLost: while the ranks wait for the agents' topologies (none has started)
  int exitCode = 0;         // kAbort
  std::string payload;      // kFencePuts, kPmixPart, kNames, kConnect
  std::vector<int> ranks;   // kWaiting, kPmixSet
  std::vector<RankStack> stacks;  // kStacks: ranks of this agent only, each once
  HostTopology topology;          // kTopology
};

/// What an agent told of its host (kAgentTopology): its topology, or why
/// it cannot tell it.
struct AgentHostTopology {
  bool told = false;
  HostTopology topology;
  std::string why;
};

/// One agent as its connection's reader sees it: the ranks that it hosts
/// and which of them have ended.
struct AgentLinkState {
  int agent = -1;          // proven agent, -1 before the hello
  std::vector<int> ranks;  // the agent's ranks, ascending
  std::vector<char> ended; // by index into `ranks`
  int live = 0;            // ranks not yet reported ended, spawned ones counted
  std::set<std::pair<int, int>> children;  // (job, rank) of spawned processes not yet ended
  std::set<std::pair<int, int>> given;     // (job, rank) of every spawned process it was given
};

/// The pure reader of one connection: takes one message (already framed)
/// and appends its events. `agents` is every agent's state, indexed by
/// agent; *self is the connection's agent (-1 until proven), which a hello
/// with the run's `secret` sets. False when the message is not acceptable:
/// the connection is then ended.
bool AgentTakeMessage(const AgentMessage& m, const std::string& secret, std::vector<AgentLinkState>* agents,
                      int* self, std::vector<AgentEvent>* out);

class AgentHub {
 public:
  /// Connections that have not proven themselves, held beyond one for each
  /// agent still to prove itself: an agent sends its hello as soon as it
  /// connects, so more than this many at once are strangers. A new one
  /// beyond them is closed at once; those held close after the proof time.
  static constexpr size_t kStrangerRoom = 64;

  /// `environment`: what every agent gives its ranks (NAME=VALUE);
  /// `window`, when not null: the size of tarvo's terminal, which every
  /// agent's ranks' terminals take.
  explicit AgentHub(const std::vector<std::string>& environment, const AgentWindow* window = nullptr)
      : env_(AgentStrings(environment)),
        window_(window != nullptr ? AgentEncode(kAgentWindow, window, sizeof *window) : std::string()) {}

  /// A fresh secret, opens the listening TCP socket on every address.
  /// False, reported on standard error, when it cannot.
  bool Open();
  int Port() const { return port_; }
  const std::string& Secret() const { return secret_; }

  /// A new agent for `host`, with its PMI-1 job (kAgentJob's payload) and
  /// its PMIx job (kAgentPmixJob's), each sent before its ranks when it is
  /// not empty (an agent that only tells its topology has neither); returns
  /// its index.
  int AddAgent(const std::string& host, const std::string& job, const std::string& pmixJob);
  /// A rank's place (kAgentPlace's payload), just before its AddRank.
  void AddPlace(int agent, const std::string& payload);
  /// Before any rank goes out, every agent is asked its host's topology
  /// (units of `bind`'s level, and its GPUs when `gpus`); once all have
  /// told, `judge` has their answers, by agent: an empty line sends every
  /// agent its ranks, any other refuses the run (kRefused) and sends none.
  /// Meanwhile Holding() is true and the run starts no rank of its own.
  using TopologyJudge = std::function<std::string(const std::vector<AgentHostTopology>&)>;
  void AwaitTopologies(int bind, bool gpus, TopologyJudge judge);
  bool Holding() const { return judge_ != nullptr; }
  /// A rank for `agent`: carrier's argument vector without "carrier".
  void AddRank(int agent, int rank, const std::vector<std::string>& words, int flags);
  const std::string& Host(int agent) const { return agents_[static_cast<size_t>(agent)].host; }
  int Agents() const { return static_cast<int>(agents_.size()); }
  /// Whether `agent` is connected and can still be sent work.
  bool Serving(int agent) const {
    return agent >= 0 && static_cast<size_t>(agent) < agents_.size() && agents_[static_cast<size_t>(agent)].conn >= 0 &&
           !agents_[static_cast<size_t>(agent)].lost;
  }
  /// A process of spawned job `job` for `agent` (after the job's
  /// kAgentSpawnJob): carrier's words and its own NAME=VALUE strings.
  void AddChild(int agent, int job, int rank, const std::vector<std::string>& words,
                const std::vector<std::string>& env, int flags);

  /// Spawned job `job`'s processes, held by `agents` until every agent is
  /// ready: started, or dropped (the job is refused; none is awaited).
  void JobGo(const std::vector<int>& agents, int job, bool start);

  /// The remote shell of `agent` (-1: the one step that runs every agent)
  /// has started, or has ended with `waitStatus`.
  void ShellStarted(int agent, pid_t pid);
  void ShellEnded(int agent, int waitStatus, double now, std::vector<AgentEvent>* out);

  /// The descriptors to poll, and what their readiness brings.
  void Fds(std::vector<pollfd>* fds) const;
  void OnReady(const pollfd* fds, size_t count, double now, std::vector<AgentEvent>* out);
  /// Closes connections that have not proven themselves in time and gives
  /// up agents whose shell ended without their reports.
  void Tick(double now, std::vector<AgentEvent>* out);
  /// Seconds from `now` to the next thing Tick does, -1 for none.
  double NextDeadline(double now) const;

  /// `sig` to the ranks of every connected agent.
  void Signal(int sig);
  /// Asks every connected agent with running ranks for their call stacks;
  /// the agents asked.
  std::vector<int> AskStacks(int samples);
  /// Frames for every connected agent (the union at a PMI barrier): one
  /// buffer that every agent's queue shares, however many agents.
  void Broadcast(std::string frames);
  /// The same, for `agents` only; an agent that has not proven itself yet
  /// gets them after its ranks.
  void Send(const std::vector<int>& agents, std::string frames);

 private:
  // One slot of conns_: free while fd is -1.
  struct Conn {
    int fd = -1;
    int agent = -1;
    double since = 0;
    AgentFrameReader reader{true};
    // What the socket has not taken yet, from outAt on in the first; the
    // buffers of a broadcast are shared with the other connections.
    std::deque<std::shared_ptr<const std::string>> outbox;
    size_t outAt = 0;
    double movedAt = 0;        // when the socket last took some of the outbox
    bool delivered = false;    // the ranks and "all sent" are out
    bool broken = false;       // a write failed: Tick closes the connection
  };
  struct Agent {
    std::string host;
    std::string outbox;  // the ranks' frames, sent once the agent has proven itself
    pid_t shell = -1;
    bool shellEnded = false;
    int shellStatus = 0;
    double shellEndedAt = 0;
    int conn = -1;  // index into conns_, -1 when none
    bool lost = false;
    bool answered = false;  // it has told its host's topology
    AgentHostTopology told;
  };

  void Accept(double now);
  void Read(size_t c, double now, std::vector<AgentEvent>* out);
  void CloseConn(size_t c, const char* why, std::vector<AgentEvent>* out);
  void Queue(size_t c, std::shared_ptr<const std::string> bytes, double now);
  bool Flush(size_t c, double now);
  const char* WriteFailure(size_t c) const;
  size_t Unproven() const;
  void Lose(int agent, const std::string& why, int status, std::vector<AgentEvent>* out);
  bool Needed(size_t agent) const;
  void TakeTopology(const AgentEvent& e, std::vector<AgentEvent>* out);

  std::string secret_;
  const std::string env_;
  const std::string window_;  // the kAgentWindow frame, or nothing
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<Agent> agents_;
  std::vector<AgentLinkState> links_;
  std::vector<Conn> conns_;
  double now_ = 0;         // the latest time that the run control gave
  bool refusing_ = false;  // new connections are being closed: said once
  TopologyJudge judge_;    // while the ranks wait for the agents' topologies
  std::string ask_;        // the kAgentTopologyAsk frame
};

#endif  // TARVO_LAUNCHER_AGENTHUB_H
