// The launch agent's one loop: what the launcher orders (agent_orders.cpp),
// the ranks it starts (agent_start.cpp), their output, their ends and what
// their PMI-1 and PMIx servers say (agent_loop.cpp).
//
// One thread of its own: the ranks' parent-death signal is tied to the
// thread that forked them. A PMIx server (agent_pmix) adds libpmix's
// threads, so a rank's child does only async-signal-safe work on what the
// loop prepared before its fork (common/rank_exec.h).
#ifndef TARVO_AGENT_AGENT_LOOP_H
#define TARVO_AGENT_AGENT_LOOP_H

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "agent/agent_place.h"
#include "agent/agent_pmi.h"
#include "agent/agent_pmix.h"
#include "agent/agent_stacks_answer.h"
#include "common/agent_wire.h"
#include "common/child_setup.h"
#include "common/ready_set.h"

/// One report of the agent on standard error: "tarvo: agent on HOST: ...".
void AgentReport(const std::string& host, const char* what, const char* detail);

class Agent {
 public:
  /// `link`: the proven connection to the launcher; `signals`: a signalfd
  /// of the signals that end the agent and SIGCHLD; `slurm`: one task of a
  /// Slurm step; `host`: this host's name, for reports; `self`: the agent's
  /// own program, which reads the ranks' call stacks.
  Agent(int link, int signals, bool slurm, std::string host, std::string self);
  /// Until every rank has ended and been reported: 0; 1 when the run ends
  /// for this agent first (its connection lost, a signal, a malformed order).
  int Loop();

 private:
  // agent_loop.cpp
  int Abandon(const char* what, const char* detail);
  void TakeServed(pollfd* fds, size_t pmiCount, size_t pmixCount);
  void TakeServedNow();
  void Tell(const std::string& bytes);
  bool ReadLink();
  void Watch(int fd);
  void DrainReady();
  void Drain(int fd);
  bool Reap();
  void Ended(pid_t pid, AgentProc proc, int waitStatus);
  // agent_orders.cpp
  void Obey(AgentOrder& order);
  static bool OfTheJob(const AgentOrder& order);
  bool ObeyRanks(AgentOrder& order);
  bool ObeyJobs(AgentOrder& order);
  bool ObeyPmi(AgentOrder& order);
  bool ObeyPmix(AgentOrder& order);
  int MissingProgram(int job) const;
  // agent_start.cpp
  void Start(AgentOrder& order);
  int PrepareServers(int job, int rank, std::vector<std::string>* env);
  std::vector<std::string> RankEnvironment(const AgentOrder& order, int job, int localId,
                                           const std::vector<std::string>& pmiEnv,
                                           const std::vector<std::string>& placeEnv) const;
  void ChooseInput(const AgentOrder& order, ChildSetup* setup);
  void OutputEnds(int flags, int (&out)[2][2]);
  void Started(const AgentOrder& order, int job, pid_t pid, int forkError, int (&out)[2][2]);
  static std::string EndFrame(int job, int rank, pid_t pid, int waitStatus);

  // An output stream of a rank, relayed in whole lines.
  struct Stream {
    int rank;
    int job;  // 0: the run's first job; k: the k-th spawned
    int to;   // 1 or 2
    std::string label;  // before each line; empty without labelling
    std::string partial;
  };

  const bool slurm_;
  const std::string host_;
  const int link_;
  const int signals_;
  int started_ = 0;  // ranks started here: the next one's index on this host
  ChildSignals childSignals_;  // what the ranks set to default before they unblock (never empty: SIGINT, SIGQUIT)
  AgentFrameReader reader_{false};
  bool framedOk_ = true;
  bool allSent_ = false;
  // TARVO_STDIN=all: the write ends of the ranks' input pipes.
  std::vector<int> inputTo_;
  std::vector<std::string> inputNames_;
  bool lost_ = false;
  bool saidNoTerminal_ = false;  // the lack of a terminal is said once
  bool haveWindow_ = false;      // kAgentWindow: the ranks' terminals are sized like tarvo's
  winsize window_{};
  std::string refusal_;  // why this agent cannot serve the job it was sent
  std::vector<std::string> env_;
  std::map<pid_t, AgentProc> ranks_;              // the processes running, by pid
  std::map<int, std::vector<AgentOrder>> held_;   // spawned processes not yet to start, by job
  std::map<int, Stream> streams_;                 // labelled output pipes by descriptor
  // The loop reads only the streams that have something: those of
  // outputs_, which reports them, and those it did not take (unwatched_),
  // polled on each pass.
  ReadySet outputs_;
  std::vector<int> unwatched_;
  AgentPlacer placer_;  // TARVO_OUTPUT, TARVO_ERROR, TARVO_BIND, TARVO_CPUS_PER_RANK, TARVO_GPUS_PER_RANK
  // What serves the job, made with it (kJob, which the launcher sends once,
  // before anything of the job): its ranks and this host's, its PMI-1
  // server and its PMIx part, whose key-value bound is the job's.
  struct JobParts {
    explicit JobParts(const AgentOrder& job)
        : size(job.size), hostRanks(static_cast<int>(job.clients.size())), pmi(job), pmix(job.kvsLimitMiB) {}
    const int size;
    const int hostRanks;
    AgentPmi pmi;
    AgentPmix pmix;
  };
  std::unique_ptr<JobParts> job_;
  StacksAnswer stacks_;  // TARVO_STACKS
};

#endif  // TARVO_AGENT_AGENT_LOOP_H
