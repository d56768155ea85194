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
  /// The child is a fork with memory of its own: it takes `env` as its
  /// environment before the exec, so that a program left to the exec's own
  /// search is searched on the rank's PATH. A child that shares its
  /// parent's memory must leave its parent's environment alone (its
  /// parent's PATH is then the rank's).
  bool ownMemory = false;
  /// Its files and CPUs, applied in the working directory; null for none.
  const RankPlace* place = nullptr;
  std::vector<char*> argv, envp;  // into `args` and `env`, null-terminated

  /// Points argv and envp into `args` and `env`: once these are complete
  /// and the object stays where it is.
  void Seal();
};

/// `words`: PROGRAM [ARGS...] and carrier's parameters; `env`: the rank's
/// environment before carrier's part, which this adds (the parameters, and
/// with `pmiPort` carrier's PMI_PORT and PMI_ID for a rank without PMI_FD);
/// `who`: the program named in the reports ("carrier", "tarvo"). The lookup
/// uses the PATH of the rank's environment.
void RankExecPrepare(const std::vector<std::string>& words, std::vector<std::string> env, const char* who,
                     bool pmiPort, RankExec* x);

/// The child: `setup`, then the rank's start, as carrier: status 2 after a
/// refusal, 127 after a working directory that cannot be entered or a
/// failed exec, kRankPlaceFailed when its files cannot be made.
[[noreturn]] void RankExecRun(const ChildSetup& setup, const RankExec& x);

#endif  // TARVO_COMMON_RANK_EXEC_H
