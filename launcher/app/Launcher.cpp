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
bool OpenAddressEndpoint() {
  for (int tries = 0; tries < 32; ++tries) {
    int port = 0;
    const int tcp = pmi::BindTcpPort(0, &port);
    if (tcp < 0) break;
    if (addressConnection->Open(port) != -1) {
      TheRunContext().pmiTcpFd = tcp;
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
void UseBatchHosts(const Allocation& allocation, bool shellGiven, RunSettings* settings) {
  settings->launch = RunSettings::kLaunchHost;
  TheRunContext().allocationHosts = AllocationHosts(allocation);
  TheRunContext().allocationSource = allocation.source;
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
void ReaderGone(int stream) {
  fprintf(stderr, "tarvo: the reader of tarvo's standard %s has gone; ending the run\n",
          stream == 1 ? "output" : "error");
  RunControlFatal(SignalStatus(SIGPIPE));
}

}  // namespace

Launch::Launch() : relay(ReaderGone) { TheRunContext().relay.store(&relay); }

Launch::~Launch() {
  TheRunContext().relay.store(nullptr);
  TheRunContext().mpiLinks.store(nullptr);
  TheRunContext().control.store(nullptr);
}

void Launch::MakeParts(const ProgramParts& parts) {
  control.reset(new RunControl(settings, &waits, &remoteSignals));
  mpiLinks = MpiLinks{&mpiSenders_, settings.kvsLimitMiB, parts.makeRelay};
  TheRunContext().control.store(control.get());
  TheRunContext().mpiLinks.store(&mpiLinks);
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
  address_ = ServiceThread{addressConnection, &senders, nullptr, nullptr};
  sync_ = ServiceThread{synConnection, &senders, &waits, nullptr};
  console_ = ServiceThread{consoleConnection, &senders, nullptr, nullptr};
  return StartService(ServeAddress, &address_) && StartService(ServeSync, &sync_) &&
         StartService(ServeConsole, &console_);
}

int Launch::StartMonitor() { return monitor.Start(visualConnection, &senders); }

void Launch::Finish() {
  relay.Finish();
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
  senders.Report();
}

int ControlMain(int argc, char** argv) { return ControlMain(argc, argv, ProgramParts()); }

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

  // The launcher's own settings, once; a malformed one starts nothing.
  Launch launch;
  RunSettings& settings = launch.settings;
  std::string refusal;
  const char* (*environment)(const char*) = [](const char* name) -> const char* { return getenv(name); };
  // The senders that the services take datagrams from come last: they
  // resolve the machine file's names.
  Allocation allocation;
  if (!ReadRunSettings(environment, &settings, &refusal) ||
      !FindAllocation(environment, ReadWholeFile, cl.machineFileGiven, &allocation, &refusal)) {
    return RefuseRun(refusal);
  }
  if (!settings.wdir.empty()) {
    // The ranks' directory, made absolute from tarvo's, must be one here.
    const std::string given = settings.wdir;
    std::string here;
    if (given[0] != '/') {
      if (!ReadWorkingDirectory(&here)) return kRunRefused;
      settings.wdir = here + "/" + given;
    }
    struct stat st;
    if (settings.wdir.size() > static_cast<size_t>(kMaxPathLength) || stat(settings.wdir.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
      return RefuseRun("ERROR-Control Process: TARVO_WDIR=" + given + " is not a directory of this host\n");
    }
  }
  if (!allocation.hosts.empty()) UseBatchHosts(allocation, cl.shellGiven, &settings);
  if (!launch.senders.SetUp(getenv("TARVO_ACCEPT_FROM"), cl.machineFileGiven ? cl.machineFile : nullptr, &refusal,
                            TheRunContext().allocationHosts)) {
    return RefuseRun(refusal);
  }
  if (allocation.system == Allocation::kSlurm) settings.launch = RunSettings::kLaunchSlurm;
  // Slurm mode's ranks per node and CPUs per rank, from the allocation.
  UseTheAllocation(environment, cl.machineFileGiven, &settings);
  if (settings.launch == RunSettings::kLaunchSlurm) {
    refusal = TakeSlurmHosts(cl.machineFileGiven, &launch.senders.Sources());
    if (!refusal.empty()) return RefuseRun(refusal);
  }
  // Before any thread starts, so that every thread has the run control's
  // signals blocked.
  launch.MakeParts(parts);
  // carrier tells a launcher on its own host (which needs no notice of its
  // start) by this pid in the environment that the processes inherit.
  setenv("TARVO_LAUNCHER_PID", std::to_string(getpid()).c_str(), 1);
  // The ranks that tarvo binds are not bound again by Open MPI.
  if (settings.bind != kBindNone) putenv(const_cast<char*>(kMpiLeaveBinding));

  addressConnection = new CUDPConnection(100);
  visualConnection = new CUDPConnection(100);
  synConnection = new CUDPConnection(100);
  consoleConnection = new CUDPConnection(100);
  if (!OpenAddressEndpoint() ||
      !OpenEndpoint(visualConnection, kStepOpenVisual, kLineOpenVisual) ||
      !OpenEndpoint(synConnection, kStepOpenSyn, kLineOpenSyn)) {
    return 1;
  }

  std::string workdir;
  if (!ReadWorkingDirectory(&workdir)) return kRunRefused;
  if (workdir.size() > static_cast<size_t>(kMaxPathLength)) {
    return RefuseRun(PathTooLong("working directory", workdir.c_str()));
  }
  std::string program;
  if (!cl.programFileGiven) {
    // An absolute program path is taken as it stands; any other is taken
    // from the working directory.
    // A bare name is the ranks' to find: in TARVO_WDIR, when it is set.
    const char* word = argv[cl.programIndex()];
    const std::string& from = !settings.wdir.empty() && strchr(word, '/') == nullptr ? settings.wdir : workdir;
    program = word[0] == '/' ? std::string(word) : from + "/" + word;
    if (program.size() > static_cast<size_t>(kMaxPathLength)) {
      return RefuseRun(PathTooLong("program path", program.c_str()));
    }
  }

  if (!OpenEndpoint(consoleConnection, kStepOpenConsole, kLineOpenConsole)) return 1;

  // The synchronisation service waits for every process that the program
  // file starts (a count of one or more: a file without lines starts nothing).
  if (cl.programFileGiven) {
    const int lines = spawn::CountProgramFile(cl.programFile);
    if (lines < 0) return kRunRefused;
    TheRunContext().programLines = lines;
    numProcs = std::max(1, lines);
  }
  if (settings.stdinWho >= numProcs) {
    return RefuseRun("ERROR-Control Process: TARVO_STDIN=" + std::to_string(settings.stdinWho) +
                     " is not a rank of the run (0 to " + std::to_string(numProcs - 1) + ")\n");
  }

  if (numProcs > allocation.Slots() && !allocation.hosts.empty()) {
    fprintf(stderr, "tarvo: %d ranks on the %d slots of the allocation (%s): they wrap round its hosts\n", numProcs,
                    allocation.Slots(), allocation.source.c_str());
  }

  // From here on threads run: every end goes through Finish.
  int status = launch.StartServices() ? 0 : 1;
  if (status == 0 && settings.monitor) status = launch.StartMonitor();
  if (status == 0) {
    // Without TARVO_ERROR, standard error goes into TARVO_OUTPUT's file too.
    const bool toFiles = !settings.outputPattern.empty();
    launch.relay.Start(settings.label, settings.pty, toFiles, toFiles || !settings.errorPattern.empty());
    launch.relay.SetInput(settings.stdinWho);
    const char* machineFile = cl.machineFileGiven ? cl.machineFile : nullptr;
    if (!cl.programFileGiven) {
      status = spawn_processes(numProcs, program.c_str(), machineFile, cl.userArgCount(argc),
                               argv + cl.programIndex() + 1);
    } else {
      status = spawn_processes1(machineFile, cl.programFile);
    }
  }
  launch.Finish();
  return status;
}
