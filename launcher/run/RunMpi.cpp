// The run control's part of the PMI-1 service: aborts end the run, the
// fence between tarvo's own ranks and the agents completes here, and ranks
// that wait in a PMI barrier count as waiting in a collective operation.
#include <algorithm>
#include <cstdio>

#include "launcher/run/RunLoop.h"

namespace runloop {

void Run::TakeMpi() {
  if (mpi_ == nullptr) return;
  mpi_->Tick(Now());
  std::vector<MpiEvent> events;
  events.swap(mpiEvents_);
  for (const MpiEvent& e : events) {
    if (e.kind == MpiEvent::kSpawn) {
      Spawn(e);
    } else if (e.kind == MpiEvent::kAbort) {
      Aborted(e.rank, e.exitCode, e.job);
    } else if (e.kind == MpiEvent::kUnfinalized) {
      Unfinalized(e.rank, e.job);
    } else if (e.kind == MpiEvent::kPmixFull) {
      PmixFull(e.text);
    } else if (e.kind == MpiEvent::kFull) {
      const int at = ranks_.IndexOf(0, e.rank);
      fprintf(stderr, "tarvo: %s has filled the run's key-value space (%d MiB, TARVO_KVS_LIMIT); its puts are refused\n",
              at >= 0 ? ranks_.Who(static_cast<size_t>(at)).c_str() : ("rank " + std::to_string(e.rank)).c_str(), e.exitCode);
    } else {
      Broke(e.rank, e.text, e.sent, e.job);
    }
  }
  FenceIfComplete();
}

// An agent's abort, its part of the fence and its waiting ranks; false for
// other events.
bool Run::TakeAgentMpi(const AgentEvent& e) {
  switch (e.kind) {
    case AgentEvent::kAbort:
      Aborted(e.rank, e.exitCode, e.job);
      return true;
    case AgentEvent::kSpawn: {
      MpiEvent spawn;
      if (mpi_ != nullptr && mpi_->AgentSpawn(e.agent, e.payload, &spawn)) Spawn(spawn);
      FenceIfComplete();
      return true;
    }
    case AgentEvent::kJobReady:
      JobReady(e.agent, e.job, e.status, e.rank);
      return true;
    case AgentEvent::kPmixNspace:
      if (mpi_ != nullptr && mpi_->ServesPmix()) mpi_->AgentPmixNspace(e.agent, e.why);
      return true;
    case AgentEvent::kPmi1Barrier:
      if (mpi_ != nullptr) mpi_->AgentPmi1Barrier(e.agent, e.job);
      return true;
    case AgentEvent::kFencePuts:
      if (mpi_ != nullptr) mpi_->AgentPuts(e.agent, e.payload);
      return true;
    case AgentEvent::kFenceDone:
      if (mpi_ != nullptr) mpi_->AgentDone(e.agent, Now());
      FenceIfComplete();
      return true;
    case AgentEvent::kWaiting:
      if (mpi_ != nullptr) mpi_->AgentWaiting(e.agent, e.ranks, Now());
      return true;
    case AgentEvent::kPmixPart:
      if (mpi_ != nullptr && mpi_->AgentPmixPart(e.agent, e.payload)) PmixFull(hub_->Host(e.agent));
      return true;
    case AgentEvent::kPmixFailed:
      if (mpi_ != nullptr && mpi_->ServesPmix() && mpi_->AgentPmixFailed(e.agent)) PmixFull(hub_->Host(e.agent));
      FenceIfComplete();
      return true;
    case AgentEvent::kPmixFetch:
      if (mpi_ != nullptr && mpi_->ServesPmix()) mpi_->AgentPmixFetch(e.agent, e.rank, e.exitCode);
      FenceIfComplete();
      return true;
    case AgentEvent::kPmixServed:
      if (mpi_ != nullptr && mpi_->ServesPmix()) mpi_->AgentPmixServed(e.exitCode, e.status, e.payload);
      FenceIfComplete();
      return true;
    case AgentEvent::kPmixSet:
      if (mpi_ != nullptr && mpi_->ServesPmix()) mpi_->AgentPmixSet(e.agent, e.ranks);
      return true;
    case AgentEvent::kPmixDone:
      if (mpi_ != nullptr && mpi_->ServesPmix()) mpi_->AgentPmixDone(e.agent);
      FenceIfComplete();
      return true;
    case AgentEvent::kUnfinalized:
      Unfinalized(e.rank, e.job);
      return true;
    case AgentEvent::kBroke:
      Broke(e.rank, e.why, e.payload);
      return true;
    case AgentEvent::kNames:
      if (mpi_ != nullptr) mpi_->AgentNames(e.agent, e.payload);
      FenceIfComplete();
      return true;
    case AgentEvent::kConnect:
      if (mpi_ != nullptr) mpi_->AgentConnect(e.agent, e.payload);
      FenceIfComplete();
      return true;
    default:
      return false;
  }
}

// Every host's puts are in: the union to every agent, and tarvo's own
// waiting ranks released.
void Run::FenceIfComplete() {
  if (mpi_ == nullptr) return;
  // Answers of the run's name table to agents' ranks, first.
  std::vector<std::pair<int, std::string>> answers;
  mpi_->TakeAgentAnswers(&answers);
  for (auto& a : answers) {
    if (hub_ != nullptr) hub_->Send({a.first}, std::move(a.second));
  }
  std::string frames;
  std::vector<MpiServer::PmixSend> sends;
  if (mpi_->TakePmixFences(&sends) && hub_ != nullptr) {
    for (MpiServer::PmixSend& s : sends) hub_->Send(s.agents, std::move(s.frames));
  }
  std::vector<MpiEvent> events;
  if (!mpi_->TakeFence(&frames, &events)) return;
  if (hub_ != nullptr && !frames.empty()) hub_->Broadcast(std::move(frames));
  mpiEvents_.insert(mpiEvents_.end(), events.begin(), events.end());
}

// A PMIx fence's data has gone over the run's bound, first with `host`'s
// part: the fence fails for its ranks, whose MPI_Init then fails.
void Run::PmixFull(const std::string& host) {
  fprintf(stderr, "tarvo: host %s has filled the run's key-value space (%d MiB, TARVO_KVS_LIMIT) with its part of a PMIx fence; the fence fails\n",
          host.c_str(), shared_.settings.kvsLimitMiB);
}

// A rank that has left MPI after its init and before its finalize. Its
// end, when it comes, says what is reported: a signal or a failing status
// as for any rank, status 0 as a failure of its own.
void Run::Unfinalized(int rank, int job) {
  const int at = ranks_.IndexOf(job, rank);
  if (end_.Ending() || at < 0) return;
  const size_t i = static_cast<size_t>(at);
  Proc& p = ranks_.At(i);
  if (p.left) return;
  p.left = true;
  p.leftAt = Now();
  if (p.state == kEnded) EndedUnfinalized(i);
}

void Run::EndedUnfinalized(size_t i) {
  const Proc& p = ranks_.At(i);
  if (end_.Ending() || p.endedByUs || ShellStatus(p.waitStatus) != 0) return;
  fprintf(stderr, "tarvo: %s ended without MPI_Finalize; ending the run\n", ranks_.Who(i).c_str());
  end_.Exited(1);
  end_.RankFailed(1);
}

void Run::CheckLeft() {
  if (end_.Ending()) return;
  const double now = Now();
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (!ranks_.At(i).left || !ranks_.Live(i) || now - ranks_.At(i).leftAt < kLeftGrace) continue;
    fprintf(stderr, "tarvo: %s closed its MPI connection without MPI_Finalize; ending the run\n", ranks_.Who(i).c_str());
    end_.RankFailed(1);
    return;
  }
}

// A rank that broke the PMI protocol is cut off and can no longer take part
// in a fence: the others would wait for it for ever.
void Run::Broke(int rank, const std::string& why, const std::string& sent, int job) {
  if (end_.Ending()) return;
  const int at = ranks_.IndexOf(job, rank);
  const std::string who = at >= 0 ? ranks_.Who(static_cast<size_t>(at)) : "rank " + std::to_string(rank);
  fprintf(stderr, "tarvo: %s broke the PMI protocol (%s) with \"%s\"; ending the run\n", who.c_str(), why.c_str(),
          sent.c_str());
  end_.RankFailed(1);
}

void Run::Aborted(int rank, int exitCode, int job) {
  const int at = ranks_.IndexOf(job, rank);
  if (end_.Ending() || at < 0) return;
  const size_t i = static_cast<size_t>(at);
  fprintf(stderr, "tarvo: %s called abort with status %d; ending the run\n", ranks_.Who(i).c_str(), exitCode);
  end_.AbortedWith(exitCode);
  end_.Begin(RunEnd::kRankFailed, SIGTERM);
}

void Run::Spawn(const MpiEvent& e) {
  std::string why = "the run is ending", nspace;
  std::vector<RankLaunch> launches;
  if (!end_.Ending() && starter_ == nullptr) why = "this run cannot spawn";
  const int running = ranks_.Running();
  if (end_.Ending() || starter_ == nullptr || !starter_->Launches(jobs_ + 1, e.spawn, running, &launches, &nspace, &why)) {
    SpawnRefused(e.ticket, e.spawn.parentNspace, e.spawn.parentRank, why);
    return;
  }
  ++jobs_;
  spawnedNspaces_[jobs_] = nspace;
  for (RankLaunch& l : launches) {
    l.job = jobs_;
    ranks_.Add(std::move(l));
  }
  // Started by the loop's next StartWhatMay, before the parent can connect
  // to them: the answer only lets the parent go on to its accept. Agents'
  // servers register the job first (every agent's, so that a connect and
  // a get across jobs find it).
  const std::vector<int> agents = starter_->Registering(jobs_);
  if (agents.empty()) {
    mpi_->AnswerSpawn(e.ticket, nspace);
    return;
  }
  Registering& r = registering_[jobs_];
  r.ticket = e.ticket;
  r.parentNspace = e.spawn.parentNspace;
  r.parentRank = e.spawn.parentRank;
  r.nspace = nspace;
  r.agents.insert(agents.begin(), agents.end());
  r.all = agents;
  for (const pmi::PmixSpawnApp& app : e.spawn.apps) r.apps.emplace_back(app.command, app.count);
}

void Run::JobReady(int agent, int job, int status, int rank) {
  auto at = registering_.find(job);
  if (at == registering_.end() || at->second.agents.erase(agent) == 0) return;
  Registering& r = at->second;
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
    const Registering refused = r;
    registering_.erase(at);
    ForgetJob(job);
    SpawnRefused(refused.ticket, refused.parentNspace, refused.parentRank, refused.why);
  } else {
    mpi_->AnswerSpawn(r.ticket, r.nspace);
    registering_.erase(at);
  }
  FenceIfComplete();
}

// A refused spawn: said in one line. The call is collective: with other
// ranks in the parent's job, those that called it too wait in it for the
// spawned job (Open MPI's in its connect to the children) and would wait
// for ever, so the run ends (status 1, as mpirun ends it). A job of one
// rank alone is answered, and its call fails.
void Run::SpawnRefused(uint64_t ticket, const std::string& parentNspace, int parentRank, const std::string& why) {
  int job = 0;
  for (const auto& s : spawnedNspaces_) {
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
  mpi_->AnswerSpawn(ticket, std::string(), why);
}

void Run::ForgetJob(int job) {
  ranks_.Forget(job);
  spawnedNspaces_.erase(job);
}

void Run::Waiting(std::vector<double>* since) const {
  if (shared_.collectives != nullptr) shared_.collectives->Snapshot(since);
  if (mpi_ != nullptr) mpi_->Waiting(since);
}

}  // namespace runloop
