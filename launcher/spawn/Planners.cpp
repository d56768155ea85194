#include "launcher/spawn/Planners.h"

#include <algorithm>

#include "common/pmi_env.h"
#include "common/reports.h"

namespace spawn {

void AddClose(ExecPlan* plan, int fd) {
  if (fd >= 0) plan->closeFds[plan->closeCount++] = fd;
}

ExecPlan PlanRank(bool remote, const std::string& host, const std::vector<std::string>& words,
                  const LauncherParams& params, int rank, const RankForm& form) {
  ExecPlan plan;
  plan.remote = remote;
  plan.ownGroup = true;
  plan.ownSession = !remote;
  plan.vector = ChildVector(remote, form.ssh, host, words, params, rank);
  int line;
  if (!remote) {
    plan.file = "carrier";
    plan.failure = kExecLocalFailed;
    line = form.lines[0];
  } else {
    // TARVO_RSH's words stand in for the "ssh" or "rsh" of the vector.
    if (!form.rsh.empty()) {
      plan.vector.erase(plan.vector.begin());
      plan.vector.insert(plan.vector.begin(), form.rsh.begin(), form.rsh.end());
      plan.shellWords = form.rsh.size();
    }
    plan.file = plan.vector[0];
    plan.failure = "Control Process: execvp " + plan.file + " failed\n";
    line = form.lines[form.ssh ? 1 : 2];
  }
  plan.errorAt = "Error at " + std::to_string(line) + " " + kErrorSource;
  for (int fd : form.closeFds) AddClose(&plan, fd);
  return plan;
}

void PlanRankShells(std::vector<ExecPlan>& plans, const std::vector<std::string>& pmiIds) {
  for (size_t i = 0; i < plans.size(); ++i) {
    ExecPlan& plan = plans[i];
    if (!plan.remote) continue;
    const std::vector<std::string> env = {"env", TARVO_PMI_ID "=" + pmiIds[i]};
    plan.vector.insert(plan.vector.begin() + static_cast<long>(plan.shellWords) + 1, env.begin(), env.end());
    for (size_t k = plan.shellWords + 1; k < plan.vector.size(); ++k) plan.vector[k] = ShellQuoted(plan.vector[k]);
  }
}

}  // namespace spawn
