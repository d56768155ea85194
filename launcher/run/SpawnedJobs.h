// The jobs that the run's ranks spawn (MPI_Comm_spawn): each one's
// processes join the run, or the call fails with one line that says why.
#ifndef TARVO_LAUNCHER_RUN_SPAWNEDJOBS_H
#define TARVO_LAUNCHER_RUN_SPAWNEDJOBS_H

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/run/MpiLink.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"

class AgentHub;

namespace runloop {

class SpawnedJobs {
 public:
  // `starter` (null: the run cannot spawn) makes each job's launches,
  // which join `ranks`; with agents (`hub`), every agent registers the job
  // with its server before any of its processes starts.
  SpawnedJobs(RunRanks& ranks, RunEnd& end, MpiLink& mpi, AgentHub* hub, JobStarter* starter);
  SpawnedJobs(const SpawnedJobs&) = delete;
  SpawnedJobs& operator=(const SpawnedJobs&) = delete;

  // A rank's spawn: its job's launches are added to the run, to start with
  // the loop's next starts, or the spawn is refused.
  void Spawn(const MpiEvent& e);
  // A job whose processes wait for the agents to register it.
  bool Registering(int job) const { return registering_.count(job) != 0; }
  // An agent's kAgentJobReady (or its loss, status 1): the spawn's answer
  // once every agent of the job is ready. `rank`: the process whose
  // program the agent did not find (status kAgentJobNoProgram). A refused
  // job's processes are dropped everywhere and forgotten.
  void JobReady(int agent, int job, int status, int rank = -1);
  // An agent that is lost registers none of the jobs that wait for it.
  void AgentLost(int agent);
  // An agent whose connection has ended with none of its processes left
  // (it had no part in the job) is not waited for.
  void DropGoneAgents();

 private:
  // Spawned jobs whose answer waits for agents' servers to register them.
  struct Waiting {
    uint64_t ticket = 0;
    std::string parentNspace;  // the spawning rank's job
    int parentRank = -1;
    std::string nspace;
    std::set<int> agents;  // not yet ready
    std::vector<int> all;  // every agent asked, which holds the job's processes until told
    std::vector<std::pair<std::string, int>> apps;  // each program and its count, for the refusal's line
    std::string why;  // the refusal, once an agent has failed
    bool failed = false;
  };
  void Refused(uint64_t ticket, const std::string& parentNspace, int parentRank, const std::string& why);
  void Forget(int job);

  RunRanks& ranks_;
  RunEnd& end_;
  MpiLink& mpi_;
  AgentHub* hub_;
  JobStarter* starter_;
  int jobs_ = 0;                        // jobs that ranks spawned
  std::map<int, std::string> nspaces_;  // job -> its namespace
  std::map<int, Waiting> registering_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_SPAWNEDJOBS_H
