// spawn_processes and spawn_processes1: describe every process of the run
// (its host and its child argument vector, from the readers of Inputs.h),
// then hand the descriptions to the run control, which starts them and
// waits for them.
//
// A local process is started with posix_spawnp, which does not copy the
// launcher's memory (a fork costs the page tables and a copy-on-write fault
// per page written afterwards, half of the time per process). When the
// spawn fails, the same child is started again the old way, fork and execvp,
// so that every failure is seen as before: the exec messages and status 1
// from the child, the fork report, and execvp's fallback to /bin/sh.
// A remote shell is always forked: it gets a parent-death signal, so that it
// (and with it the remote process) ends when the launcher is killed.
#include "launcher/spawn/Inputs.h"

#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/pmi_env.h"
#include "common/protocol.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/run/AgentHub.h"
#include "launcher/context/RunContext.h"
#include "launcher/spawn/Spawners.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/JobStarter.h"
#include "launcher/spawn/RankFiles.h"
#include "common/carrier_exec.h"
#include "common/child_io.h"
#include "common/child_setup.h"

using spawn::LauncherParams;
using spawn::MachineFileHosts;

namespace spawn {
namespace {

// The child's whole life: async-signal-safe calls only.
[[noreturn]] void RunChild(const ExecPlan& plan, pid_t launcher) {
  ChildSetup setup;
  // A remote shell ends when the launcher's spawning thread ends, and with
  // the shell's connection the process on the remote host.
  setup.parent = plan.remote ? launcher : 0;
  setup.ownGroup = plan.ownGroup;
  setup.ownSession = plan.ownSession;
  setup.closeFds = plan.closeFds;
  setup.closeCount = plan.closeCount;
  setup.keepFd = plan.keepFd;
  std::copy(plan.stdFds, plan.stdFds + 3, setup.stdFds);
  ChildSetUp(setup);
  if (plan.place != nullptr && !RankPlaceApply(*plan.place)) _exit(kRankPlaceFailed);
  execvpe(plan.file.c_str(), plan.argv.data(), plan.envp.empty() ? environ : plan.envp.data());
  const int e = errno;
  ChildWrite(STDERR_FILENO, plan.failure.c_str());
  ChildWrite(STDOUT_FILENO, plan.errorAt.data(), plan.errorAt.size());
  ChildPerror("execvp", e);
  _exit(1);
}

// Starts the child of `plan` without copying the launcher: posix_spawnp, a
// vfork-style clone in the C library, with the plan's closes as file
// actions and the ordinary signal mask. -1 when the C library reports a
// failure of the clone or of the exec: no child is left then, and the
// caller takes the fork path, which reports the failure as it always did.
// Only a C library that reports exec failures this way is trusted with it.
pid_t SpawnWithoutCopy(const ExecPlan& plan) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 24))
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  // SIGINT and SIGQUIT by default, as ChildSetUp gives them.
  sigset_t byDefault;
  sigemptyset(&byDefault);
  sigaddset(&byDefault, SIGINT);
  sigaddset(&byDefault, SIGQUIT);
  const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                      (plan.ownSession ? POSIX_SPAWN_SETSID : plan.ownGroup ? POSIX_SPAWN_SETPGROUP : 0);
  bool ok = posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setpgroup(&attr, 0) == 0 &&
            posix_spawnattr_setsigdefault(&attr, &byDefault) == 0 && posix_spawnattr_setflags(&attr, flags) == 0;
  for (int i = 0; ok && i < plan.closeCount; ++i) {
    ok = posix_spawn_file_actions_addclose(&actions, plan.closeFds[i]) == 0;
  }
  for (int fd = 0; ok && fd < 3; ++fd) {
    if (plan.stdFds[fd] >= 0) ok = posix_spawn_file_actions_adddup2(&actions, plan.stdFds[fd], fd) == 0;
  }
  // A descriptor duplicated onto itself loses its close-on-exec.
  if (ok && plan.keepFd >= 0) ok = posix_spawn_file_actions_adddup2(&actions, plan.keepFd, plan.keepFd) == 0;
  pid_t pid = -1;
  char* const* env = plan.envp.empty() ? environ : plan.envp.data();
  ok = ok && posix_spawnp(&pid, plan.file.c_str(), &actions, &attr, plan.argv.data(), env) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return ok ? pid : -1;
#else
  (void)plan;
  return -1;
#endif
}

}  // namespace

pid_t StartPlan(const ExecPlan& plan, const ForkReport& report) {
  fflush(stdout);  // a child's exit must not flush a copy of the buffer
  if (!plan.remote && plan.place == nullptr) {  // posix_spawn cannot open a rank's files or bind it
    pid_t pid = SpawnWithoutCopy(plan);
    if (pid > 0) return pid;
  }
  const pid_t launcher = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    if (report.line == 0) return -1;  // no rank's start: nothing to report
    if (report.before != nullptr) printf("%s\n", report.before);
    ErrorMsg("fork", report.line, kErrorSource);
    fflush(stdout);
    return -1;
  }
  if (pid == 0) RunChild(plan, launcher);
  // Also here, so that the group is there before the child has run (a
  // session is the child's own doing: until then a signal goes to its pid).
  if (plan.ownGroup && !plan.ownSession) setpgid(pid, pid);
  return pid;
}

namespace {

ExecPlan MakePlan(bool remote, const std::string& host, const std::vector<std::string>& words,
                  const LauncherParams& params, int rank, const int lines[3]) {
  ExecPlan plan;
  plan.remote = remote;
  plan.ownGroup = true;
  plan.ownSession = !remote;
  plan.vector = spawn::ChildVector(remote, ComShellFlag, host, words, params, rank);
  int line;
  if (!remote) {
    plan.file = "carrier";
    plan.failure = kExecLocalFailed;
    line = lines[0];
  } else {
    // TARVO_RSH's words stand in for the "ssh" or "rsh" of the vector.
    const std::vector<std::string>& rsh = RunControlSettings().rsh;
    if (!rsh.empty()) {
      plan.vector.erase(plan.vector.begin());
      plan.vector.insert(plan.vector.begin(), rsh.begin(), rsh.end());
      plan.shellWords = rsh.size();
    }
    plan.file = plan.vector[0];
    plan.failure = "Control Process: execvp " + plan.file + " failed\n";
    line = lines[ComShellFlag ? 1 : 2];
  }
  plan.errorAt = "Error at " + std::to_string(line) + " " + kErrorSource;
  return plan;
}

}  // namespace

void RankEnvironment(char** env, std::vector<std::string>& pmiEnv, std::vector<char*>* envp) {
  envp->clear();
  for (char** e = env; *e != nullptr; ++e) {
    if (!pmi::IsClientVariable(*e)) envp->push_back(*e);
  }
  MergeRankEnvironment(envp, pmiEnv);
}

void AddClose(ExecPlan* plan, int fd) {
  if (fd >= 0) plan->closeFds[plan->closeCount++] = fd;
}

std::string LocalHostName() {
  const char* name = visualConnection->Hostname();
  return name ? std::string(name, strnlen(name, HOSTNAME_SIZE)) : std::string();
}

namespace {

// Hands the plans to the run control and returns the run's status. Every
// rank gets a PMI-1 server: a descriptor for a local one, the TCP endpoint
// on `pmiPort` for those that remote shells start.
int RunPlans(std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts, const ForkReport& report,
             const std::vector<int>& appnums, const LauncherParams& params, const std::string& machineFile) {
  const int pmiPort = params.addressPort;
  fflush(stdout);
  ReadProgramKinds(plans);
  auto remote = std::find_if(plans.begin(), plans.end(), [](const ExecPlan& p) { return p.remote; });
  if (remote != plans.end() && RunControlSettings().launch != RunSettings::kLaunchSlurm) {
    SayIfNoRemoteShell(remote->file);
  }
  if (RunControlSettings().launch != RunSettings::kLaunchRank) return RunAgents(plans, hosts, report, appnums, params, machineFile);
  if (remote != plans.end()) SayIfSingletons(plans);
  if (remote != plans.end()) PassSignalsThrough(ShellWords(*remote), std::vector<int>(remote->closeFds, remote->closeFds + remote->closeCount));
  std::vector<RankPlacement> placements;
  const std::string refusal = PlaceRankPlans(plans, hosts, &placements);
  if (!refusal.empty()) return RefuseRun(refusal);
  MpiServer mpi(hosts, appnums, std::vector<int>(plans.size(), -1), 0);
  if (remote != plans.end()) mpi.Listen(pmiPort, std::exchange(TheRunContext().pmiTcpFd, -1));
  if (remote == plans.end()) ServePmix(&mpi, plans, hosts, appnums, std::vector<int>(plans.size(), -1), {}, nullptr);
  std::vector<RankLaunch> launches(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    ExecPlan& plan = plans[i];
    // The rank's PMI_ID reaches the far side in its command, as nothing
    // else but carrier's fixed words does; carrier keeps it.
    if (plan.remote) {
      const std::vector<std::string> env = {"env", TARVO_PMI_ID "=" + mpi.PmiId(static_cast<int>(i))};
      plan.vector.insert(plan.vector.begin() + static_cast<long>(plan.shellWords) + 1, env.begin(), env.end());
    }
    // The far side's shell reads the words after the host again.
    for (size_t k = plan.shellWords + 1; plan.remote && k < plan.vector.size(); ++k) plan.vector[k] = spawn::ShellQuoted(plan.vector[k]);
    plan.SealArgv();
    launches[i].rank = static_cast<int>(i);
    launches[i].host = hosts[i];
    launches[i].remote = plan.remote;
    launches[i].start = [&plan, &report, &mpi, i] {
      const ChildStreams streams = OutputRelayForRank(static_cast<int>(i));
      std::copy(streams.fds, streams.fds + 3, plan.stdFds);
      if (!plan.remote) {
        plan.keepFd = mpi.PrepareRank(static_cast<int>(i), &plan.pmiEnv);
        if (plan.keepFd >= 0) RankEnvironment(environ, plan.pmiEnv, &plan.envp);
      }
      const pid_t pid = StartPlan(plan, report);
      mpi.RankStarted(static_cast<int>(i));
      OutputRelayStarted(streams);
      return pid;
    };
  }
  // Jobs that the ranks spawn run on this host beside them.
  std::unique_ptr<JobStarter> starter;
  if (remote == plans.end() && !plans.empty()) {
    starter = LocalJobStarter(&mpi, params, std::vector<int>(plans[0].closeFds, plans[0].closeFds + plans[0].closeCount),
                              report);
  }
  return RunControlRun(launches, nullptr, &mpi, starter.get());
}

bool ReadWorkdir(char (&workdir)[kWorkdirSize]) {
  if (getcwd(workdir, sizeof workdir) != nullptr) return true;
  perror("getcwd");
  return false;
}

LauncherParams Params(int count, const char* workdir) {
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

// Opens the machine file (null: none); false, reported, when it cannot.
bool OpenMachineFile(const char* machinefile, FILE** file) {
  *file = nullptr;
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
int PlanAndRun(FILE* machine, int count, const LauncherParams& params, const RunForm& form, Words words) {
  // The file's text, for the hosts and slots of host mode's spawned jobs.
  std::string machineText;
  if (machine != nullptr && form.machinefile != nullptr && RunControlSettings().launch != RunSettings::kLaunchRank) {
    if (FILE* again = fopen(form.machinefile, "r")) {
      char buffer[4096];
      size_t n;
      while (machineText.size() < (1u << 20) && (n = fread(buffer, 1, sizeof buffer, again)) > 0) machineText.append(buffer, n);
      fclose(again);
    }
  }
  MachineFileHosts hosts(machine, form.resolves);
  const std::string localHost = LocalHostName();
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
                      form.machinefile + "\n");
      }
      if (r == MachineFileHosts::kLocal) {
        fclose(machine);
        machine = nullptr;
        host = localHost;
      }
    }
    where.push_back(host);
    plans.push_back(MakePlan(machine != nullptr, host, words(i), params, i, form.lines));
    ExecPlan& plan = plans.back();
    AddClose(&plan, visualConnection->Socket());
    AddClose(&plan, addressConnection->Socket());
    AddClose(&plan, synConnection->Socket());
    if (!form.keepOpen) AddClose(&plan, consoleConnection->Socket());
  }
  // Every host is chosen: no process needs the machine file.
  if (machine != nullptr && !form.keepOpen) fclose(machine);
  std::vector<int> appnums(plans.size(), 0);
  for (size_t i = 0; form.appnumPerProcess && i < appnums.size(); ++i) appnums[i] = static_cast<int>(i);
  const int status = RunPlans(plans, where, form.report, appnums, params, machineText);
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

int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args) {
  char workdir[kWorkdirSize];
  if (!ReadWorkdir(workdir)) return kRunRefused;
  LauncherParams params = Params(nprocs, workdir);
  std::vector<std::string> words{program};
  for (int k = 0; k < nargs; ++k) words.push_back(args[k]);
  const std::string refusal = spawn::CheckVector(words, params);
  if (!refusal.empty()) return RefuseRun(refusal);
  FILE* machine = nullptr;
  if (!OpenMachineFile(machinefile, &machine)) return RefuseRun("");
  const RunForm form{machinefile, Resolves, kLinesMachine, ForkReport{nullptr, kLineForkMachine}, false, false};
  return PlanAndRun(machine, nprocs, params, form, [&words](int) -> const std::vector<std::string>& { return words; });
}

int spawn_processes1(const char* machinefile, const char* programfile) {
  char workdir[kWorkdirSize];
  if (!ReadWorkdir(workdir)) return kRunRefused;
  FILE* machine = nullptr;
  if (!OpenMachineFile(machinefile, &machine)) return RefuseRun("");
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
  const int counted = TheRunContext().programLines;
  if (ok && counted >= 0 && lines.size() != static_cast<size_t>(counted)) {
    refusal = std::string("ERROR-Control Process: program file changed while the run started: ") + programfile + "\n";
  }
  const int count = static_cast<int>(lines.size());
  LauncherParams params = Params(count, workdir);
  for (size_t i = 0; refusal.empty() && i < lines.size(); ++i) refusal = spawn::CheckVector(lines[i].words, params);
  if (!refusal.empty()) {
    if (machine != nullptr) fclose(machine);
    return RefuseRun(refusal);
  }
  const RunForm form{machinefile, AnyName, kLinesProgram, ForkReport{kForkFailed, kLineForkProgram}, true, true};
  return PlanAndRun(machine, count, params, form,
                    [&lines](int i) -> const std::vector<std::string>& { return lines[static_cast<size_t>(i)].words; });
}
