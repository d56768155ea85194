// The planners: what each launch mode makes of a run (its hosts, program
// words and parameters) before anything starts. They return plain plans
// (ExecPlan: what to start, where, how) and start nothing; Executor.h
// starts what they plan, and the run control decides when. A new launch
// mode is a new planner here and a caller that hands its plans to the
// executor.
#ifndef TARVO_LAUNCHER_SPAWN_PLANNERS_H
#define TARVO_LAUNCHER_SPAWN_PLANNERS_H

#include <stddef.h>

#include <string>
#include <vector>

#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Inputs.h"

namespace spawn {

/// How a run's ranks are started, from its settings.
struct RankForm {
  bool ssh = false;               // -ssh: ssh rather than rsh
  std::vector<std::string> rsh;   // TARVO_RSH's words, standing in for either
  const int* lines = nullptr;     // the exec reports' lines: local, ssh, rsh
  std::vector<int> closeFds;      // the launcher's descriptors that every child closes
};

/// Local and per-rank remote shell: rank `rank`'s plan, carrier on this
/// host, or (remote) the remote shell that runs carrier on `host`.
ExecPlan PlanRank(bool remote, const std::string& host, const std::vector<std::string>& words,
                  const LauncherParams& params, int rank, const RankForm& form);

/// Per-rank remote shells: each remote plan's command takes its rank's
/// PMI_ID (pmiIds[i]) through env, as nothing but carrier's fixed words
/// reaches the far side, and the words after the host are quoted for the
/// far side's shell, which reads them again.
void PlanRankShells(std::vector<ExecPlan>& plans, const std::vector<std::string>& pmiIds);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_PLANNERS_H
