// A spawned job's start: PlanSpawn decides, the PMIx server registers the
// new namespace, and each child becomes a RankLaunch whose start is the
// first job's (StartPlan, with its output relayed and labelled "[k:R]").
#include "launcher/spawn/JobStarter.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <fstream>

#include "common/carrier_exec.h"
#include "launcher/context/RunContext.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/spawn/SpawnPlan.h"

namespace spawnplan {

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

class Starter : public JobStarter {
 public:
  Starter(MpiServer* mpi, const spawn::LauncherParams& params, const std::vector<int>& closeFds,
          const ForkReport& report)
      : mpi_(mpi), params_(params), closeFds_(closeFds), report_(report) {}

  bool Launches(int job, const pmi::PmixSpawnRequest& request, int running, std::vector<RankLaunch>* out,
                std::string* nspace, std::string* why) override {
    const pmi::PmixJob& first = mpi_->PmixJobFacts();
    SpawnRules rules;
    rules.running = running;
    rules.limit = kMaxRunProcesses;
    rules.thisHost = request.pmi1 ? mpi_->LocalHost() : first.thisHost;
    const std::string workdir = params_.workdir;
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
      spawn::LauncherParams params = params_;
      params.count = static_cast<int>(children.size());
      if (!c.cwd.empty()) params.workdir = c.cwd;
      plans_.emplace_back();
      ExecPlan& plan = plans_.back();
      plan.ownGroup = true;
      plan.program = ProgramKind::kOpenMpi;
      plan.vector = spawn::ChildVector(false, ComShellFlag, c.host, c.words, params, c.rank);
      plan.file = "carrier";
      plan.failure = kExecLocalFailed;
      plan.errorAt = "Error at " + std::to_string(kLineExecLocal) + " " + kErrorSource;
      for (int fd : closeFds_) AddClose(&plan, fd);
      plan.pmiEnv = c.env;
      const std::vector<std::string> pmix = mpi_->SpawnedEnvironment(job, c.rank);
      plan.pmiEnv.insert(plan.pmiEnv.end(), pmix.begin(), pmix.end());
      RankEnvironment(environ, plan.pmiEnv, &plan.envp);
      plan.SealArgv();
      RankLaunch l;
      l.rank = c.rank;
      l.host = c.host;
      l.job = job;
      const ForkReport report = report_;
      l.start = [&plan, report, job, rank = c.rank] {
        const ChildStreams streams = OutputRelayForRank(rank, job);
        std::copy(streams.fds, streams.fds + 3, plan.stdFds);
        const pid_t pid = StartPlan(plan, report);
        OutputRelayStarted(streams);
        return pid;
      };
      out->push_back(std::move(l));
    }
    return true;
  }

 private:
  // A PMI-1 rank's children: a PMI-1 server of their own job, each child's
  // descriptor opened as it starts, as a first job's rank's is.
  bool Pmi1Launches(int job, const pmi::PmixSpawnRequest& request, std::vector<SpawnChild>& children,
                    std::vector<RankLaunch>* out, std::string* nspace) {
    std::vector<int> appnums;
    for (const SpawnChild& c : children) appnums.push_back(c.appnum);
    *nspace = mpi_->AddPmi1Job(job, appnums, request);
    for (SpawnChild& c : children) {
      spawn::LauncherParams params = params_;
      params.count = static_cast<int>(children.size());
      if (!c.cwd.empty()) params.workdir = c.cwd;
      plans_.emplace_back();
      ExecPlan& plan = plans_.back();
      plan.ownGroup = plan.ownSession = true;  // as MPICH's ranks of this host
      plan.program = ProgramKind::kMpich;
      plan.vector = spawn::ChildVector(false, ComShellFlag, c.host, c.words, params, c.rank);
      plan.file = "carrier";
      plan.failure = kExecLocalFailed;
      plan.errorAt = "Error at " + std::to_string(kLineExecLocal) + " " + kErrorSource;
      for (int fd : closeFds_) AddClose(&plan, fd);
      plan.pmiEnv = c.env;
      plan.SealArgv();
      RankLaunch l;
      l.rank = c.rank;
      l.host = c.host;
      l.job = job;
      MpiServer* mpi = mpi_;
      const ForkReport report = report_;
      l.start = [&plan, mpi, report, job, rank = c.rank] {
        const ChildStreams streams = OutputRelayForRank(rank, job);
        std::copy(streams.fds, streams.fds + 3, plan.stdFds);
        plan.keepFd = mpi->PrepareSpawned(job, rank, &plan.pmiEnv);
        RankEnvironment(environ, plan.pmiEnv, &plan.envp);
        const pid_t pid = StartPlan(plan, report);
        mpi->SpawnedStarted(job, rank);
        OutputRelayStarted(streams);
        return pid;
      };
      out->push_back(std::move(l));
    }
    return true;
  }

  MpiServer* mpi_;
  spawn::LauncherParams params_;
  std::vector<int> closeFds_;
  ForkReport report_;
  std::deque<ExecPlan> plans_;  // the children's, where their starts find them
};

}  // namespace

std::unique_ptr<JobStarter> LocalJobStarter(MpiServer* mpi, const spawn::LauncherParams& params,
                                            const std::vector<int>& closeFds, const ForkReport& report) {
  if (mpi == nullptr) return nullptr;
  return std::unique_ptr<JobStarter>(new Starter(mpi, params, closeFds, report));
}

}  // namespace spawnplan
