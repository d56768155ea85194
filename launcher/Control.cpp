// The control process: command line, start-up, dispatch to a spawner, and the
// end of the run.
#include "launcher/Control.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/textfield.h"
#include "launcher/OutputRelay.h"
#include "launcher/RunControl.h"
#include "launcher/SourceFilter.h"
#include "launcher/Spawn.h"
#include "launcher/VisualBridge.h"

int32_t numProcs = 1;
bool ComShellFlag = false;
CUDPConnection* addressConnection = nullptr;
CUDPConnection* visualConnection = nullptr;
CUDPConnection* synConnection = nullptr;
CUDPConnection* consoleConnection = nullptr;
AddressList aList;
int runExitStatus = 0;

namespace {

// Never destroyed (trivial destructor), so services may still take it while
// the exit sequence tears down aList.
pthread_mutex_t runGuard = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> closing{false};

// atoi, but defined for every input: a value beyond int is clamped.
int32_t ParseCount(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

// Bounded copy into a 128-byte path buffer, NUL-padded.
void CopyPath(char (&field)[128], const char* text) { CopyTextField(field, sizeof field, text); }

std::string TooLong(const char* what, const char* text) {
  std::string line = "ERROR-Control Process: ";
  line += what;
  line += " is longer than ";
  line += std::to_string(kMaxPathLength);
  line += " characters: ";
  line += text;
  line += "\n";
  return line;
}

pthread_t StartService(void* (*entry)(void*), CUDPConnection* endpoint) {
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, entry, endpoint);
  if (rc != 0) {
    errno = rc;
    ErrorMsg("pthread_create", kLineThreadCreate, kErrorSource);
    exit(1);
  }
  return thread;
}

void OpenEndpoint(CUDPConnection* endpoint, const char* step, int line) {
  if (endpoint->Open(0) == -1) {
    ErrorMsg(step, line, kErrorSource);
    exit(1);
  }
}

}  // namespace

void ErrorMsg(const char* msg, int line, const char* file) {
  printf("Error at %d %s", line, file);
  perror(msg);
}

void Usage() {
  for (const char* line : kUsageLines) {
    printf("%s\n", line);
    fflush(stdout);
  }
  exit(0);
}

CommandLine ScanCommandLine(int argc, char** argv) {
  CommandLine cl;
  if (argc <= 2 || strcmp(argv[1], "-help") == 0) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  const char* machineFile = nullptr;
  const char* programFile = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const bool hasValue = i + 1 < argc;
    // An option that needs a value and stands last leaves nothing to run.
    if (!hasValue && (strcmp(word, "-np") == 0 || strcmp(word, "-mf") == 0 || strcmp(word, "-pf") == 0)) {
      cl.outcome = CommandLine::kUsage;
      return cl;
    }
    if (strcmp(word, "-ssh") == 0) cl.comShell = true;
    if (strcmp(word, "-rsh") == 0) cl.comShell = false;
    if (strcmp(word, "-np") == 0) {
      cl.npPosition = cl.lastValuePosition = i + 1;
      cl.numProcs = ParseCount(argv[i + 1]);
      if (cl.numProcs <= 0 || cl.numProcs > 2000) {
        cl.outcome = CommandLine::kNpRange;
        cl.npValue = cl.numProcs;
        return cl;
      }
    }
    if (strcmp(word, "-mf") == 0) {
      cl.lastValuePosition = i + 1;
      machineFile = argv[i + 1];
      CopyPath(cl.machineFile, machineFile);
      cl.machineFileGiven = true;
    }
    if (strcmp(word, "-pf") == 0) {
      cl.pfPosition = i + 1;
      programFile = argv[i + 1];
      CopyPath(cl.programFile, programFile);
      cl.programFileGiven = true;
    }
  }
  if (cl.pfPosition != 0 && cl.npPosition != 0) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  // The user-program form needs a program after the last "-np"/"-mf" value.
  if (!cl.programFileGiven && cl.programIndex() >= argc) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  if (machineFile != nullptr && strlen(machineFile) > static_cast<size_t>(kMaxPathLength)) {
    cl.outcome = CommandLine::kTooLong;
    cl.error = TooLong("machine file path", machineFile);
  } else if (programFile != nullptr && strlen(programFile) > static_cast<size_t>(kMaxPathLength)) {
    cl.outcome = CommandLine::kTooLong;
    cl.error = TooLong("program file path", programFile);
  }
  return cl;
}

void ControlBeginClosing() {
  pthread_mutex_lock(&runGuard);
  closing.store(true);
  pthread_mutex_unlock(&runGuard);
}

bool ControlClosing() { return closing.load(); }

bool ControlEnterRequest() {
  pthread_mutex_lock(&runGuard);
  if (closing.load()) {
    pthread_mutex_unlock(&runGuard);
    return false;
  }
  return true;
}

void ControlLeaveRequest() { pthread_mutex_unlock(&runGuard); }

int ControlMain(int argc, char** argv) {
  CommandLine cl = ScanCommandLine(argc, argv);
  switch (cl.outcome) {
    case CommandLine::kRun:
      break;
    case CommandLine::kUsage:
      Usage();
    case CommandLine::kNpRange:
      fputs(kNpCheck, stdout);
      printf(kNpCurrent, cl.npValue);
      Usage();
    case CommandLine::kTooLong:
      fputs(cl.error.c_str(), stdout);
      fflush(stdout);
      exit(-1);
  }
  numProcs = cl.numProcs;
  ComShellFlag = cl.comShell;

  // The launcher's own settings, once; a malformed one starts nothing.
  RunSettings settings;
  std::string refusal;
  const char* (*environment)(const char*) = [](const char* name) -> const char* { return getenv(name); };
  // The senders that the services take datagrams from come last: they
  // resolve the machine file's names.
  if (!ReadRunSettings(environment, &settings, &refusal) ||
      !SetUpRunSources(getenv("TARVO_ACCEPT_FROM"), cl.machineFileGiven ? cl.machineFile : nullptr, &refusal)) {
    fputs(refusal.c_str(), stdout);
    fflush(stdout);
    exit(-1);
  }
  // Slurm mode takes its hosts from the allocation that it runs in; their
  // processes are senders of the run.
  if (settings.launch == RunSettings::kLaunchSlurm) {
    const char* nodes = getenv("SLURM_JOB_NODELIST");
    std::vector<std::string> expanded;
    if (cl.machineFileGiven) {
      refusal = "ERROR-Control Process: TARVO_LAUNCH=slurm takes its hosts from the Slurm allocation: no -mf\n";
    } else if (nodes == nullptr || *nodes == '\0' || getenv("SLURM_JOB_ID") == nullptr) {
      refusal = "ERROR-Control Process: TARVO_LAUNCH=slurm runs inside a Slurm allocation (salloc, sbatch): "
                "SLURM_JOB_NODELIST is not set\n";
    } else if (!spawn::ExpandHostList(nodes, &expanded)) {
      refusal = std::string("ERROR-Control Process: SLURM_JOB_NODELIST=") + nodes + " is not a host list\n";
    }
    if (!refusal.empty()) {
      fputs(refusal.c_str(), stdout);
      fflush(stdout);
      exit(-1);
    }
    for (const std::string& node : expanded) runSources.AddHostName(node.c_str());
  }
  // Before any thread starts, so that every thread has the run control's
  // signals blocked.
  RunControlInit(settings);
  // carrier tells a launcher on its own host (which needs no notice of its
  // start) by this pid in the environment that the processes inherit.
  setenv("TARVO_LAUNCHER_PID", std::to_string(getpid()).c_str(), 1);

  addressConnection = new CUDPConnection(100);
  visualConnection = new CUDPConnection(100);
  synConnection = new CUDPConnection(100);
  consoleConnection = new CUDPConnection(100);
  OpenEndpoint(addressConnection, kStepOpenAddress, kLineOpenAddress);
  OpenEndpoint(visualConnection, kStepOpenVisual, kLineOpenVisual);
  OpenEndpoint(synConnection, kStepOpenSyn, kLineOpenSyn);

  char workdir[kWorkdirSize];
  if (getcwd(workdir, sizeof workdir) == nullptr) {
    perror("getcwd");
    exit(-1);
  }
  std::string program;
  if (!cl.programFileGiven) {
    // An absolute program path is taken as it stands; any other is taken
    // from the working directory.
    const char* word = argv[cl.programIndex()];
    program = word[0] == '/' ? std::string(word) : std::string(workdir) + "/" + word;
    if (program.size() > static_cast<size_t>(kMaxPathLength)) {
      fputs(TooLong("program path", program.c_str()).c_str(), stdout);
      fflush(stdout);
      exit(-1);
    }
  }

  OpenEndpoint(consoleConnection, kStepOpenConsole, kLineOpenConsole);

  // The synchronisation service waits for every process that the program
  // file starts (a count of one or more: a file without lines starts nothing).
  if (cl.programFileGiven) numProcs = std::max(1, spawn::CountProgramFile(cl.programFile));

  const pthread_t services[] = {StartService(ResolveAddress, addressConnection),
                                StartService(SynControler, synConnection),
                                StartService(DistConsole, consoleConnection)};

  if (settings.monitor) MonitorBridgeStart(visualConnection);
  OutputRelayStart(settings.label);

  const char* machineFile = cl.machineFileGiven ? cl.machineFile : nullptr;
  if (!cl.programFileGiven) {
    spawn_processes(numProcs, program.c_str(), machineFile, cl.userArgCount(argc), argv + cl.programIndex() + 1);
  } else {
    spawn_processes1(machineFile, cl.programFile);
  }

  OutputRelayFinish();
  MonitorBridgeStop();
  ControlBeginClosing();
  // A close does not wake a thread blocked in its receive, and a descriptor
  // closed under a thread that still uses it may be another file's by the
  // time it comes back. A shutdown wakes every receive (which then returns at
  // once); the services end on seeing the run closing, and only then are
  // their endpoints closed.
  shutdown(addressConnection->Socket(), SHUT_RDWR);
  shutdown(synConnection->Socket(), SHUT_RDWR);
  shutdown(consoleConnection->Socket(), SHUT_RDWR);
  for (pthread_t service : services) pthread_join(service, nullptr);
  addressConnection->Close();
  visualConnection->Close();
  synConnection->Close();
  consoleConnection->Close();
  MessageSend(Msg_RMPRocessEnd, -1);
  ReportIgnoredSenders();
  return runExitStatus;
}
