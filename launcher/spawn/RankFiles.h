// TARVO_OUTPUT, TARVO_ERROR and TARVO_BIND for the spawners: each rank's
// files and its index on its host, worked out before anything starts, and
// how each way of starting a rank is told of them. A run without these
// settings gets nothing from here.
#ifndef TARVO_LAUNCHER_SPAWN_RANKFILES_H
#define TARVO_LAUNCHER_SPAWN_RANKFILES_H

#include <map>
#include <string>
#include <vector>

#include "common/rank_map.h"
#include "common/rank_place.h"
#include "launcher/run/RunSettings.h"
#include "launcher/spawn/ExecPlan.h"

namespace spawn {

/// True when every % of `pattern` is followed by r, h or %.
bool RankPatternWellFormed(const std::string& pattern);
/// `pattern` with %r the rank, %h the host and %% a percent sign.
std::string ExpandRankPattern(const std::string& pattern, int rank, const std::string& host);

}  // namespace spawn

namespace spawn {

/// One rank's place.
struct RankPlacement {
  std::string output, error;  // the expanded names; empty for none
  int index = 0;              // among the ranks of its host, in rank order
  int hostRanks = 0;          // the ranks of its host
  RankPlace place;            // for a rank that the launcher starts: into output and error, the CPUs
  /// For a rank that the launcher starts: OMP_NUM_THREADS and the GPUs'
  /// variables, put over its environment.
  std::vector<std::string> env;
};

/// The map of the ranks that `mapped` marks, each host (of `hosts`, each
/// rank's) taken to have `topology`: each one's slot into *slots, the
/// hosts' wrap lines onto *lines. The refusal line, or "".
std::string MapRanks(const std::vector<std::string>& hosts, const std::vector<bool>& mapped,
                     const HostTopology& topology, const RunSettings& s, std::vector<RankSlot>* slots,
                     std::string* lines);

/// TARVO_DRY_RUN: every rank's line of the map on standard error. Rank r's
/// host has the topology told[r] (its agent's), or when that is absent or
/// null this host's (the map of a node type: HWLOC_XMLFILE or
/// HWLOC_SYNTHETIC may name another). The refusal line, or "".
std::string DryRun(const RunSettings& s, const std::vector<std::string>& hosts,
                   const std::vector<const HostTopology*>& told = {});

/// The level whose units TARVO_DRY_RUN maps (TARVO_BIND's, cores when it
/// binds nothing).
int DryRunLevel(const RunSettings& s);

/// The refusal of a run whose agents told their hosts' topologies (told[r]
/// for rank r, null for a rank of this host or one whose agent could not
/// tell): TARVO_GPUS_PER_RANK on a host without a GPU, the first in rank
/// order; or "".
std::string GpuRefusal(const RunSettings& s, const std::vector<std::string>& hosts,
                       const std::vector<const HostTopology*>& told);

/// The refusal of a dry run whose agent on `host` cannot tell its host's
/// units (`why`).
std::string UntoldRefusal(const RunSettings& s, const std::string& host, const std::string& why);

/// Per-rank remote shells with TARVO_GPUS_PER_RANK: every remote host of
/// `plans` (hosts: each one's) tells its topology through the remote shell
/// (`tarvo-agent --topology`) before any rank starts, at most
/// TARVO_SSH_WINDOW at once, each within TARVO_LOGIN_TIMEOUT, into
/// *topologies by host, and told[r] for rank r (null for a rank of this
/// host). 0; or the run's status, said, when a host cannot tell, or in a
/// real run when one has no GPU; nothing of it is left running.
int AskRemoteTopologies(const RunSettings& s, const std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                        std::map<std::string, HostTopology>* topologies, std::vector<const HostTopology*>* told);

/// Every rank's place, from the settings: `hosts` is each rank's host as
/// the run names it, `own` says which ranks the launcher starts itself
/// (their CPUs are chosen here, with the report lines). Leaves *out empty
/// when the settings place nothing. The refusal line, or "".
std::string PlanPlacements(const RunSettings& s, const std::vector<std::string>& hosts, const std::vector<bool>& own,
                           std::vector<RankPlacement>* out);

/// Per-rank starts: the places of `plans` (hosts: each one's). A local
/// plan's child applies its place itself; a remote shell's command becomes
/// `tarvo-agent --place ... carrier ...` on the far side. The refusal line,
/// or "".
std::string PlaceRankPlans(const RunSettings& s, std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                           std::vector<RankPlacement>* placements);

/// kAgentPlace's payload for a rank of an agent.
std::string AgentPlacePayload(const RunSettings& s, int rank, const std::string& host, const RankPlacement& placement);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_RANKFILES_H
