// The agent's part of TARVO_OUTPUT, TARVO_ERROR and TARVO_BIND: the places
// that the launcher sends for its ranks, the units of this host that the
// ranks are bound to, and the agent's two other forms, which tarvo and
// per-rank remote shells use (the agent alone links hwloc):
//
//   tarvo-agent --cpus MODE
//       prints this host's units for MODE (core or socket), one CPU list a
//       line, in the order ranks take them; status 1, saying why, when
//       there are none.
//   tarvo-agent --place RANK HOST INDEX MODE REPORT OUTPUT ERROR COMMAND...
//       for a rank that a remote shell starts through carrier: binds itself
//       for the rank of INDEX on this host, says so when REPORT is 1, puts
//       OUTPUT and ERROR (empty: none; relative to the run's working
//       directory, COMMAND's last word) on its standard output and error,
//       then becomes COMMAND.
#ifndef TARVO_AGENT_AGENT_PLACE_H
#define TARVO_AGENT_AGENT_PLACE_H

#include <map>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "common/rank_place.h"

class AgentPlacer {
 public:
  /// A kPlace order, kept for the rank's start.
  void Take(const AgentOrder& order);
  /// Before the fork of `rank`, the `index`-th rank of this host: its place
  /// into *place (pointing into this object), with the binding's report
  /// lines on standard error. False when the rank has none.
  bool Prepare(int rank, int index, RankPlace* place);

 private:
  struct Place {
    int bind = 0;
    bool report = false;
    std::string host, output, error;
  };
  std::map<int, Place> places_;
  std::vector<cpu_set_t> units_;
  bool unitsRead_ = false;
  std::string host_;
};

/// main's other forms (above); -1 when argv is neither.
int PlaceMain(int argc, char** argv);

/// In a Slurm step: what srun would give the rank as its task, as entries
/// of its environment (the launcher sends none of its own SLURM_*; this
/// host's node values stay).
std::vector<std::string> AgentSlurmTask(const AgentOrder& order, int localId);

#endif  // TARVO_AGENT_AGENT_PLACE_H
