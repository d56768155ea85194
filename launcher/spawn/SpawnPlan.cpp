#include "launcher/spawn/SpawnPlan.h"

namespace spawnplan {

namespace {

bool ThisHost(const std::string& host, const std::string& thisHost) {
  return host == thisHost || host == "localhost" || host.compare(0, 4, "127.") == 0;
}

}  // namespace

std::string PlanSpawn(const pmi::PmixSpawnRequest& request, const SpawnRules& rules,
                      const std::vector<std::vector<std::string>>& hostfileHosts, std::vector<SpawnChild>* out) {
  out->clear();
  if (request.apps.empty()) return "no program to start";
  long total = 0;
  for (size_t a = 0; a < request.apps.size(); ++a) {
    const pmi::PmixSpawnApp& app = request.apps[a];
    if (app.command.empty()) return "no program to start";
    if (app.count < 1) return "maxprocs " + std::to_string(app.count) + " for " + app.command;
    std::vector<std::string> hosts = app.hosts;
    if (a < hostfileHosts.size()) hosts.insert(hosts.end(), hostfileHosts[a].begin(), hostfileHosts[a].end());
    for (const std::string& host : hosts) {
      if (!ThisHost(host, rules.thisHost)) return "host " + host + " is not this run's host " + rules.thisHost;
    }
    if (rules.runnable && !rules.runnable(app.command, app.cwd)) return "no such program: " + app.command;
    total += app.count;
    if (rules.running + total > rules.limit) {
      return "the run would hold more than " + std::to_string(rules.limit) + " processes";
    }
  }
  int rank = 0;
  for (size_t a = 0; a < request.apps.size(); ++a) {
    const pmi::PmixSpawnApp& app = request.apps[a];
    std::vector<std::string> words = {app.command};
    for (size_t k = 1; k < app.argv.size(); ++k) words.push_back(app.argv[k]);
    for (int k = 0; k < app.count; ++k) {
      SpawnChild c;
      c.rank = rank++;
      c.appnum = static_cast<int>(a);
      c.words = words;
      c.env = app.env;
      c.cwd = app.cwd;
      c.host = rules.thisHost;
      out->push_back(std::move(c));
    }
  }
  return std::string();
}

}  // namespace spawnplan
