// spawn_processes and spawn_processes1: describe every process of the run
// (its host and its child argument vector, from the readers of Spawn.h),
// then hand the descriptions to the run control, which starts them and
// waits for them.
//
// A local process is started with posix_spawnp, which does not copy the
// launcher's memory (a fork of the threaded launcher costs its page tables
// and a copy-on-write fault for every page it writes afterwards, about half
// of the launcher's time per process). When the spawn fails, the same child
// is started again the old way, fork and execvp, so that every failure is
// seen as before: the exec messages and status 1 from the child, the fork
// report, and execvp's own fallback to /bin/sh for a file without a #! line.
// A remote shell is always forked: it gets a parent-death signal, so that it
// (and with it the remote process) ends when the launcher is killed.
#include "launcher/Spawn.h"

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

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include "launcher/AgentHub.h"
#include "launcher/Control.h"
#include "launcher/OutputRelay.h"
#include "launcher/RunControl.h"
#include "launcher/SpawnPlan.h"
#include "common/carrier_exec.h"
#include "common/child_io.h"
#include "common/child_setup.h"

using spawn::LauncherParams;
using spawn::MachineFileHosts;

namespace spawnplan {

int countedLines = -1;  // what CountProgramFile found, for the reading that follows

// The child's whole life: async-signal-safe calls only.
[[noreturn]] void RunChild(const ExecPlan& plan, pid_t launcher) {
  ChildSetup setup;
  // A remote shell ends when the launcher's spawning thread ends, and with
  // the shell's connection the process on the remote host.
  setup.parent = plan.remote ? launcher : 0;
  setup.ownGroup = plan.ownGroup;
  setup.closeFds = plan.closeFds;
  setup.closeCount = plan.closeCount;
  std::copy(plan.stdFds, plan.stdFds + 3, setup.stdFds);
  ChildSetUp(setup);
  execvp(plan.file, plan.argv.data());
  const int e = errno;
  ChildWrite(STDERR_FILENO, plan.failure);
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
pid_t SpawnPlan(const ExecPlan& plan) {
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
  bool ok = posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK) == 0;
  for (int i = 0; ok && i < plan.closeCount; ++i) {
    ok = posix_spawn_file_actions_addclose(&actions, plan.closeFds[i]) == 0;
  }
  for (int fd = 0; ok && fd < 3; ++fd) {
    if (plan.stdFds[fd] >= 0) ok = posix_spawn_file_actions_adddup2(&actions, plan.stdFds[fd], fd) == 0;
  }
  pid_t pid = -1;
  ok = ok && posix_spawnp(&pid, plan.file, &actions, &attr, plan.argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return ok ? pid : -1;
#else
  (void)plan;
  return -1;
#endif
}

pid_t StartPlan(const ExecPlan& plan, const ForkReport& report) {
  fflush(stdout);  // a child's exit must not flush a copy of the buffer
  if (!plan.remote) {
    pid_t pid = SpawnPlan(plan);
    if (pid > 0) return pid;
  }
  const pid_t launcher = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    if (report.before != nullptr) printf("%s\n", report.before);
    ErrorMsg("fork", report.line, kErrorSource);
    fflush(stdout);
    return -1;
  }
  if (pid == 0) RunChild(plan, launcher);
  return pid;
}

ExecPlan MakePlan(bool remote, const std::string& host, const std::vector<std::string>& words,
                  const LauncherParams& params, int rank, const int lines[3]) {
  ExecPlan plan;
  plan.remote = remote;
  plan.vector = spawn::ChildVector(remote, ComShellFlag, host, words, params, rank);
  int line;
  if (!remote) {
    plan.file = "carrier";
    plan.failure = kExecLocalFailed;
    line = lines[0];
  } else if (ComShellFlag) {
    plan.file = "ssh";
    plan.failure = "Control Process: execvp ssh failed\n";
    line = lines[1];
  } else {
    plan.file = "rsh";
    plan.failure = "Control Process: execvp rsh failed\n";
    line = lines[2];
  }
  plan.errorAt = "Error at " + std::to_string(line) + " " + kErrorSource;
  return plan;
}

void AddClose(ExecPlan* plan, int fd) {
  if (fd >= 0) plan->closeFds[plan->closeCount++] = fd;
}

std::string LocalHostName() {
  const char* name = visualConnection->Hostname();
  return name ? std::string(name, strnlen(name, HOSTNAME_SIZE)) : std::string();
}

// Hands the plans to the run control and keeps the run's status.
void RunPlans(std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts, const ForkReport& report) {
  fflush(stdout);
  if (RunControlSettings().launch != RunSettings::kLaunchRank) {
    RunAgents(plans, hosts, report);
    return;
  }
  std::vector<RankLaunch> launches(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    ExecPlan& plan = plans[i];
    plan.SealArgv();
    launches[i].rank = static_cast<int>(i);
    launches[i].host = hosts[i];
    launches[i].remote = plan.remote;
    launches[i].start = [&plan, &report, i] {
      const ChildStreams streams = OutputRelayForRank(static_cast<int>(i));
      std::copy(streams.fds, streams.fds + 3, plan.stdFds);
      const pid_t pid = StartPlan(plan, report);
      OutputRelayStarted(streams);
      return pid;
    };
  }
  runExitStatus = RunControlRun(launches);
}

// Ends the launcher from inside a spawner before any process has started:
// the service threads are running, so they are told first that the run is
// closing.
[[noreturn]] void Leave(int status) {
  ControlBeginClosing();
  fflush(stdout);
  exit(status);
}

void ReadWorkdir(char (&workdir)[kWorkdirSize]) {
  if (getcwd(workdir, sizeof workdir) == nullptr) {
    perror("getcwd");
    Leave(-1);
  }
}

LauncherParams Params(int count, const char* workdir) {
  LauncherParams p;
  p.consolePort = consoleConnection->Port();
  p.syncPort = synConnection->Port();
  const char* ip = visualConnection->IP();
  p.address = ip ? std::string(ip, strnlen(ip, 128)) : std::string();
  p.addressPort = addressConnection->Port();
  p.visualPort = visualConnection->Port();
  p.count = count;
  p.workdir = workdir;
  return p;
}

FILE* OpenMachineFile(const char* machinefile) {
  if (machinefile == nullptr) return nullptr;
  FILE* file = fopen(machinefile, "r");
  if (file == nullptr) {
    printf(kCannotOpenMachineFile, machinefile);
    Leave(-1);
  }
  return file;
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

// Picks the host of the next process. Switches *machine to null when the
// file yields no word (local spawning from here on).
std::string ChooseHost(FILE** machine, MachineFileHosts* hosts, const std::string& localHost, const char* machinefile) {
  if (*machine == nullptr) return localHost;
  std::string host, report;
  MachineFileHosts::Result r = hosts->Next(&host, &report);
  fputs(report.c_str(), stdout);
  if (r == MachineFileHosts::kHost) return host;
  if (r == MachineFileHosts::kExhausted) {
    printf("ERROR-Control Process: no usable host left in machinefile: %s\n", machinefile);
    Leave(-1);
  }
  if (r == MachineFileHosts::kUnreadable) {
    printf("ERROR-Control Process Cannot read machinefile: %s\n", machinefile);
    Leave(-1);
  }
  fclose(*machine);
  *machine = nullptr;
  return localHost;
}

void RefuseIfBad(const std::string& refusal) {
  if (refusal.empty()) return;
  fputs(refusal.c_str(), stdout);
  Leave(-1);
}

const int kLinesMachine[3] = {kLineExecLocal, kLineExecSsh, kLineExecRsh};
const int kLinesProgram[3] = {kLineExecLocal1, kLineExecSsh1, kLineExecRsh1};

}  // namespace spawnplan

using namespace spawnplan;

int spawn::CountProgramFile(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    printf("ERROR-Control Process: Cannot open program file: %s\n", path);
    fflush(stdout);
    exit(-1);
  }
  std::vector<ProgramLine> lines;
  std::string error;
  bool ok = ReadProgramFile(file, path, &lines, &error);
  fclose(file);
  if (!ok) {
    fputs(error.c_str(), stdout);
    fflush(stdout);
    exit(-1);
  }
  countedLines = static_cast<int>(lines.size());
  return countedLines;
}

int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args) {
  char workdir[kWorkdirSize];
  ReadWorkdir(workdir);
  LauncherParams params = Params(nprocs, workdir);
  std::vector<std::string> words{program};
  for (int k = 0; k < nargs; ++k) words.push_back(args[k]);
  RefuseIfBad(spawn::CheckVector(words, params));

  FILE* machine = OpenMachineFile(machinefile);
  MachineFileHosts hosts(machine, Resolves);
  const std::string localHost = LocalHostName();
  std::vector<ExecPlan> plans;
  std::vector<std::string> where;
  for (int i = 0; i < nprocs; ++i) {
    where.push_back(ChooseHost(&machine, &hosts, localHost, machinefile));
    plans.push_back(MakePlan(machine != nullptr, where.back(), words, params, i, kLinesMachine));
    ExecPlan& plan = plans.back();
    AddClose(&plan, visualConnection->Socket());
    AddClose(&plan, addressConnection->Socket());
    AddClose(&plan, synConnection->Socket());
    AddClose(&plan, consoleConnection->Socket());
  }
  // Every host is chosen: no process needs the machine file.
  if (machine != nullptr) fclose(machine);
  RunPlans(plans, where, ForkReport{nullptr, kLineForkMachine});
  return 0;
}

int spawn_processes1(const char* machinefile, const char* programfile) {
  char workdir[kWorkdirSize];
  ReadWorkdir(workdir);
  FILE* machine = OpenMachineFile(machinefile);
  FILE* file = fopen(programfile, "r");
  if (file == nullptr) {
    printf(kCannotOpenProgramFile, programfile);
    Leave(-1);
  }
  std::vector<spawn::ProgramLine> lines;
  std::string refusal;
  bool ok = spawn::ReadProgramFile(file, programfile, &lines, &refusal);
  fclose(file);
  if (!ok) RefuseIfBad(refusal);
  // The services wait for as many processes as were counted at start-up.
  if (countedLines >= 0 && lines.size() != static_cast<size_t>(countedLines)) {
    printf("ERROR-Control Process: program file changed while the run started: %s\n", programfile);
    Leave(-1);
  }
  const int count = static_cast<int>(lines.size());
  LauncherParams params = Params(count, workdir);
  for (const spawn::ProgramLine& line : lines) RefuseIfBad(spawn::CheckVector(line.words, params));

  MachineFileHosts hosts(machine, AnyName);
  const std::string localHost = LocalHostName();
  std::vector<ExecPlan> plans;
  std::vector<std::string> where;
  for (int i = 0; i < count; ++i) {
    where.push_back(ChooseHost(&machine, &hosts, localHost, machinefile));
    plans.push_back(MakePlan(machine != nullptr, where.back(), lines[static_cast<size_t>(i)].words, params, i,
                             kLinesProgram));
    // The console endpoint and the machine file stay open in the process.
    ExecPlan& plan = plans.back();
    AddClose(&plan, visualConnection->Socket());
    AddClose(&plan, addressConnection->Socket());
    AddClose(&plan, synConnection->Socket());
  }
  RunPlans(plans, where, ForkReport{kForkFailed, kLineForkProgram});
  if (machine != nullptr) fclose(machine);
  return 0;
}
