// The one place where the launcher starts the processes that its planners
// (Planners.h) describe: posix_spawn, fork or clone, the child's side up to
// its exec, and the reports of a start that fails. Every mode's launches,
// and the spawned jobs' children, start here; nothing here decides what
// to start.
#ifndef TARVO_LAUNCHER_SPAWN_EXECUTOR_H
#define TARVO_LAUNCHER_SPAWN_EXECUTOR_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/child_setup.h"
#include "common/rank_exec.h"
#include "launcher/spawn/ExecPlan.h"

namespace spawn {

/// Starts the child of `plan`: posix_spawnp for a local one, fork and
/// execvp otherwise or when the spawn fails. -1, reported, when the fork fails.
pid_t StartPlan(const ExecPlan& plan, const ForkReport& report);

/// Starts the remote shell of an agent (or the Slurm step of agents) in
/// `shell`: `secret`'s line first on its standard input, then, `withStdin`,
/// the launcher's own standard input.
pid_t StartWithSecret(ExecPlan& shell, const std::string& secret, bool withStdin, const ForkReport& report);

/// A rank of the launcher's host started directly, without carrier: the
/// launcher does carrier's work for it (working directory, environment,
/// program lookup) and the child is one exec.
struct DirectPlan {
  RankExec exec;
  std::vector<std::string> pmiEnv;
  const ExecPlan* plan = nullptr;  // the descriptors to close
  ChildSetup setup;
};

/// carrier's argument vector of a local plan without "carrier": the program
/// words and the eight launcher parameters.
std::vector<std::string> CarrierWords(const ExecPlan& plan);
/// Prepares the direct start of the rank of `plan` (kept as it is).
void PrepareDirect(const ExecPlan& plan, DirectPlan* d);
/// Starts a prepared direct rank; -1, reported, when it cannot.
pid_t StartDirect(DirectPlan& d, const ForkReport& report);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_EXECUTOR_H
