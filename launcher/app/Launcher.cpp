// The main flow: the command line and the settings, the endpoints and the
// service threads, one spawner for the run, then the end of the run in
// order (output relay, monitor bridge, services, endpoints). Every end of
// the launcher comes back here as a status, which main returns.
#include "launcher/Control.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/carrier_exec.h"
#include "common/exit_status.h"
#include "launcher/app/CommandLine.h"
#include "launcher/app/Launch.h"
#include "launcher/app/ReadSettings.h"
#include "common/rank_place.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/SourceFilter.h"
#include "launcher/services/SyncService.h"
#include "launcher/services/VisualBridge.h"
#include "pmi/pmi1_server.h"
#include "launcher/spawn/Inputs.h"

namespace {

bool OpenEndpoint(CUDPConnection* endpoint, const char* step, int line) {
  if (endpoint->Open(0) != -1) return true;
  ErrorMsg(step, line, kErrorSource);
  return false;
}

// carrier gives the MPI ranks of remote shells the address service's port
// number as their PMI_PORT, so the address endpoint takes a UDP port whose
// TCP number tarvo holds too: a TCP connection of some other program on that
// number would otherwise leave those ranks without a server.
bool OpenAddressEndpoint(int* tcpFd) {
  for (int tries = 0; tries < 32; ++tries) {
    int port = 0;
    const int tcp = pmi::BindTcpPort(0, &port);
    if (tcp < 0) break;
    if (addressConnection->Open(port) != -1) {
      *tcpFd = tcp;
      return true;
    }
    close(tcp);
  }
  return OpenEndpoint(addressConnection, kStepOpenAddress, kLineOpenAddress);
}

// Slurm mode takes its hosts from the allocation that it runs in; their
// processes are senders of the run. Empty, or the refusal.
std::string TakeSlurmHosts(bool machineFileGiven, SourceSet* sources) {
  const char* nodes = getenv("SLURM_JOB_NODELIST");
  std::vector<std::string> expanded;
  if (machineFileGiven) {
    return "ERROR-Control Process: TARVO_LAUNCH=slurm takes its hosts from the Slurm allocation: no -mf\n";
  }
  if (nodes == nullptr || *nodes == '\0' || getenv("SLURM_JOB_ID") == nullptr) {
    return "ERROR-Control Process: TARVO_LAUNCH=slurm runs inside a Slurm allocation (salloc, sbatch): "
           "SLURM_JOB_NODELIST is not set\n";
  }
  if (!spawn::ExpandHostList(nodes, &expanded)) {
    return std::string("ERROR-Control Process: SLURM_JOB_NODELIST=") + nodes + " is not a host list\n";
  }
  for (const std::string& node : expanded) sources->AddHostName(node.c_str());
  return std::string();
}

bool ReadWholeFile(const char* path, std::string* text) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t n;
  // A host file of a million hosts is not an allocation's.
  while (text->size() < (64u << 20) && (n = fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  const bool read = ferror(file) == 0;
  fclose(file);
  return read;
}

// A batch system's allocation (PBS, LSF, Grid Engine) is the run's hosts,
// each with its slots, as a machine file's would be; the agents of host
// mode start where the batch system lets them, unless the command line or
// TARVO_RSH chooses the remote shell.
void UseBatchHosts(const Allocation& allocation, bool shellGiven, Launch* launch) {
  RunSettings* settings = &launch->settings;
  settings->launch = RunSettings::kLaunchHost;
  launch->allocationHosts = AllocationHosts(allocation);
  launch->allocationSource = allocation.source;
  if (shellGiven || !settings->rsh.empty()) return;
  char file[PATH_MAX];
  if (allocation.system == Allocation::kGridEngine) {
    // Tight integration: the agents are tasks of the job, accounted to it
    // and ended with it, and the nodes need no ssh among themselves. Its
    // standard input carries the run's secret to the agent.
    settings->rsh = {"qrsh", "-inherit"};
  } else if (allocation.system == Allocation::kLsf && CarrierOnPath("blaunch", nullptr, getenv("PATH"), file, sizeof file)) {
    settings->rsh = {"blaunch"};
  }
}

// A reader of tarvo's output that has gone ends the run, as it ends a rank
// that writes to it itself.
void ReaderGone(int stream, RunControl* control) {
  fprintf(stderr, "tarvo: the reader of tarvo's standard %s has gone; ending the run\n",
          stream == 1 ? "output" : "error");
  RunControl::Fatal(control, SignalStatus(SIGPIPE));
}

}  // namespace

Launch::Launch() = default;

Launch::~Launch() = default;

void Launch::MakeParts(const ProgramParts& parts) {
  control.reset(new RunControl(settings, &waits));
  OutputRelay::Options output;
  output.label = settings.label;
  output.terminals = settings.pty;
  // Without TARVO_ERROR, standard error goes into TARVO_OUTPUT's file too.
  output.outputToFile = !settings.outputPattern.empty();
  output.errorToFile = output.outputToFile || !settings.errorPattern.empty();
  static_assert(static_cast<int>(OutputRelay::kInputAll) == RunSettings::kStdinAll &&
                    static_cast<int>(OutputRelay::kInputNone) == RunSettings::kStdinNone,
                "TARVO_STDIN's values are the relay's");
  output.inputWho = settings.stdinWho;
  RunControl* const run = control.get();
  relay.reset(new OutputRelay(output, [run](int stream) { ReaderGone(stream, run); }));
  mpiSenders_.reset(new MpiSendersOfRun(senders.get()));
  mpiLinks = MpiLinks{mpiSenders_.get(), settings.kvsLimitMiB, parts.makeRelay};
}

spawn::RunParts Launch::SpawnParts() {
  return spawn::RunParts{settings, control.get(), relay.get(), mpiLinks, programLines, pmiTcpFd, allocationHosts,
                         allocationSource};
}

bool Launch::StartService(void* (*entry)(void*), ServiceThread* service) {
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, entry, service);
  if (rc != 0) {
    errno = rc;
    ErrorMsg("pthread_create", kLineThreadCreate, kErrorSource);
    return false;
  }
  services_.push_back(thread);
  return true;
}

bool Launch::StartServices() {
  address_ = ServiceThread{addressConnection, senders.get(), nullptr, nullptr, control.get()};
  sync_ = ServiceThread{synConnection, senders.get(), &waits, nullptr, control.get()};
  console_ = ServiceThread{consoleConnection, senders.get(), nullptr, nullptr, control.get()};
  return StartService(ServeAddress, &address_) && StartService(ServeSync, &sync_) &&
         StartService(ServeConsole, &console_);
}

int Launch::StartMonitor() { return monitor.Start(visualConnection, senders.get(), control.get()); }

void Launch::Finish() {
  if (relay) relay->Finish();
  monitor.Stop();
  ControlBeginClosing();
  // A close does not wake a thread blocked in its receive, and a descriptor
  // closed under a thread that still uses it may be another file's by the
  // time it comes back. A shutdown wakes every receive (which then returns
  // at once); the services end on seeing the run closing, and only then
  // are their endpoints closed.
  shutdown(addressConnection->Socket(), SHUT_RDWR);
  shutdown(synConnection->Socket(), SHUT_RDWR);
  shutdown(consoleConnection->Socket(), SHUT_RDWR);
  for (pthread_t service : services_) pthread_join(service, nullptr);
  services_.clear();
  addressConnection->Close();
  visualConnection->Close();
  synConnection->Close();
  consoleConnection->Close();
  senders->Report();
}

int ControlMain(int argc, char** argv) { return ControlMain(argc, argv, ProgramParts()); }

namespace {

// What a run that goes on returns from the steps of start-up below, which
// otherwise return the status that ends it.
const int kGoOn = -1;

// TARVO_WDIR: the ranks' directory, made absolute from tarvo's, must be one
// here.
int TakeWorkDir(RunSettings* settings) {
  if (settings->wdir.empty()) return kGoOn;
  const std::string given = settings->wdir;
  std::string here;
  if (given[0] != '/') {
    if (!ReadWorkingDirectory(&here)) return kRunRefused;
    settings->wdir = here + "/" + given;
  }
  struct stat st;
  if (settings->wdir.size() > static_cast<size_t>(kMaxPathLength) || stat(settings->wdir.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    return RefuseRun("ERROR-Control Process: TARVO_WDIR=" + given + " is not a directory of this host\n");
  }
  return kGoOn;
}

// The launcher's own settings, once, and the allocation that the run is
// inside; a malformed one starts nothing. The senders that the services
// take datagrams from come last: they resolve the machine file's names.
int ReadStartUp(const CommandLine& cl, Launch* launch, Allocation* allocation) {
  RunSettings& settings = launch->settings;
  std::string refusal;
  const char* (*environment)(const char*) = [](const char* name) -> const char* { return getenv(name); };
  if (!ReadRunSettings(environment, &settings, &refusal) ||
      !FindAllocation(environment, ReadWholeFile, cl.machineFileGiven, allocation, &refusal)) {
    return RefuseRun(refusal);
  }
  const int wdir = TakeWorkDir(&settings);
  if (wdir != kGoOn) return wdir;
  if (!allocation->hosts.empty()) UseBatchHosts(*allocation, cl.shellGiven, launch);
  launch->senders = RunSenders::Make(getenv("TARVO_ACCEPT_FROM"), cl.machineFileGiven ? cl.machineFile : nullptr,
                                     &refusal, launch->allocationHosts);
  if (launch->senders == nullptr) return RefuseRun(refusal);
  if (allocation->system == Allocation::kSlurm) settings.launch = RunSettings::kLaunchSlurm;
  // Slurm mode's ranks per node and CPUs per rank, from the allocation.
  UseTheAllocation(environment, cl.machineFileGiven, &settings);
  if (settings.launch == RunSettings::kLaunchSlurm) {
    refusal = TakeSlurmHosts(cl.machineFileGiven, &launch->senders->Sources());
    if (!refusal.empty()) return RefuseRun(refusal);
  }
  return kGoOn;
}

// The user program's path: an absolute one is taken as it stands; a bare
// name is the ranks' to find, in TARVO_WDIR when it is set; any other is
// taken from the working directory.
int ProgramPath(const CommandLine& cl, char** argv, const RunSettings& settings, std::string* program) {
  std::string workdir;
  if (!ReadWorkingDirectory(&workdir)) return kRunRefused;
  if (workdir.size() > static_cast<size_t>(kMaxPathLength)) {
    return RefuseRun(PathTooLong("working directory", workdir.c_str()));
  }
  if (cl.programFileGiven) return kGoOn;
  const char* word = argv[cl.programIndex()];
  const std::string& from = !settings.wdir.empty() && strchr(word, '/') == nullptr ? settings.wdir : workdir;
  *program = word[0] == '/' ? std::string(word) : from + "/" + word;
  if (program->size() > static_cast<size_t>(kMaxPathLength)) {
    return RefuseRun(PathTooLong("program path", program->c_str()));
  }
  return kGoOn;
}

// The synchronisation service waits for every process that the program
// file starts (a count of one or more: a file without lines starts
// nothing); TARVO_STDIN must name a rank of the run.
int CountProcesses(const CommandLine& cl, const Allocation& allocation, Launch* launch) {
  if (cl.programFileGiven) {
    const int lines = spawn::CountProgramFile(cl.programFile);
    if (lines < 0) return kRunRefused;
    launch->programLines = lines;
    numProcs = std::max(1, lines);
  }
  if (launch->settings.stdinWho >= numProcs) {
    return RefuseRun("ERROR-Control Process: TARVO_STDIN=" + std::to_string(launch->settings.stdinWho) +
                     " is not a rank of the run (0 to " + std::to_string(numProcs - 1) + ")\n");
  }
  if (numProcs > allocation.Slots() && !allocation.hosts.empty()) {
    fprintf(stderr, "tarvo: %d ranks on the %d slots of the allocation (%s): they wrap round its hosts\n", numProcs,
            allocation.Slots(), allocation.source.c_str());
  }
  return kGoOn;
}

// The endpoints, the settings' mark on the environment, and what the
// ranks' start needs of the command line; the first status that ends the
// run, or kGoOn. Nothing runs beside the main thread yet.
int PrepareRun(const CommandLine& cl, char** argv, const ProgramParts& parts, const Allocation& allocation,
               Launch* launch, std::string* program) {
  // Before any thread starts, so that every thread has the run control's
  // signals blocked.
  launch->MakeParts(parts);
  // carrier tells a launcher on its own host (which needs no notice of its
  // start) by this pid in the environment that the processes inherit.
  setenv("TARVO_LAUNCHER_PID", std::to_string(getpid()).c_str(), 1);
  // The ranks that tarvo binds are not bound again by Open MPI.
  if (launch->settings.bind != kBindNone) putenv(const_cast<char*>(kMpiLeaveBinding));

  addressConnection = new CUDPConnection(100);
  visualConnection = new CUDPConnection(100);
  synConnection = new CUDPConnection(100);
  consoleConnection = new CUDPConnection(100);
  if (!OpenAddressEndpoint(&launch->pmiTcpFd) || !OpenEndpoint(visualConnection, kStepOpenVisual, kLineOpenVisual) ||
      !OpenEndpoint(synConnection, kStepOpenSyn, kLineOpenSyn)) {
    return 1;
  }
  const int path = ProgramPath(cl, argv, launch->settings, program);
  if (path != kGoOn) return path;
  if (!OpenEndpoint(consoleConnection, kStepOpenConsole, kLineOpenConsole)) return 1;
  return CountProcesses(cl, allocation, launch);
}

}  // namespace

int ControlMain(int argc, char** argv, const ProgramParts& parts) {
  // The one word that is not a run: without it, one word is the usage.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("tarvo %s\n", TARVO_VERSION);
    return 0;
  }
  CommandLine cl = ScanCommandLine(argc, argv);
  switch (cl.outcome) {
    case CommandLine::kRun:
      break;
    case CommandLine::kUsage:
      PrintUsage();
      return 0;
    case CommandLine::kNpRange:
      fputs(kNpCheck, stdout);
      printf(kNpCurrent, cl.npValue);
      PrintUsage();
      return 0;
    case CommandLine::kTooLong:
      return RefuseRun(cl.error);
  }
  numProcs = cl.numProcs;
  ComShellFlag = cl.comShell;

  Launch launch;
  Allocation allocation;
  std::string program;
  int status = ReadStartUp(cl, &launch, &allocation);
  if (status == kGoOn) status = PrepareRun(cl, argv, parts, allocation, &launch, &program);
  if (status != kGoOn) return status;

  // From here on threads run: every end goes through Finish.
  const RunSettings& settings = launch.settings;
  status = launch.StartServices() ? 0 : 1;
  if (status == 0 && settings.monitor) status = launch.StartMonitor();
  if (status == 0) {
    launch.relay->Start();
    const char* machineFile = cl.machineFileGiven ? cl.machineFile : nullptr;
    const spawn::RunParts run = launch.SpawnParts();
    if (!cl.programFileGiven) {
      status = spawn::SpawnProcesses(run, numProcs, program.c_str(), machineFile, cl.userArgCount(argc),
                                     argv + cl.programIndex() + 1);
    } else {
      status = spawn::SpawnProgramFile(run, machineFile, cl.programFile);
    }
  }
  launch.Finish();
  return status;
}
