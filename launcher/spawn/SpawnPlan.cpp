#include "launcher/spawn/SpawnPlan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/machine_words.h"
#include "common/rank_map.h"

namespace spawn {

namespace {

bool ThisHost(const std::string& host, const std::string& thisHost) {
  return host == thisHost || host == "localhost" || host.compare(0, 4, "127.") == 0;
}

}  // namespace

std::vector<HostSlots> ReadMachineSlots(const std::string& text) {
  std::vector<HostSlots> hosts;
  std::istringstream in(text);
  std::string line;
  for (int lines = 0; lines < 100000 && std::getline(in, line); ++lines) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string word;
    int last = -1;  // the host that a "slots=N" on this line gives its slots
    while (words >> word) {
      const int slots = MachineSlotsWord(word);
      if (slots > 0 && last >= 0) {
        hosts[static_cast<size_t>(last)].slots += slots - 1;  // its one becomes N
        last = -1;
        continue;
      }
      size_t length = word.size();
      int places = MachineWordPlaces(word, &length);
      const bool bare = places == 0;
      if (!bare) word.resize(length);
      else places = 1;
      auto at = std::find_if(hosts.begin(), hosts.end(), [&](const HostSlots& h) { return h.host == word; });
      if (at == hosts.end()) {
        hosts.push_back(HostSlots{word, places});
        at = hosts.end() - 1;
      } else {
        at->slots += places;
      }
      last = bare ? static_cast<int>(at - hosts.begin()) : -1;
    }
  }
  return hosts;
}

int UniverseSize(const std::vector<HostSlots>& hosts, int size) {
  long slots = 0;
  for (const HostSlots& h : hosts) slots += h.slots;
  return static_cast<int>(std::max<long>(slots, size));
}

int SlurmSlots(const char* perNode) {
  if (perNode == nullptr) return 0;
  long total = 0;
  const char* at = perNode;
  while (*at != '\0' && total < 1000000) {
    char* end = nullptr;
    const long n = strtol(at, &end, 10);
    if (end == at || n < 0 || n > 1000000) return 0;
    long times = 1;
    at = end;
    if (strncmp(at, "(x", 2) == 0) {
      times = strtol(at + 2, &end, 10);
      if (end == at + 2 || *end != ')' || times < 1) return 0;
      at = end + 1;
    }
    total += n * std::min(times, 1000L);
    if (*at == ',') ++at;
    else if (*at != '\0') return 0;
  }
  return static_cast<int>(std::min(total, 1000000L));
}

std::vector<std::string> PlaceBySlots(const std::vector<HostSlots>& hosts, std::vector<int>* used, int count) {
  std::vector<std::string> out;
  used->resize(hosts.size(), 0);
  size_t turn = 0;  // past every slot: the next host to take one more
  for (int k = 0; k < count && !hosts.empty(); ++k) {
    size_t at = 0;
    while (at < hosts.size() && (*used)[at] >= hosts[at].slots) ++at;
    if (at == hosts.size()) at = turn++ % hosts.size();
    ++(*used)[at];
    out.push_back(hosts[at].host);
  }
  return out;
}

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
      if (rules.hosts.empty() && !ThisHost(host, rules.thisHost)) {
        return "host " + host + " is not this run's host " + rules.thisHost;
      }
      if (!rules.hosts.empty() &&
          std::none_of(rules.hosts.begin(), rules.hosts.end(), [&](const HostSlots& h) { return h.host == host; })) {
        return "host " + host + " is not a host of this run";
      }
    }
    if (rules.runnable && !rules.runnable(app.command, app.cwd)) return "no such program: " + app.command;
    total += app.count;
    if (rules.running + total > rules.limit) {
      return "the run would hold more than " + std::to_string(rules.limit) + " processes";
    }
  }
  int rank = 0;
  std::vector<int> used = rules.used;
  used.resize(rules.hosts.size(), 0);
  for (size_t a = 0; a < request.apps.size(); ++a) {
    const pmi::PmixSpawnApp& app = request.apps[a];
    // The hosts that the keys name, in the machine file's order, or all.
    std::vector<std::string> named = app.hosts;
    if (a < hostfileHosts.size()) named.insert(named.end(), hostfileHosts[a].begin(), hostfileHosts[a].end());
    std::vector<HostSlots> from;
    std::vector<int> fromUsed;
    for (size_t h = 0; h < rules.hosts.size(); ++h) {
      if (named.empty() || std::find(named.begin(), named.end(), rules.hosts[h].host) != named.end()) {
        from.push_back(rules.hosts[h]);
        fromUsed.push_back(used[h]);
      }
    }
    std::vector<std::string> placed;
    if (rules.ppn > 0 && named.empty() && !rules.hosts.empty()) {
      const int hosts = static_cast<int>(rules.hosts.size());
      for (int k = 0; k < app.count; ++k) {
        const size_t h = static_cast<size_t>(HostOfRank(rank + k, hosts, rules.ppn));
        ++used[h];
        placed.push_back(rules.hosts[h].host);
      }
    } else {
      placed = PlaceBySlots(from, &fromUsed, app.count);
      for (size_t h = 0, f = 0; h < rules.hosts.size() && f < from.size(); ++h) {
        if (rules.hosts[h].host == from[f].host) used[h] = fromUsed[f++];
      }
    }
    std::vector<std::string> words = {app.command};
    for (size_t k = 1; k < app.argv.size(); ++k) words.push_back(app.argv[k]);
    for (int k = 0; k < app.count; ++k) {
      SpawnChild c;
      c.rank = rank++;
      c.appnum = static_cast<int>(a);
      c.words = words;
      c.env = app.env;
      c.cwd = app.cwd;
      c.host = placed.empty() ? rules.thisHost : placed[static_cast<size_t>(k)];
      out->push_back(std::move(c));
    }
  }
  return std::string();
}

}  // namespace spawn
