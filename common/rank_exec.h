// A rank's start as carrier would make it (common/carrier_exec.c), prepared
// whole before the fork or clone: the launcher's direct starts of its own
// host's ranks and the agent's starts of its host's. The parent does
// carrier's work on the vectors (the parameters into the environment, the
// program lookup, the reports); the child sets itself up, enters the working
// directory, takes its files and CPUs and execs, with async-signal-safe
// system calls on the prepared data only. The parents have threads (the
// launcher's services, libpmix's in the agent): their children may take no
// lock, and the launcher's share its memory.
#ifndef TARVO_COMMON_RANK_EXEC_H
#define TARVO_COMMON_RANK_EXEC_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/child_setup.h"

struct RankPlace;

/// Changes `env` as putenv(entry) changes a process's own environment:
/// "NAME=VALUE" replaces the first entry of NAME where it stands, or goes
/// last; "NAME" alone removes every entry of NAME. With `keep` an entry of
/// NAME that is there stays (setenv without overwriting).
void EnvPut(std::vector<std::string>* env, const std::string& entry, bool keep = false);
/// The value of NAME in `env`, as getenv finds it; null for none.
const char* EnvGet(const std::vector<std::string>& env, const char* name);

struct RankExec {
  std::vector<std::string> args;  // PROGRAM (its bare name when it runs from the PATH) and ARGS
  std::vector<std::string> env;   // the rank's environment
  std::string workdir;
  std::string file;       // what the exec is given
  std::string refusal;    // carrier's report of a vector that it refuses (status 2); empty for none
  std::string noWorkdir;  // "WHO: WORKDIR", said with the reason when it cannot be entered
  std::string notFound;   // the report of a program that is nowhere, for a lookup on the PATH
  std::string failure;    // "WHO: PROGRAM", said with the reason when the exec fails
  /// The process allowed to read the rank's call stacks (PR_SET_PTRACER);
  /// 0: none.
  pid_t tracer = 0;
  /// Its files and CPUs, applied in the working directory; null for none.
  const RankPlace* place = nullptr;
  std::vector<char*> argv, envp;  // into `args` and `env`, null-terminated
  /// What /bin/sh is given for a `file` that is no program: "/bin/sh",
  /// `file`, then ARGS, null-terminated (made here: a command line may
  /// hold more words than the child's stack).
  std::vector<char*> shellArgv;

  /// Points argv, envp and shellArgv into `args`, `env` and `file`: once
  /// these are complete and the object stays where it is.
  void Seal();
};

/// `words`: PROGRAM [ARGS...] and carrier's parameters; `env`: the rank's
/// environment before carrier's part, which this adds (the parameters, and
/// with `pmiPort` carrier's PMI_PORT and PMI_ID for a rank without PMI_FD);
/// `who`: the program named in the reports ("carrier", "tarvo"). The lookup
/// uses the PATH of the rank's environment.
void RankExecPrepare(const std::vector<std::string>& words, std::vector<std::string> env, const char* who,
                     bool pmiPort, RankExec* x);

/// What a child execs and says when it cannot: the one body of every start
/// that tarvo and the agent make, a rank's (RankExec) or a carrier's and a
/// remote shell's (the launcher's executor). Pointers into the parent's
/// prepared data, read only.
struct ChildExec {
  const char* refusal = nullptr;  // said, then status 2; null: none
  const char* workdir = nullptr;  // entered first; null: stays
  const char* noWorkdir = "";     // said with the reason when it cannot be entered
  const RankPlace* place = nullptr;
  pid_t tracer = 0;  // PR_SET_PTRACER; 0: none
  /// Exec'd as execvpe does: searched on the PATH of `envp` (or
  /// "/bin:/usr/bin") when it has no "/", and a file that is no program
  /// handed to /bin/sh.
  const char* file = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  /// For a file with a "/" that is no program: /bin/sh's words (RankExec's
  /// shellArgv); null: made on the child's stack, up to 511 words.
  char* const* shellArgv = nullptr;
  // When the exec fails: its error (an int) first on `execErrorFd` (-1:
  // none), for a parent that makes the failure its own; then `said` on
  // standard error, `saidOut` on the standard output that the child had
  // before its set-up, then `notFound` for a file that is nowhere, else
  // `failure` with the reason (null: nothing).
  int execErrorFd = -1;
  const char* said = nullptr;
  const char* saidOut = nullptr;
  const char* notFound = nullptr;
  const char* failure = "";
  /// The status after a failed exec: 127 for a rank's program, as carrier
  /// ends; 1 for the launcher's child that cannot become carrier or a
  /// remote shell (its "execvp ... failed" report).
  int failedStatus = 127;
};

/// The child: `setup`, then `x`'s exec with system calls that leave the
/// parent's errno alone (child_sys.h): status 2 after a refusal, 127 after
/// a working directory that cannot be entered, `failedStatus` after a
/// failed exec, kRankPlaceFailed when its files cannot be made.
[[noreturn]] void ChildExecRun(const ChildSetup& setup, const ChildExec& x);

/// The child of a rank's start, as carrier: ChildExecRun on `x`.
[[noreturn]] void RankExecRun(const ChildSetup& setup, const RankExec& x);

#endif  // TARVO_COMMON_RANK_EXEC_H
