// What the spawners share inside the launcher: the description of one child,
// built before any process starts. Planners.h turns a run into such plans,
// Executor.h starts them; Spawners.cpp runs ranks, locally or through a
// remote shell each, HostMode.cpp one agent per remote host and the
// launcher's own ranks directly.
#ifndef TARVO_LAUNCHER_SPAWN_EXECPLAN_H
#define TARVO_LAUNCHER_SPAWN_EXECPLAN_H

#include <sys/types.h>

#include <string>
#include <vector>

struct RankPlace;
struct RunSettings;

namespace spawn {
struct LauncherParams;
struct RunParts;
class BesideStarts;
}

namespace spawn {

// What a rank's program file is, as far as serving MPI and scheduling go.
enum class ProgramKind {
  kStatic,   // an ELF program without an interpreter: it cannot load an MPI library
  kOpenMpi,  // names Open MPI's or libpmix's library
  kMpich,    // names MPICH's library
  kOther,    // dynamically linked, a script, or not here to read: it may load one
};

// Everything one child needs, built before any process starts.
struct ExecPlan {
  std::vector<std::string> vector;
  std::vector<char*> argv;        // into `vector`, null-terminated
  bool remote = false;
  std::string file;               // "carrier", or the remote shell: "ssh", "rsh" or TARVO_RSH's first word
  std::string failure;            // the exec message with its line end
  // A remote child's vector starts with this many words of its remote shell
  // (TARVO_RSH's may be several), then the host.
  size_t shellWords = 1;
  std::string errorAt;            // ErrorMsg's "Error at <line> Control"
  int closeFds[5] = {-1, -1, -1, -1, -1};
  int closeCount = 0;
  int stdFds[3] = {-1, -1, -1};  // put on the child's fds 0, 1, 2; -1 keeps the launcher's
  // A rank with a PMI-1 descriptor: the one the child keeps, and its
  // environment (the launcher's, without its PMI variables, and the rank's);
  // an empty envp: the launcher's environment.
  int keepFd = -1;
  std::vector<std::string> pmiEnv;
  std::vector<char*> envp;
  // Every rank and remote shell leads a process group of its own: the run
  // control ends the whole group, and a terminal's Ctrl-C reaches tarvo
  // alone, which passes it on (to an agent's ranks through the agent).
  bool ownGroup = false;
  // What the rank's program file is, and where (ReadProgramKinds): the
  // path that carrier will find on this host, empty for a plan without
  // carrier.
  ProgramKind program = ProgramKind::kOther;
  std::string programFile;
  // A rank started here leads a session of its own (ChildSetup::ownSession)
  // when its program is MPICH's; every other rank leads a process group in
  // the session of the process that starts it.
  bool ownSession = false;
  // A local rank's files and CPUs (RankFiles.h), applied by its child; null
  // for none.
  const RankPlace* place = nullptr;
  // The run's starts beside the launcher (Executor.h) that a local carrier
  // may take; null: the old paths.
  BesideStarts* beside = nullptr;

  /// Points argv into `vector`, null-terminated. Called once the plan stays
  /// where it is (a move of the plan moves the strings' text too).
  void SealArgv() {
    argv.clear();
    for (std::string& entry : vector) argv.push_back(&entry[0]);
    argv.push_back(nullptr);
  }
};

// How the fork of a spawner is reported when it fails.
struct ForkReport {
  const char* before;  // a line printed before ErrorMsg, or null
  int line;
};

/// The environment of a rank whose PMI-1 variables are `pmiEnv`: `env`
/// (null-terminated) without its own PMI variables, then those, into *envp.
void RankEnvironment(char** env, std::vector<std::string>& pmiEnv, std::vector<char*>* envp);
/// Puts `fd` among the descriptors that the child closes before its exec.
void AddClose(ExecPlan* plan, int fd);
/// The launcher's host name, as the processes' host entries show it.
std::string LocalHostName();
/// The remote shell's words of a remote plan: those before its host.
std::vector<std::string> ShellWords(const ExecPlan& plan);
/// One "tarvo:" line on standard error when `shell` is not on the PATH (or,
/// as a path, not an executable file); `settings` tell whether the command
/// line's remote shell is in force.
void SayIfNoRemoteShell(const RunSettings& settings, const std::string& shell);
/// Host mode: one agent per remote host for its ranks, the launcher's own
/// ranks started directly; waits for the run and returns its status.
/// appnums: each rank's PMI appnum; params: the run's carrier parameters;
/// machineFile: its text (empty: none), whose hosts and slots place the
/// jobs that ranks spawn and give MPI_UNIVERSE_SIZE.
int RunAgents(const RunParts& run, std::vector<ExecPlan>& plans, std::vector<std::string> hosts,
              const ForkReport& report, const std::vector<int>& appnums, const spawn::LauncherParams& params,
              const std::string& machineFile);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_EXECPLAN_H
