// The planners: what each launch mode makes of a run (its hosts, program
// words and parameters) before anything starts. They return plain plans
// (ExecPlan: what to start, where, how) and start nothing; Executor.h
// starts what they plan, and the run control decides when. A new launch
// mode is a new planner here and a caller that hands its plans to the
// executor.
#ifndef TARVO_LAUNCHER_SPAWN_PLANNERS_H
#define TARVO_LAUNCHER_SPAWN_PLANNERS_H

#include <stddef.h>

#include <functional>
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
/// far side's shell, which reads them again. `rankEnv[i]`: more NAME=VALUE
/// for rank i's command (none where it is missing), and `terminal`, where
/// not empty, for every remote rank's.
/// Empty, or the "ERROR-" line of the first rank whose quoted command is
/// longer than the far side's shell takes (kMaxRemoteCommand).
std::string PlanRankShells(std::vector<ExecPlan>& plans, const std::vector<std::string>& pmiIds,
                           const std::vector<std::vector<std::string>>& rankEnv = {},
                           const std::string& terminal = std::string());

/// What programs read to learn where they are (LocalityEnvironment) for
/// each rank of `hosts` (each rank's host), without the names that the
/// launcher's environment sets (the user's own stay), then `placed[i]`
/// (OMP_NUM_THREADS, the GPUs') where given.
std::vector<std::vector<std::string>> RankEnvironments(const std::vector<std::string>& hosts,
                                                       const std::vector<std::vector<std::string>>& placed);

/// Host and Slurm mode: which agent starts each rank and where each agent runs.
struct AgentLayout {
  std::vector<std::string> hosts;       // each rank's host (Slurm: its node)
  std::vector<int> agentOf;             // each rank's agent; -1: the launcher starts it
  std::vector<std::string> agentHosts;  // agent a's host
};

/// `remote[i]`: rank i's host came from the machine file; `ownHost(h)`:
/// h names the launcher's host, whose ranks need no agent. With
/// `slurmNodes` (Slurm mode), the ranks go round the allocation's nodes as
/// they would go round a machine file of them (`ppn` consecutive ranks on
/// each with TARVO_PPN), and every rank has the agent of its node, the
/// launcher's own too, so that Slurm holds them all; agents are numbered by
/// their node.
AgentLayout PlanAgents(const std::vector<bool>& remote, const std::vector<std::string>& hosts,
                       const std::vector<std::string>& slurmNodes,
                       const std::function<bool(const std::string&)>& ownHost, int ppn = 0);

/// The remote shell that runs agent `agent` on `host`: the remote shell,
/// messages and closes of `rankPlan` (a rank of that host), and the
/// agent's words: the launcher's address and the agents' port.
ExecPlan PlanAgentShell(const ExecPlan& rankPlan, const std::string& host, const std::string& address, int port,
                        int agent);

/// Slurm: the one step that runs an agent on each of `agents` nodes.
ExecPlan PlanSlurmStep(const ExecPlan& first, size_t agents, const std::string& address, int port);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_PLANNERS_H
