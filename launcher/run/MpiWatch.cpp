#include "launcher/run/MpiWatch.h"

#include <signal.h>

#include <cstdio>

#include "common/exit_status.h"

namespace runloop {

MpiWatch::MpiWatch(const RunSettings& settings, RunRanks& ranks, RunEnd& end, MpiLink& mpi, SpawnedJobs& spawns,
                   AgentHub* hub)
    : settings_(settings), ranks_(ranks), end_(end), mpi_(mpi), spawns_(spawns), hub_(hub) {}

void MpiWatch::Take(double now) {
  if (mpi_.Server() == nullptr) return;
  const std::vector<MpiEvent> events = mpi_.Take(now);
  for (const MpiEvent& e : events) {
    if (e.kind == MpiEvent::kSpawn) {
      spawns_.Spawn(e);
    } else if (e.kind == MpiEvent::kAbort) {
      Aborted(e.rank, e.exitCode, e.job);
    } else if (e.kind == MpiEvent::kUnfinalized) {
      Unfinalized(e.rank, e.job, now);
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
  mpi_.Flush();
}

// An agent's abort, its part of the fence and its waiting ranks; false for
// other events.
bool MpiWatch::TakeAgent(const AgentEvent& e, double now) {
  MpiServer* mpi = mpi_.Server();
  switch (e.kind) {
    case AgentEvent::kAbort:
      Aborted(e.rank, e.exitCode, e.job);
      return true;
    case AgentEvent::kSpawn: {
      MpiEvent spawn;
      if (mpi != nullptr && mpi->AgentSpawn(e.agent, e.payload, &spawn)) spawns_.Spawn(spawn);
      mpi_.Flush();
      return true;
    }
    case AgentEvent::kJobReady:
      spawns_.JobReady(e.agent, e.job, e.status, e.rank);
      return true;
    case AgentEvent::kPmixNspace:
      if (mpi != nullptr && mpi->ServesPmix()) mpi->AgentPmixNspace(e.agent, e.why);
      return true;
    case AgentEvent::kPmi1Barrier:
      if (mpi != nullptr) mpi->AgentPmi1Barrier(e.agent, e.job);
      return true;
    case AgentEvent::kFencePuts:
      if (mpi != nullptr) mpi->AgentPuts(e.agent, e.payload);
      return true;
    case AgentEvent::kFenceDone:
      if (mpi != nullptr) mpi->AgentDone(e.agent, now);
      mpi_.Flush();
      return true;
    case AgentEvent::kWaiting:
      if (mpi != nullptr) mpi->AgentWaiting(e.agent, e.ranks, now);
      return true;
    case AgentEvent::kPmixPart:
      if (mpi != nullptr && mpi->AgentPmixPart(e.agent, e.payload)) PmixFull(hub_->Host(e.agent));
      return true;
    case AgentEvent::kPmixFailed:
      if (mpi != nullptr && mpi->ServesPmix() && mpi->AgentPmixFailed(e.agent)) PmixFull(hub_->Host(e.agent));
      mpi_.Flush();
      return true;
    case AgentEvent::kPmixFetch:
      if (mpi != nullptr && mpi->ServesPmix()) mpi->AgentPmixFetch(e.agent, e.rank, e.exitCode);
      mpi_.Flush();
      return true;
    case AgentEvent::kPmixServed:
      if (mpi != nullptr && mpi->ServesPmix()) mpi->AgentPmixServed(e.exitCode, e.status, e.payload);
      mpi_.Flush();
      return true;
    case AgentEvent::kPmixSet:
      if (mpi != nullptr && mpi->ServesPmix()) mpi->AgentPmixSet(e.agent, e.ranks);
      return true;
    case AgentEvent::kPmixDone:
      if (mpi != nullptr && mpi->ServesPmix()) mpi->AgentPmixDone(e.agent);
      mpi_.Flush();
      return true;
    case AgentEvent::kUnfinalized:
      Unfinalized(e.rank, e.job, now);
      return true;
    case AgentEvent::kBroke:
      Broke(e.rank, e.why, e.payload);
      return true;
    case AgentEvent::kNames:
      if (mpi != nullptr) mpi->AgentNames(e.agent, e.payload);
      mpi_.Flush();
      return true;
    case AgentEvent::kConnect:
      if (mpi != nullptr) mpi->AgentConnect(e.agent, e.payload);
      mpi_.Flush();
      return true;
    default:
      return false;
  }
}

// A PMIx fence's data has gone over the run's bound, first with `host`'s
// part: the fence fails for its ranks, whose MPI_Init then fails.
void MpiWatch::PmixFull(const std::string& host) {
  fprintf(stderr, "tarvo: host %s has filled the run's key-value space (%d MiB, TARVO_KVS_LIMIT) with its part of a PMIx fence; the fence fails\n",
          host.c_str(), settings_.kvsLimitMiB);
}

// A rank that has left MPI after its init and before its finalize. Its
// end, when it comes, says what is reported: a signal or a failing status
// as for any rank, status 0 as a failure of its own.
void MpiWatch::Unfinalized(int rank, int job, double now) {
  const int at = ranks_.IndexOf(job, rank);
  if (end_.Ending() || at < 0) return;
  const size_t i = static_cast<size_t>(at);
  Proc& p = ranks_.At(i);
  if (p.left) return;
  p.left = true;
  p.leftAt = now;
  if (p.state == kEnded) EndedUnfinalized(i);
}

void MpiWatch::EndedUnfinalized(size_t i) {
  const Proc& p = ranks_.At(i);
  if (end_.Ending() || p.endedByUs || ShellStatus(p.waitStatus) != 0) return;
  fprintf(stderr, "tarvo: %s ended without MPI_Finalize; ending the run\n", ranks_.Who(i).c_str());
  end_.Exited(1);
  end_.RankFailed(1);
}

void MpiWatch::CheckLeft(double now) {
  if (end_.Ending()) return;
  for (size_t i = 0; i < ranks_.Started(); ++i) {
    if (!ranks_.At(i).left || !ranks_.Live(i) || now - ranks_.At(i).leftAt < kLeftGrace) continue;
    fprintf(stderr, "tarvo: %s closed its MPI connection without MPI_Finalize; ending the run\n", ranks_.Who(i).c_str());
    end_.RankFailed(1);
    return;
  }
}

// A rank that broke the PMI protocol is cut off and can no longer take part
// in a fence: the others would wait for it for ever.
void MpiWatch::Broke(int rank, const std::string& why, const std::string& sent, int job) {
  if (end_.Ending()) return;
  const int at = ranks_.IndexOf(job, rank);
  const std::string who = at >= 0 ? ranks_.Who(static_cast<size_t>(at)) : "rank " + std::to_string(rank);
  fprintf(stderr, "tarvo: %s broke the PMI protocol (%s) with \"%s\"; ending the run\n", who.c_str(), why.c_str(),
          sent.c_str());
  end_.RankFailed(1);
}

void MpiWatch::Aborted(int rank, int exitCode, int job) {
  const int at = ranks_.IndexOf(job, rank);
  if (end_.Ending() || at < 0) return;
  const size_t i = static_cast<size_t>(at);
  fprintf(stderr, "tarvo: %s called abort with status %d; ending the run\n", ranks_.Who(i).c_str(), exitCode);
  end_.AbortedWith(exitCode);
  end_.Begin(RunEnd::kRankFailed, SIGTERM);
}

}  // namespace runloop
