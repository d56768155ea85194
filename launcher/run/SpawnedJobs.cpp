#include "launcher/run/SpawnedJobs.h"

#include <cstdio>

#include "launcher/run/AgentHub.h"

namespace runloop {

SpawnedJobs::SpawnedJobs(RunRanks& ranks, RunEnd& end, MpiLink& mpi, AgentHub* hub, JobStarter* starter)
    : ranks_(ranks), end_(end), mpi_(mpi), hub_(hub), starter_(starter) {}

void SpawnedJobs::Spawn(const MpiEvent& e) {
  std::string why = "the run is ending", nspace;
  std::vector<RankLaunch> launches;
  if (!end_.Ending() && starter_ == nullptr) why = "this run cannot spawn";
  const int running = ranks_.Running();
  if (end_.Ending() || starter_ == nullptr || !starter_->Launches(jobs_ + 1, e.spawn, running, &launches, &nspace, &why)) {
    Refused(e.ticket, e.spawn.parentNspace, e.spawn.parentRank, why);
    return;
  }
  ++jobs_;
  nspaces_[jobs_] = nspace;
  for (RankLaunch& l : launches) {
    l.job = jobs_;
    ranks_.Add(std::move(l));
  }
  // Started by the loop's next starts, before the parent can connect
  // to them: the answer only lets the parent go on to its accept. Agents'
  // servers register the job first (every agent's, so that a connect and
  // a get across jobs find it).
  const std::vector<int> agents = starter_->Registering(jobs_);
  if (agents.empty()) {
    mpi_.Server()->AnswerSpawn(e.ticket, nspace);
    return;
  }
  Waiting& r = registering_[jobs_];
  r.ticket = e.ticket;
  r.parentNspace = e.spawn.parentNspace;
  r.parentRank = e.spawn.parentRank;
  r.nspace = nspace;
  r.agents.insert(agents.begin(), agents.end());
  r.all = agents;
  for (const pmi::PmixSpawnApp& app : e.spawn.apps) r.apps.emplace_back(app.command, app.count);
}

void SpawnedJobs::JobReady(int agent, int job, int status, int rank) {
  auto at = registering_.find(job);
  if (at == registering_.end() || at->second.agents.erase(agent) == 0) return;
  Waiting& r = at->second;
  if (status != 0 && !r.failed) {
    r.failed = true;
    r.why = "the agent on " + hub_->Host(agent) + " cannot register job " + std::to_string(job);
    if (status == kAgentJobNoProgram) {
      // The program of the rank-th process, in the request's order.
      std::string program;
      int first = 0;
      for (const auto& app : r.apps) {
        if (program.empty() && rank >= first && rank < first + app.second) program = app.first;
        first += app.second;
      }
      r.why = "no such program: " + program + " on " + hub_->Host(agent);
    }
  }
  if (!r.agents.empty()) return;
  // No process of the job has started anywhere: a refused job's are
  // dropped by their agents and forgotten here, and the parent's call fails.
  hub_->JobGo(r.all, job, !r.failed);
  if (r.failed) {
    const Waiting refused = r;
    registering_.erase(at);
    Forget(job);
    Refused(refused.ticket, refused.parentNspace, refused.parentRank, refused.why);
  } else {
    mpi_.Server()->AnswerSpawn(r.ticket, r.nspace);
    registering_.erase(at);
  }
  mpi_.Flush();
}

// A refused spawn: said in one line. The call is collective: with other
// ranks in the parent's job, those that called it too wait in it for the
// spawned job (Open MPI's in its connect to the children) and would wait
// for ever, so the run ends (status 1, as mpirun ends it). A job of one
// rank alone is answered, and its call fails.
void SpawnedJobs::Refused(uint64_t ticket, const std::string& parentNspace, int parentRank, const std::string& why) {
  int job = 0;
  for (const auto& s : nspaces_) {
    if (s.second == parentNspace) job = s.first;
  }
  const size_t size = ranks_.JobSize(job);
  const std::string who = (job > 0 ? "job " + std::to_string(job) + " " : std::string()) + "rank " +
                          std::to_string(parentRank);
  if (!end_.Ending() && size > 1) {
    fprintf(stderr, "tarvo: MPI_Comm_spawn of %s refused: %s; ending the run\n", who.c_str(), why.c_str());
    end_.RankFailed(1);
    return;
  }
  fprintf(stderr, "tarvo: MPI_Comm_spawn of %s refused: %s\n", who.c_str(), why.c_str());
  mpi_.Server()->AnswerSpawn(ticket, std::string(), why);
}

void SpawnedJobs::Forget(int job) {
  ranks_.Forget(job);
  nspaces_.erase(job);
}

void SpawnedJobs::AgentLost(int agent) {
  std::vector<int> jobs;
  for (const auto& r : registering_) jobs.push_back(r.first);
  for (int job : jobs) JobReady(agent, job, 1);
}

void SpawnedJobs::DropGoneAgents() {
  std::vector<std::pair<int, int>> gone;
  for (const auto& r : registering_) {
    for (int a : r.second.agents) {
      if (!hub_->Serving(a)) gone.emplace_back(a, r.first);
    }
  }
  for (const auto& g : gone) JobReady(g.first, g.second, 0);
}

}  // namespace runloop
