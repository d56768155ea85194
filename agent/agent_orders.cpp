// What the agent does with each of the launcher's orders, by what it
// serves: its ranks, the jobs that they make up, and their PMI-1 and PMIx
// servers.
#include <limits.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent_loop.h"
#include "common/carrier_exec.h"
#include "common/input_copy.h"
#include "pmi/name_wire.h"

void Agent::Obey(AgentOrder& order) {
  if (job_ == nullptr ? OfTheJob(order) : order.kind == AgentOrder::kJob) {
    framedOk_ = false;  // the launcher sends the job once, first
    return;
  }
  if (!ObeyRanks(order) && !ObeyJobs(order) && !ObeyPmi(order)) ObeyPmix(order);
}

// The orders that only the job's parts can take.
bool Agent::OfTheJob(const AgentOrder& order) {
  switch (order.kind) {
    case AgentOrder::kRank:
    case AgentOrder::kSpawnRank:
    case AgentOrder::kPmi1Job:
    case AgentOrder::kPmi1Barrier:
    case AgentOrder::kFencePuts:
    case AgentOrder::kFenceDone:
    case AgentOrder::kPmixJob:
    case AgentOrder::kSpawnJob:
    case AgentOrder::kSpawned:
    case AgentOrder::kNamesAnswer:
    case AgentOrder::kPmixNspace:
    case AgentOrder::kPmixSet:
    case AgentOrder::kPmixPart:
    case AgentOrder::kPmixDone:
    case AgentOrder::kPmixFailed:
    case AgentOrder::kConnected:
    case AgentOrder::kPmixServe:
    case AgentOrder::kPmixFetched:
      return true;
    default:
      return false;
  }
}

// The ranks: their environment, starts, places, signals, input, stacks
// and their host's topology.
bool Agent::ObeyRanks(AgentOrder& order) {
  switch (order.kind) {
    case AgentOrder::kEnv:
      env_ = order.strings;
      return true;
    case AgentOrder::kRank:
      Start(order);
      return true;
    case AgentOrder::kSpawnRank:
      // Held until every host of the job is ready for it.
      held_[order.job].push_back(std::move(order));
      return true;
    case AgentOrder::kJobGo: {
      auto held = held_.find(order.job);
      if (held == held_.end()) return true;
      std::vector<AgentOrder> children = std::move(held->second);
      held_.erase(held);
      for (AgentOrder& child : children) {
        if (order.ok && !lost_) Start(child);
      }
      return true;
    }
    case AgentOrder::kSignal:
      for (const auto& r : ranks_) SignalGroup(r.first, order.sig);
      return true;
    case AgentOrder::kAllSent:
      allSent_ = true;
      if (!inputTo_.empty() && !StartInputCopy(STDIN_FILENO, inputTo_, inputNames_, kInputCopyBound)) {
        AgentReport(host_, "no thread to copy the standard input to the ranks", "");
      }
      inputTo_.clear();
      return true;
    case AgentOrder::kWindow:
      window_.ws_row = static_cast<unsigned short>(order.window.rows);
      window_.ws_col = static_cast<unsigned short>(order.window.cols);
      window_.ws_xpixel = static_cast<unsigned short>(order.window.xpixel);
      window_.ws_ypixel = static_cast<unsigned short>(order.window.ypixel);
      haveWindow_ = true;
      return true;
    case AgentOrder::kPlace:
      placer_.Take(order);
      return true;
    case AgentOrder::kStacksAsk: {
      std::string frame;
      stacks_.Ask(order.samples, ranks_, &frame);
      Tell(frame);
      return true;
    }
    case AgentOrder::kTopologyAsk: {
      std::string why;
      const HostTopology* topology = placer_.Topology(order.bind, order.gpus, &why);
      const std::string payload = AgentStrings({topology != nullptr ? TopologyText(*topology) : "", why});
      Tell(AgentEncode(kAgentTopology, payload.data(), payload.size()));
      return true;
    }
    default:
      return false;
  }
}

// The run's first job and the spawned ones.
bool Agent::ObeyJobs(AgentOrder& order) {
  switch (order.kind) {
    case AgentOrder::kJob:
      job_ = std::make_unique<JobParts>(order);
      return true;
    case AgentOrder::kPmixJob: {
      std::string why;
      // Without it the other hosts' fences would wait for this one for
      // ever: the agent ends, and the launcher ends the run naming it. A
      // run that uses no PMIx (every dynamically linked program is served
      // by default) can be told to go without.
      if (!job_->pmix.StartServer(order, &why)) {
        refusal_ = "cannot serve PMIx to the ranks (Open MPI programs): " + why + " (TARVO_PMIX=0 runs without it)";
      }
      return true;
    }
    case AgentOrder::kSpawnJob:
    case AgentOrder::kPmi1Job: {
      std::string toLauncher;
      const int missing = MissingProgram(order.job);
      if (missing >= 0) {
        held_.erase(order.job);
        AgentJobRank refused{order.job, missing, 0, kAgentJobNoProgram};
        toLauncher = AgentEncode(kAgentJobReady, &refused, sizeof refused);
      } else if (order.kind == AgentOrder::kSpawnJob) {
        job_->pmix.AddJob(order, &toLauncher);
      } else {
        job_->pmi.AddJob(order, &toLauncher);
      }
      Tell(toLauncher);
      return true;
    }
    default:
      return false;
  }
}

// PMI-1's barriers, and the answers to a rank's spawn and name requests,
// which go to the rank's server: an MPICH rank's (a ticket below zero) or
// an Open MPI rank's.
bool Agent::ObeyPmi(AgentOrder& order) {
  std::string toLauncher;
  switch (order.kind) {
    case AgentOrder::kPmi1Barrier:
      job_->pmi.BarrierOf(order.job);
      return true;
    case AgentOrder::kFencePuts:
      job_->pmi.FencePuts(order.puts);
      return true;
    case AgentOrder::kFenceDone:
      job_->pmi.FenceDone(&toLauncher);
      break;
    case AgentOrder::kSpawned:
      if (order.ticket >= 0) {
        job_->pmix.Spawned(order.ticket, order.strings[0]);
        return true;
      }
      job_->pmi.Spawned(order.ticket, order.strings[0], order.strings.size() > 1 ? order.strings[1] : "", &toLauncher);
      break;
    case AgentOrder::kNamesAnswer: {
      int32_t ticket = 0;
      pmi::NameTable::Status status;
      std::vector<pmi::PublishedName> found;
      if (!pmi::DecodeNameAnswer(order.bytes, &ticket, &status, &found)) return true;
      if (ticket >= 0) {
        job_->pmix.NamesAnswer(order.bytes);
        return true;
      }
      job_->pmi.NameAnswer(ticket, status, found, &toLauncher);
      break;
    }
    default:
      return false;
  }
  Tell(toLauncher);
  return true;
}

// PMIx's fences, connects and the direct modex.
bool Agent::ObeyPmix(AgentOrder& order) {
  switch (order.kind) {
    case AgentOrder::kPmixNspace:
      job_->pmix.Nspace(order.strings[0]);
      return true;
    case AgentOrder::kPmixSet:
      job_->pmix.Set(order.pmixRanks);
      return true;
    case AgentOrder::kPmixPart:
      job_->pmix.Part(order.bytes);
      return true;
    case AgentOrder::kPmixDone:
      job_->pmix.Done();
      return true;
    case AgentOrder::kPmixFailed:
      job_->pmix.Fail();
      return true;
    case AgentOrder::kConnected:
      job_->pmix.Connected(order.ticket, order.ok);
      return true;
    case AgentOrder::kPmixServe:
      job_->pmix.Serve(order.modex);
      return true;
    case AgentOrder::kPmixFetched:
      job_->pmix.Fetched(order.modex, order.bytes);
      return true;
    default:
      return false;
  }
}

// The rank of the first held process of `job` whose program carrier would
// not find here, from that process's working directory; -1 for none.
int Agent::MissingProgram(int job) const {
  auto held = held_.find(job);
  if (held == held_.end()) return -1;
  for (const AgentOrder& child : held->second) {
    const std::string& program = child.strings[0];
    const std::string& workdir = child.strings.back();
    char file[PATH_MAX];
    const int where = CarrierLookup(program.c_str(), workdir.c_str(), nullptr, file, sizeof file);
    std::string path = where == CARRIER_AS_GIVEN ? program : std::string(file);
    if (!path.empty() && path[0] != '/') path = workdir + "/" + path;
    if (access(path.c_str(), X_OK) != 0) return child.rank;
  }
  return -1;
}
