#include "launcher/spawn/Planners.h"

#include <algorithm>
#include <cstdlib>

#include "common/pmi_env.h"
#include "common/rank_map.h"
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

std::string PlanRankShells(std::vector<ExecPlan>& plans, const std::vector<std::string>& pmiIds,
                           const std::vector<std::vector<std::string>>& rankEnv, const std::string& terminal) {
  std::string refusal;
  for (size_t i = 0; i < plans.size(); ++i) {
    ExecPlan& plan = plans[i];
    if (!plan.remote) continue;
    std::vector<std::string> env = {"env", TARVO_PMI_ID "=" + pmiIds[i]};
    if (i < rankEnv.size()) env.insert(env.end(), rankEnv[i].begin(), rankEnv[i].end());
    if (!terminal.empty()) env.push_back(terminal);
    plan.vector.insert(plan.vector.begin() + static_cast<long>(plan.shellWords) + 1, env.begin(), env.end());
    // The remote shell joins these words with blanks into the one command
    // that the far side's shell takes as its argument.
    size_t command = 0;
    for (size_t k = plan.shellWords + 1; k < plan.vector.size(); ++k) {
      plan.vector[k] = ShellQuoted(plan.vector[k]);
      command += plan.vector[k].size() + (k > plan.shellWords + 1 ? 1 : 0);
    }
    if (command > kMaxRemoteCommand && refusal.empty()) {
      refusal = "ERROR-Control Process: the remote command of rank " + std::to_string(i) + " is longer than " +
                std::to_string(kMaxRemoteCommand) + " characters, the most that the far side's shell takes\n";
    }
  }
  return refusal;
}

std::vector<std::vector<std::string>> RankEnvironments(const std::vector<std::string>& hosts,
                                                       const std::vector<std::vector<std::string>>& placed) {
  std::vector<int> local, localSize;
  LocalRanks(hosts, &local, &localSize);
  std::vector<std::vector<std::string>> out(hosts.size());
  const int size = static_cast<int>(hosts.size());
  for (size_t r = 0; r < hosts.size(); ++r) {
    for (std::string& e : LocalityEnvironment(static_cast<int>(r), size, local[r], localSize[r])) {
      if (getenv(e.substr(0, e.find('=')).c_str()) == nullptr) out[r].push_back(std::move(e));
    }
    if (r < placed.size()) out[r].insert(out[r].end(), placed[r].begin(), placed[r].end());
  }
  return out;
}

AgentLayout PlanAgents(const std::vector<bool>& remote, const std::vector<std::string>& hosts,
                       const std::vector<std::string>& slurmNodes,
                       const std::function<bool(const std::string&)>& ownHost, int ppn) {
  const bool slurm = !slurmNodes.empty();
  AgentLayout out;
  out.hosts = hosts;
  out.agentOf.assign(hosts.size(), -1);
  if (slurm) {
    const int nodes = static_cast<int>(slurmNodes.size());
    size_t used = 0;
    for (size_t i = 0; i < hosts.size(); ++i) {
      const size_t node = static_cast<size_t>(HostOfRank(static_cast<int>(i), nodes, ppn));
      out.hosts[i] = slurmNodes[node];
      used = std::max(used, node + 1);
    }
    // Agents are numbered by their node: the nodes up to the last that has a rank.
    out.agentHosts.assign(slurmNodes.begin(), slurmNodes.begin() + static_cast<long>(used));
  }
  for (size_t i = 0; i < hosts.size(); ++i) {
    if (!slurm && (!remote[i] || ownHost(out.hosts[i]))) continue;
    auto known = std::find(out.agentHosts.begin(), out.agentHosts.end(), out.hosts[i]);
    if (known == out.agentHosts.end()) {
      out.agentHosts.push_back(out.hosts[i]);
      known = out.agentHosts.end() - 1;
    }
    out.agentOf[i] = static_cast<int>(known - out.agentHosts.begin());
  }
  return out;
}

ExecPlan PlanAgentShell(const ExecPlan& rankPlan, const std::string& host, const std::string& address, int port,
                        int agent) {
  ExecPlan shell = rankPlan;
  shell.vector = ShellWords(rankPlan);
  for (const std::string& word : {host, std::string("tarvo-agent"), address, std::to_string(port), std::to_string(agent)}) {
    shell.vector.push_back(word);
  }
  shell.ownGroup = true;
  return shell;
}

ExecPlan PlanSlurmStep(const ExecPlan& first, size_t agents, const std::string& address, int port) {
  // srun gives every task its standard input, which starts with the secret.
  ExecPlan step = first;
  step.file = "srun";
  step.failure = "Control Process: execvp srun failed\n";
  const std::string n = std::to_string(agents);
  step.vector = {"srun", "--nodes=" + n, "--ntasks=" + n, "--ntasks-per-node=1", "--kill-on-bad-exit=1",
                 "tarvo-agent", address, std::to_string(port), "-"};
  step.remote = true;
  step.ownGroup = true;
  return step;
}

}  // namespace spawn
