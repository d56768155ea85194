// A spawned job's start: PlanSpawn decides, the PMIx server registers the
// new namespace, and each child becomes a RankLaunch whose start is the
// first job's (StartPlan, with its output relayed and labelled "[k:R]").
#include "launcher/spawn/JobStarter.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>

#include "common/carrier_exec.h"
#include "launcher/context/RunContext.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/AgentHub.h"
#include "launcher/spawn/Executor.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/spawn/SpawnPlan.h"

namespace spawn {

namespace {

// What carrier would run for `program` from `workdir`.
bool Runnable(const std::string& program, const std::string& workdir) {
  char file[PATH_MAX];
  const int where = CarrierLookup(program.c_str(), workdir.c_str(), nullptr, file, sizeof file);
  std::string path = where == CARRIER_AS_GIVEN ? program : std::string(file);
  if (!path.empty() && path[0] != '/') path = workdir + "/" + path;
  return access(path.c_str(), X_OK) == 0;
}

// The host words of a hostfile: the first word of each line, without
// comments; an unreadable file gives a word that is no host.
std::vector<std::string> HostfileHosts(const std::string& path) {
  std::vector<std::string> hosts;
  if (path.empty()) return hosts;
  std::ifstream in(path);
  if (!in) return {"(unreadable " + path + ")"};
  std::string line;
  for (int lines = 0; lines < 100000 && std::getline(in, line); ++lines) {
    line = line.substr(0, line.find('#'));
    const size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos) continue;
    hosts.push_back(line.substr(at, line.find_first_of(" \t", at) - at));
  }
  return hosts;
}

// A child on tarvo's own host: started like a local rank, through carrier,
// with its request's variables and its server's: an Open MPI rank's child
// its PMIx environment, an MPICH rank's (`pmi1`) its job's PMI-1
// descriptor, opened as it starts as a first job's rank's is. Its plan is
// kept in *plans, where its start finds it.
RankLaunch LocalChild(MpiServer* mpi, bool pmi1, int job, int count, const SpawnChild& c, const LocalChildren& local,
                      std::deque<ExecPlan>* plans) {
  spawn::LauncherParams params = local.params;
  params.count = count;
  if (!c.cwd.empty()) params.workdir = c.cwd;
  plans->emplace_back();
  ExecPlan& plan = plans->back();
  plan.ownGroup = true;
  plan.ownSession = pmi1;  // as MPICH's ranks of this host
  plan.program = pmi1 ? ProgramKind::kMpich : ProgramKind::kOpenMpi;
  plan.vector = spawn::ChildVector(false, ComShellFlag, c.host, c.words, params, c.rank);
  plan.file = "carrier";
  plan.beside = local.beside;
  plan.failure = kExecLocalFailed;
  plan.errorAt = "Error at " + std::to_string(kLineExecLocal) + " " + kErrorSource;
  for (int fd : local.closeFds) AddClose(&plan, fd);
  plan.pmiEnv = c.env;
  if (!pmi1) {
    const std::vector<std::string> pmix = mpi->SpawnedEnvironment(job, c.rank);
    plan.pmiEnv.insert(plan.pmiEnv.end(), pmix.begin(), pmix.end());
    RankEnvironment(environ, plan.pmiEnv, &plan.envp);
  }
  plan.SealArgv();
  RankLaunch l;
  l.rank = c.rank;
  l.host = c.host;
  l.job = job;
  l.start = [&plan, mpi, pmi1, report = local.report, relay = local.relay, job, rank = c.rank] {
    const ChildStreams streams = OutputRelay::ForRank(relay, rank, job);
    std::copy(streams.fds, streams.fds + 3, plan.stdFds);
    if (pmi1) {
      plan.keepFd = mpi->PrepareSpawned(job, rank, &plan.pmiEnv);
      RankEnvironment(environ, plan.pmiEnv, &plan.envp);
    }
    const pid_t pid = StartPlan(plan, report);
    if (pmi1) mpi->SpawnedStarted(job, rank);
    OutputRelay::Started(relay, streams);
    return pid;
  };
  return l;
}

class Starter : public JobStarter {
 public:
  Starter(MpiServer* mpi, const LocalChildren& local) : mpi_(mpi), local_(local) {}

  bool Launches(int job, const pmi::PmixSpawnRequest& request, int running, std::vector<RankLaunch>* out,
                std::string* nspace, std::string* why) override {
    const pmi::PmixJob& first = mpi_->PmixJobFacts();
    SpawnRules rules;
    rules.running = running;
    rules.limit = kMaxRunProcesses;
    rules.thisHost = request.pmi1 ? mpi_->LocalHost() : first.thisHost;
    const std::string workdir = local_.params.workdir;
    rules.runnable = [&workdir](const std::string& program, const std::string& cwd) {
      return Runnable(program, cwd.empty() ? workdir : cwd);
    };
    std::vector<std::vector<std::string>> hostfiles;
    for (const pmi::PmixSpawnApp& app : request.apps) hostfiles.push_back(HostfileHosts(app.hostfile));
    std::vector<SpawnChild> children;
    *why = PlanSpawn(request, rules, hostfiles, &children);
    if (!why->empty()) return false;
    if (request.pmi1) return Pmi1Launches(job, request, children, out, nspace);
    pmi::PmixJob facts;
    facts.nspace = first.nspace + "." + std::to_string(job);
    facts.thisHost = first.thisHost;
    facts.tmpParent = first.tmpParent;
    facts.universe = first.universe;
    for (const SpawnChild& c : children) {
      facts.hosts.push_back(c.host);
      facts.appnums.push_back(c.appnum);
    }
    if (!mpi_->AddSpawnedJob(job, facts, why)) return false;
    *nspace = facts.nspace;
    for (SpawnChild& c : children) {
      out->push_back(
          LocalChild(mpi_, false, job, static_cast<int>(children.size()), c, local_, &plans_));
    }
    return true;
  }

 private:
  // A PMI-1 rank's children: a PMI-1 server of their own job.
  bool Pmi1Launches(int job, const pmi::PmixSpawnRequest& request, std::vector<SpawnChild>& children,
                    std::vector<RankLaunch>* out, std::string* nspace) {
    std::vector<int> appnums;
    for (const SpawnChild& c : children) appnums.push_back(c.appnum);
    *nspace = mpi_->AddPmi1Job(job, appnums, request);
    for (SpawnChild& c : children) {
      out->push_back(
          LocalChild(mpi_, true, job, static_cast<int>(children.size()), c, local_, &plans_));
    }
    return true;
  }

  MpiServer* mpi_;
  const LocalChildren local_;
  std::deque<ExecPlan> plans_;  // the children's, where their starts find them
};

// Host mode: the children go to the agents.
class AgentStarter : public JobStarter {
 public:
  AgentStarter(MpiServer* mpi, AgentHub* hub, const std::vector<HostSlots>& slots,
               const std::vector<std::string>& rankHosts, const std::vector<std::string>& agentHosts,
               const std::vector<std::string>& ownHosts, int outputFlags, int ppn, const LocalChildren& local)
      : mpi_(mpi), hub_(hub), agentHosts_(agentHosts), ownHosts_(ownHosts), outputFlags_(outputFlags), ppn_(ppn), local_(local) {
    // The hosts with an agent or tarvo's own ranks, in the machine file's
    // order (each agent's host with one slot when the file does not name it).
    for (const HostSlots& h : slots) {
      if (AgentOf(h.host) >= -1) hosts_.push_back(h);
    }
    for (const std::vector<std::string>* names : {&ownHosts, &agentHosts}) {
      for (const std::string& a : *names) {
        if (std::none_of(hosts_.begin(), hosts_.end(), [&](const HostSlots& h) { return h.host == a; }))
          hosts_.push_back(HostSlots{a, 1});
      }
    }
    used_.assign(hosts_.size(), 0);
    for (const std::string& r : rankHosts) {
      for (size_t h = 0; h < hosts_.size(); ++h) used_[h] += hosts_[h].host == r ? 1 : 0;
    }
  }

  bool Launches(int job, const pmi::PmixSpawnRequest& request, int running, std::vector<RankLaunch>* out,
                std::string* nspace, std::string* why) override {
    const pmi::PmixJob& first = mpi_->PmixJobFacts();
    // tarvo's own node, as the first job names it (a run without a PMIx
    // server names it only as the machine file does).
    const std::string thisHost = first.thisHost.empty() ? mpi_->LocalHost() : first.thisHost;
    const SpawnRules rules = Rules(running, thisHost);
    std::vector<std::vector<std::string>> hostfiles;
    for (const pmi::PmixSpawnApp& app : request.apps) hostfiles.push_back(HostfileHosts(app.hostfile));
    std::vector<SpawnChild> children;
    *why = rules.hosts.empty() ? "no host of the run is left to start them" : PlanSpawn(request, rules, hostfiles, &children);
    if (!why->empty()) return false;
    pmi::PmixJob facts;
    facts.nspace = first.nspace + "." + std::to_string(job);
    facts.thisHost = thisHost;
    facts.tmpParent = first.tmpParent;
    facts.universe = first.universe;
    std::vector<int> agentOf;
    for (const SpawnChild& c : children) {
      agentOf.push_back(AgentOf(c.host));
      // tarvo's own node is named as the first job names it.
      facts.hosts.push_back(agentOf.back() < 0 ? thisHost : c.host);
      facts.appnums.push_back(c.appnum);
    }
    // tarvo's own host's children are looked for here; the agents look for theirs.
    for (size_t i = 0; i < children.size(); ++i) {
      const SpawnChild& c = children[i];
      if (agentOf[i] < 0 && !Runnable(c.words[0], c.cwd.empty() ? local_.params.workdir : c.cwd)) {
        *why = "no such program: " + request.apps[static_cast<size_t>(c.appnum)].command;
        return false;
      }
    }
    if (request.pmi1) {
      *nspace = mpi_->AddPmi1Job(job, facts.appnums, request, facts.hosts, agentOf);
    } else if (!mpi_->AddSpawnedJob(job, facts, why, agentOf)) {
      return false;
    } else {
      *nspace = facts.nspace;
    }
    for (size_t i = 0; i < children.size(); ++i) {
      const SpawnChild& c = children[i];
      for (size_t h = 0; h < hosts_.size(); ++h) used_[h] += hosts_[h].host == c.host ? 1 : 0;
      if (agentOf[i] < 0) {
        const int count = static_cast<int>(children.size());
        out->push_back(LocalChild(mpi_, request.pmi1, job, count, c, local_, &plans_));
        continue;
      }
      spawn::LauncherParams params = local_.params;
      params.count = static_cast<int>(children.size());
      if (!c.cwd.empty()) params.workdir = c.cwd;
      const std::vector<std::string> vector = spawn::ChildVector(false, ComShellFlag, c.host, c.words, params, c.rank);
      auto carrier = std::find(vector.begin(), vector.end(), std::string("carrier"));
      hub_->AddChild(agentOf[i], job, c.rank, std::vector<std::string>(carrier + 1, vector.end()), c.env,
                     outputFlags_);
      RankLaunch l;
      l.rank = c.rank;
      l.host = c.host;
      l.agent = agentOf[i];
      l.job = job;
      out->push_back(std::move(l));
    }
    // The agents get their children first and hold them; then every agent's
    // server learns the job (an MPICH job's: the agents with processes of
    // it) and checks its children's programs. They start once every agent
    // is ready (kAgentJobGo).
    registering_.clear();
    if (request.pmi1) {
      Pmi1Jobs(job, *nspace, facts, agentOf, request);
    } else {
      PmixJobs(job, facts);
    }
    return true;
  }

  std::vector<int> Registering(int) const override { return registering_; }

 private:
  // An MPICH rank's job: each agent with processes of it serves it a PMI-1
  // server of its own (kvsname, mapping of every process's host, appnums,
  // the preput keys).
  void Pmi1Jobs(int job, const std::string& kvsname, const pmi::PmixJob& facts, const std::vector<int>& agentOf,
                const pmi::PmixSpawnRequest& request) {
    const int32_t size = static_cast<int32_t>(facts.hosts.size());
    std::vector<std::string> preput;
    for (const auto& kv : request.preput) preput.insert(preput.end(), {kv.first, kv.second});
    for (int a = 0; a < hub_->Agents(); ++a) {
      if (std::find(agentOf.begin(), agentOf.end(), a) == agentOf.end()) continue;
      SendJob(a, kAgentPmi1Job, AgentSpawnJobHead{job, size, size}, kvsname, facts, preput);
    }
  }

  // An Open MPI rank's job: every serving agent's PMIx server registers it
  // (its namespace, every process's host and appnum, the universe).
  void PmixJobs(int job, const pmi::PmixJob& facts) {
    const AgentSpawnJobHead head{job, static_cast<int32_t>(facts.hosts.size()), facts.universe};
    for (int a = 0; a < hub_->Agents(); ++a) {
      if (hub_->Serving(a)) SendJob(a, kAgentSpawnJob, head, facts.nspace, facts, {});
    }
  }

  // A spawned job's frame of `type` to agent `a`: the head, the appnums,
  // then the job's name, the agent's host, every process's host and `more`.
  void SendJob(int a, int type, const AgentSpawnJobHead& head, const std::string& name, const pmi::PmixJob& facts,
               const std::vector<std::string>& more) {
    std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
    for (int appnum : facts.appnums) {
      const int32_t n = appnum;
      payload.append(reinterpret_cast<const char*>(&n), sizeof n);
    }
    std::vector<std::string> strings = {name, agentHosts_[static_cast<size_t>(a)]};
    strings.insert(strings.end(), facts.hosts.begin(), facts.hosts.end());
    strings.insert(strings.end(), more.begin(), more.end());
    payload += AgentStrings(strings);
    hub_->Send({a}, AgentEncode(type, payload.data(), payload.size()));
    registering_.push_back(a);
  }

  // Where a spawned job may go: every host with tarvo's own ranks or an
  // agent that still serves (one whose ranks are done starts nothing more).
  SpawnRules Rules(int running, const std::string& thisHost) const {
    SpawnRules rules;
    rules.running = running;
    rules.limit = kMaxRunProcesses;
    rules.thisHost = thisHost;
    rules.ppn = ppn_;
    for (size_t h = 0; h < hosts_.size(); ++h) {
      const int agent = AgentOf(hosts_[h].host);
      if (agent == -1 || hub_->Serving(agent)) {
        rules.hosts.push_back(hosts_[h]);
        rules.used.push_back(used_[h]);
      }
    }
    return rules;
  }

  // The agent of `host`, -1 for tarvo's own, -2 for none.
  int AgentOf(const std::string& host) const {
    auto at = std::find(agentHosts_.begin(), agentHosts_.end(), host);
    if (at != agentHosts_.end()) return static_cast<int>(at - agentHosts_.begin());
    return std::find(ownHosts_.begin(), ownHosts_.end(), host) != ownHosts_.end() ? -1 : -2;
  }

  MpiServer* mpi_;
  AgentHub* hub_;
  std::vector<std::string> agentHosts_;
  std::vector<std::string> ownHosts_;  // tarvo's own host, as the machine file names it where ranks run
  int outputFlags_;  // kAgentRankLabel, kAgentRankPty
  int ppn_;  // TARVO_PPN
  const LocalChildren local_;
  std::deque<ExecPlan> plans_;  // the children started here
  std::vector<HostSlots> hosts_;  // where children may go, in order
  std::vector<int> used_;         // processes placed on each of hosts_
  std::vector<int> registering_;  // the agents that register the latest job
};

}  // namespace

std::unique_ptr<JobStarter> AgentJobStarter(MpiServer* mpi, AgentHub* hub, const std::vector<HostSlots>& slots,
                                            const std::vector<std::string>& rankHosts,
                                            const std::vector<std::string>& agentHosts,
                                            const std::vector<std::string>& ownHosts, int outputFlags, int ppn,
                                            const LocalChildren& local) {
  // An MPICH rank's spawn needs no PMIx server; an Open MPI rank's comes
  // only through one.
  if (mpi == nullptr) return nullptr;
  return std::unique_ptr<JobStarter>(
      new AgentStarter(mpi, hub, slots, rankHosts, agentHosts, ownHosts, outputFlags, ppn, local));
}

std::unique_ptr<JobStarter> LocalJobStarter(MpiServer* mpi, const LocalChildren& local) {
  if (mpi == nullptr) return nullptr;
  return std::unique_ptr<JobStarter>(new Starter(mpi, local));
}

}  // namespace spawn
