// spawn_processes and spawn_processes1: describe every process of the run
// (its host from the machine file, its plan from Planners.h), then hand
// the plans to the run control, which starts them through the executor
// (Executor.h) and waits for them.
#include "launcher/spawn/Inputs.h"

#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <utility>

#include "common/pmi_env.h"
#include "common/protocol.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/run/AgentHub.h"
#include "launcher/context/RunContext.h"
#include "launcher/spawn/RemoteSignals.h"
#include "launcher/spawn/RunParts.h"
#include "launcher/spawn/Spawners.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Executor.h"
#include "launcher/spawn/JobStarter.h"
#include "launcher/spawn/Planners.h"
#include "launcher/spawn/RankFiles.h"
#include "common/carrier_exec.h"
#include "common/child_io.h"
#include "common/child_setup.h"

using spawn::LauncherParams;
using spawn::MachineFileHosts;

namespace spawn {

std::string LocalHostName() {
  const char* name = visualConnection->Hostname();
  return name ? std::string(name, strnlen(name, HOSTNAME_SIZE)) : std::string();
}

namespace {

size_t EnvironCount();

// What asks a remote rank's carrier for a terminal for its program's output
// (TARVO_PTY in its environment, which carrier takes out), sized like
// tarvo's own where it has one; empty without terminals, or with the ranks'
// output in files of their own (TARVO_OUTPUT), as for local ranks.
std::string RemoteTerminal(const RunParts& run) {
  if (!OutputRelay::Terminals(run.relay) || !run.settings.outputPattern.empty()) return std::string();
  const winsize* size = OutputRelay::WindowSize(run.relay);
  if (size == nullptr || size->ws_row == 0) return "TARVO_PTY=1";
  return "TARVO_PTY=" + std::to_string(size->ws_col) + "x" + std::to_string(size->ws_row);
}

// Per-rank remote shells: the map before any rank starts. With GPUs asked,
// each remote host tells its topology first (a dry run given a node type,
// HWLOC_XMLFILE or HWLOC_SYNTHETIC, maps that instead); the dry run ends
// here. -1 to go on, else the run's status.
int MapBeforeStart(const RunSettings& settings, const std::vector<ExecPlan>& plans,
                   const std::vector<std::string>& hosts) {
  auto remote = std::find_if(plans.begin(), plans.end(), [](const ExecPlan& p) { return p.remote; });
  const bool nodeType = getenv("HWLOC_XMLFILE") != nullptr || getenv("HWLOC_SYNTHETIC") != nullptr;
  const bool ask = settings.gpusPerRank > 0 && remote != plans.end() && !(settings.dryRun && nodeType);
  if (remote != plans.end() && (ask || !settings.dryRun)) SayIfNoRemoteShell(settings, remote->file);
  std::map<std::string, HostTopology> asked;
  std::vector<const HostTopology*> told;
  if (ask) {
    const int status = AskRemoteTopologies(settings, plans, hosts, &asked, &told);
    if (status != 0) return status;
  }
  if (!settings.dryRun) return -1;
  const std::string refusal = DryRun(settings, hosts, told);
  return refusal.empty() ? 0 : RefuseRun(refusal);
}

// The start of rank `rank` from `plan`: its streams from `relay`, and, on
// this host, its PMI-1 descriptor from `mpi` and `env` over its variables.
std::function<pid_t()> RankStart(ExecPlan& plan, int rank, const std::vector<std::string>& env,
                                 const ForkReport& report, MpiServer& mpi, OutputRelay* relay) {
  return [&plan, rank, &env, &report, &mpi, relay] {
    const ChildStreams streams = OutputRelay::ForRank(relay, rank, 0, !plan.remote);
    std::copy(streams.fds, streams.fds + 3, plan.stdFds);
    if (!plan.remote) {
      plan.keepFd = mpi.PrepareRank(rank, &plan.pmiEnv);
      if (plan.keepFd < 0) plan.pmiEnv.clear();
      plan.pmiEnv.insert(plan.pmiEnv.end(), env.begin(), env.end());
      if (plan.keepFd >= 0) {
        RankEnvironment(environ, plan.pmiEnv, &plan.envp);
      } else {
        // Not served: the launcher's environment as it is, with these over it.
        plan.envp.assign(environ, environ + EnvironCount());
        MergeRankEnvironment(&plan.envp, plan.pmiEnv);
      }
    }
    const pid_t pid = StartPlan(plan, report);
    mpi.RankStarted(rank);
    OutputRelay::Started(relay, streams);
    return pid;
  };
}

// Hands the plans to the run control and returns the run's status. Every
// rank gets a PMI-1 server: a descriptor for a local one, the TCP endpoint
// on `pmiPort` for those that remote shells start.
int RunPlans(const RunParts& run, std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
             const ForkReport& report, const std::vector<int>& appnums, const LauncherParams& params,
             const std::string& machineFile) {
  const RunSettings& settings = run.settings;
  const int pmiPort = params.addressPort;
  fflush(stdout);
  // Per-rank remote shells: the map first. (Host mode says where a remote
  // shell is missing once it knows which hosts need an agent.)
  if (settings.launch == RunSettings::kLaunchRank) {
    const int status = MapBeforeStart(settings, plans, hosts);
    if (status >= 0) return status;
  }
  ReadProgramKinds(plans);
  auto remote = std::find_if(plans.begin(), plans.end(), [](const ExecPlan& p) { return p.remote; });
  if (settings.launch != RunSettings::kLaunchRank) {
    return RunAgents(run, plans, hosts, report, appnums, params, machineFile);
  }
  if (remote != plans.end()) SayIfSingletons(settings, plans);
  // This host's ranks' terminals, made while the run is prepared.
  OutputRelay::ExpectTerminals(run.relay, static_cast<size_t>(std::count_if(
                                              plans.begin(), plans.end(), [](const ExecPlan& p) { return !p.remote; })));
  // Signals pass on to the ranks through the remote shell that started them.
  std::unique_ptr<RemoteSignals> signals;
  if (remote != plans.end()) {
    signals.reset(new RemoteSignals(ShellWords(*remote),
                                    std::vector<int>(remote->closeFds, remote->closeFds + remote->closeCount)));
  }
  std::vector<RankPlacement> placements;
  const std::string refusal = PlaceRankPlans(settings, plans, hosts, &placements);
  if (!refusal.empty()) return RefuseRun(refusal);
  MpiServer mpi(hosts, appnums, std::vector<int>(plans.size(), -1), 0, run.mpiLinks);
  if (remote != plans.end()) mpi.Listen(pmiPort, run.pmiTcpFd);
  if (remote == plans.end()) {
    ServePmix(settings, &mpi, plans, hosts, appnums, std::vector<int>(plans.size(), -1), {});
  }
  std::vector<std::string> pmiIds(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].remote) pmiIds[i] = mpi.PmiId(static_cast<int>(i));
  }
  std::vector<std::vector<std::string>> placed;
  for (const RankPlacement& p : placements) placed.push_back(p.env);
  std::vector<std::vector<std::string>> rankEnv = RankEnvironments(hosts, placed);
  const std::string tooLong = PlanRankShells(plans, pmiIds, rankEnv, RemoteTerminal(run));
  if (!tooLong.empty()) return RefuseRun(tooLong);
  // TARVO_STDIN=all: a copy through each rank's pipe, a remote one's to its
  // remote shell.
  OutputRelay* relay = run.relay;
  if (OutputRelay::InputWho(relay) == OutputRelay::kInputAll) OutputRelay::ExpectInputReaders(relay, plans.size());
  BesideStarts beside;  // until the run control has seen every process end
  std::vector<RankLaunch> launches(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    ExecPlan& plan = plans[i];
    plan.SealArgv();
    if (!plan.remote) plan.beside = &beside;
    launches[i].rank = static_cast<int>(i);
    launches[i].host = hosts[i];
    launches[i].program = plan.programFile;
    launches[i].remote = plan.remote;
    launches[i].start = RankStart(plan, static_cast<int>(i), rankEnv[i], report, mpi, relay);
  }
  // Jobs that the ranks spawn run on this host beside them.
  std::unique_ptr<JobStarter> starter;
  if (remote == plans.end() && !plans.empty()) {
    const std::vector<int> closeFds(plans[0].closeFds, plans[0].closeFds + plans[0].closeCount);
    starter = LocalJobStarter(&mpi, LocalChildren{relay, params, closeFds, report, &beside});
  }
  return RunControl::Run(run.control, launches, nullptr, &mpi, starter.get(), signals.get());
}

size_t EnvironCount() {
  size_t n = 0;
  while (environ[n] != nullptr) ++n;
  return n;
}

LauncherParams Params(int count, const std::string& workdir) {
  LauncherParams p;
  p.consolePort = consoleConnection->Port();
  p.syncPort = synConnection->Port();
  const char* ip = visualConnection->IP();
  p.address = ip ? std::string(ip, strnlen(ip, ADDRESS_TEXT_SIZE)) : std::string();
  p.addressPort = addressConnection->Port();
  p.visualPort = visualConnection->Port();
  p.count = count;
  p.workdir = workdir;
  return p;
}

// The system's bound on an exec's vectors.
size_t ArgMax() {
  const long most = sysconf(_SC_ARG_MAX);
  return most > 0 ? static_cast<size_t>(most) : static_cast<size_t>(128 * 1024);
}

// What a rank's exec takes beside carrier's vector: the launcher's
// environment, and room for the variables that a rank gets of its own (PMI,
// PMIx, carrier's parameters).
size_t VectorRoom() { return EnvironmentBytes(environ) + 16 * 1024; }

// Opens the machine file (null: none, or inside a batch system's allocation
// its hosts, `allocation`, in its place, which must outlive the file);
// false, reported, when it cannot.
bool OpenMachineFile(const char* machinefile, std::string* allocation, FILE** file) {
  *file = nullptr;
  if (machinefile == nullptr && !allocation->empty()) *file = fmemopen(&(*allocation)[0], allocation->size(), "r");
  if (machinefile == nullptr) return true;
  *file = fopen(machinefile, "r");
  if (*file != nullptr) return true;
  printf(kCannotOpenMachineFile, machinefile);
  return false;
}

bool Resolves(const char* name) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return false;
  freeaddrinfo(result);
  return true;
}

// Program-file runs pass the names unchecked.
bool AnyName(const char*) { return true; }

// What one form of spawning gives the plan loop.
struct RunForm {
  const char* machinefile;
  bool (*resolves)(const char*);
  const int* lines;              // the exec reports' lines: local, ssh, rsh
  ForkReport report;
  // A program-file process keeps the console endpoint and the machine file
  // open, as that form always started them.
  bool keepOpen;
  // Each process is a program of its own (its line): its PMI appnum.
  bool appnumPerProcess;
};

// The one plan loop of both forms: chooses each process's host (switching
// to local spawning when the machine file yields no word), builds its plan,
// then hands all of them to the run control. `words(i)` are the program
// words of process i. `machine` is closed here.
template <typename Words>
int PlanAndRun(const RunParts& run, FILE* machine, int count, const LauncherParams& params, const RunForm& form,
               Words words) {
  // The file's text, for the hosts and slots of host mode's spawned jobs.
  std::string machineText = form.machinefile == nullptr ? run.allocationHosts : std::string();
  if (machine != nullptr && form.machinefile != nullptr && run.settings.launch != RunSettings::kLaunchRank) {
    if (FILE* again = fopen(form.machinefile, "r")) {
      char buffer[4096];
      size_t n;
      while (machineText.size() < (1u << 20) && (n = fread(buffer, 1, sizeof buffer, again)) > 0) machineText.append(buffer, n);
      fclose(again);
    }
  }
  MachineFileHosts hosts(machine, form.resolves, run.settings.ppn);
  const std::string localHost = LocalHostName();
  RankForm rankForm;
  rankForm.ssh = ComShellFlag;
  rankForm.rsh = run.settings.rsh;
  rankForm.lines = form.lines;
  rankForm.closeFds = {visualConnection->Socket(), addressConnection->Socket(), synConnection->Socket()};
  if (!form.keepOpen) rankForm.closeFds.push_back(consoleConnection->Socket());
  std::vector<ExecPlan> plans;
  std::vector<std::string> where;
  for (int i = 0; i < count; ++i) {
    std::string host = localHost;
    if (machine != nullptr) {
      std::string report;
      const MachineFileHosts::Result r = hosts.Next(&host, &report);
      fputs(report.c_str(), stdout);
      if (r == MachineFileHosts::kExhausted || r == MachineFileHosts::kUnreadable) {
        fclose(machine);
        return RefuseRun(std::string(r == MachineFileHosts::kExhausted
                                      ? "ERROR-Control Process: no usable host left in machinefile: "
                                      : "ERROR-Control Process Cannot read machinefile: ") +
                      (form.machinefile != nullptr ? form.machinefile : run.allocationSource.c_str()) +
                      "\n");
      }
      if (r == MachineFileHosts::kLocal) {
        fclose(machine);
        machine = nullptr;
        host = localHost;
      }
    }
    where.push_back(host);
    plans.push_back(PlanRank(machine != nullptr, host, words(i), params, i, rankForm));
  }
  // Every host is chosen: no process needs the machine file.
  if (machine != nullptr && !form.keepOpen) fclose(machine);
  std::vector<int> appnums(plans.size(), 0);
  for (size_t i = 0; form.appnumPerProcess && i < appnums.size(); ++i) appnums[i] = static_cast<int>(i);
  const int status = RunPlans(run, plans, where, form.report, appnums, params, machineText);
  if (machine != nullptr && form.keepOpen) fclose(machine);
  return status;
}

const int kLinesMachine[3] = {kLineExecLocal, kLineExecSsh, kLineExecRsh};
const int kLinesProgram[3] = {kLineExecLocal1, kLineExecSsh1, kLineExecRsh1};

}  // namespace

}  // namespace spawn

using namespace spawn;

int spawn::CountProgramFile(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    printf("ERROR-Control Process: Cannot open program file: %s\n", path);
    fflush(stdout);
    return -1;
  }
  std::vector<ProgramLine> lines;
  std::string error;
  bool ok = ReadProgramFile(file, path, &lines, &error);
  fclose(file);
  if (!ok) {
    RefuseRun(error);
    return -1;
  }
  return static_cast<int>(lines.size());
}

int spawn::SpawnProcesses(const RunParts& run, int nprocs, const char* program, const char* machinefile, int nargs,
                          char** args) {
  std::string workdir;
  if (!ReadWorkingDirectory(&workdir)) return kRunRefused;
  if (!run.settings.wdir.empty()) workdir = run.settings.wdir;
  LauncherParams params = Params(nprocs, workdir);
  std::vector<std::string> words{program};
  for (int k = 0; k < nargs; ++k) words.push_back(args[k]);
  const std::string refusal = spawn::CheckVector(words, params, VectorRoom(), ArgMax());
  if (!refusal.empty()) return RefuseRun(refusal);
  std::string allocation = run.allocationHosts;
  FILE* machine = nullptr;
  if (!OpenMachineFile(machinefile, &allocation, &machine)) return RefuseRun("");
  const RunForm form{machinefile, Resolves, kLinesMachine, ForkReport{nullptr, kLineForkMachine}, false, false};
  return PlanAndRun(run, machine, nprocs, params, form,
                    [&words](int) -> const std::vector<std::string>& { return words; });
}

int spawn::SpawnProgramFile(const RunParts& run, const char* machinefile, const char* programfile) {
  std::string workdir;
  if (!ReadWorkingDirectory(&workdir)) return kRunRefused;
  if (!run.settings.wdir.empty()) workdir = run.settings.wdir;
  std::string allocation = run.allocationHosts;
  FILE* machine = nullptr;
  if (!OpenMachineFile(machinefile, &allocation, &machine)) return RefuseRun("");
  FILE* file = fopen(programfile, "r");
  if (file == nullptr) {
    if (machine != nullptr) fclose(machine);
    printf(kCannotOpenProgramFile, programfile);
    return RefuseRun("");
  }
  std::vector<spawn::ProgramLine> lines;
  std::string refusal;
  const bool ok = spawn::ReadProgramFile(file, programfile, &lines, &refusal);
  fclose(file);
  // The services wait for as many processes as were counted at start-up.
  const int counted = run.programLines;
  if (ok && counted >= 0 && lines.size() != static_cast<size_t>(counted)) {
    refusal = std::string("ERROR-Control Process: program file changed while the run started: ") + programfile + "\n";
  }
  const int count = static_cast<int>(lines.size());
  LauncherParams params = Params(count, workdir);
  for (size_t i = 0; refusal.empty() && i < lines.size(); ++i) refusal = spawn::CheckVector(lines[i].words, params, VectorRoom(), ArgMax());
  if (!refusal.empty()) {
    if (machine != nullptr) fclose(machine);
    return RefuseRun(refusal);
  }
  const RunForm form{machinefile, AnyName, kLinesProgram, ForkReport{kForkFailed, kLineForkProgram}, true, true};
  return PlanAndRun(run, machine, count, params, form,
                    [&lines](int i) -> const std::vector<std::string>& { return lines[static_cast<size_t>(i)].words; });
}

namespace {

// A spawner called outside a run: the default settings, no parts.
spawn::RunParts Alone() {
  static const RunSettings kDefaults;
  static const MpiLinks kNoLinks;
  return spawn::RunParts{kDefaults, nullptr, nullptr, kNoLinks, -1, -1, std::string(), std::string()};
}

}  // namespace

int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args) {
  return spawn::SpawnProcesses(Alone(), nprocs, program, machinefile, nargs, args);
}

int spawn_processes1(const char* machinefile, const char* programfile) {
  return spawn::SpawnProgramFile(Alone(), machinefile, programfile);
}
