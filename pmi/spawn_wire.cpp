#include "pmi/spawn_wire.h"

#include <unistd.h>

#include <cstring>

#include "common/agent_wire.h"

namespace pmi {

namespace {

void Put(std::string* to, int32_t v) { to->append(reinterpret_cast<const char*>(&v), sizeof v); }

// `program` found along `path` (directories separated by ':', as the
// `path` info key gives them) when it names no directory; else as given.
std::string AlongPath(const std::string& program, const std::string& path) {
  if (program.find('/') != std::string::npos) return program;
  size_t at = 0;
  for (int dirs = 0; dirs < 256 && at <= path.size(); ++dirs) {
    size_t end = path.find(':', at);
    if (end == std::string::npos) end = path.size();
    const std::string file = (end > at ? path.substr(at, end - at) : std::string(".")) + "/" + program;
    if (access(file.c_str(), X_OK) == 0) return file;
    at = end + 1;
  }
  return program;
}

}  // namespace

PmixSpawnRequest Pmi1Request(const Pmi1Spawn& spawn, const std::string& kvsname) {
  PmixSpawnRequest r;
  r.pmi1 = true;
  r.parentNspace = kvsname;
  r.parentRank = spawn.rank;
  r.preput.assign(spawn.preput.begin(), spawn.preput.end());
  for (const Pmi1SpawnCommand& c : spawn.commands) {
    PmixSpawnApp app;
    std::string path;
    app.count = c.nprocs;
    for (const auto& kv : c.info) {
      if (kv.first == "wdir") app.cwd = kv.second;
      if (kv.first == "path") path = kv.second;
      if (kv.first == "hostfile") app.hostfile = kv.second;
      if (kv.first != "host") continue;
      for (size_t at = 0; at <= kv.second.size();) {
        size_t end = kv.second.find(',', at);
        if (end == std::string::npos) end = kv.second.size();
        if (end > at) app.hosts.push_back(kv.second.substr(at, end - at));
        at = end + 1;
      }
    }
    app.command = path.empty() ? c.execname : AlongPath(c.execname, path);
    app.argv.push_back(c.execname);
    app.argv.insert(app.argv.end(), c.args.begin(), c.args.end());
    r.apps.push_back(std::move(app));
  }
  return r;
}

std::string EncodeSpawnRequest(int32_t ticket, const PmixSpawnRequest& request) {
  AgentSpawnHead head{ticket, request.parentRank, static_cast<int32_t>(request.apps.size()),
                      request.pmi1 ? static_cast<int32_t>(request.preput.size()) : -1};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  std::vector<std::string> strings = {request.parentNspace};
  for (const PmixSpawnApp& app : request.apps) {
    AgentSpawnApp a{app.count, static_cast<int32_t>(app.argv.size()), static_cast<int32_t>(app.env.size()),
                    static_cast<int32_t>(app.hosts.size())};
    payload.append(reinterpret_cast<const char*>(&a), sizeof a);
    strings.insert(strings.end(), {app.command, app.cwd, app.hostfile});
    strings.insert(strings.end(), app.argv.begin(), app.argv.end());
    strings.insert(strings.end(), app.env.begin(), app.env.end());
    strings.insert(strings.end(), app.hosts.begin(), app.hosts.end());
  }
  for (size_t i = 0; request.pmi1 && i < request.preput.size(); ++i) {
    strings.insert(strings.end(), {request.preput[i].first, request.preput[i].second});
  }
  payload += AgentStrings(strings);
  return AgentEncode(kAgentSpawn, payload.data(), payload.size());
}

bool DecodeSpawnRequest(const std::string& payload, int32_t* ticket, PmixSpawnRequest* request) {
  AgentSpawnHead head;
  if (payload.size() < sizeof head) return false;
  memcpy(&head, payload.data(), sizeof head);
  if (head.apps < 1 || head.apps > 1024 || head.preputs < -1 ||
      (payload.size() - sizeof head) / sizeof(AgentSpawnApp) < static_cast<size_t>(head.apps)) {
    return false;
  }
  const size_t at = sizeof head + static_cast<size_t>(head.apps) * sizeof(AgentSpawnApp);
  std::vector<std::string> strings;
  if (!AgentSplitStrings(payload.data() + at, payload.size() - at, &strings) || strings.empty()) return false;
  *request = PmixSpawnRequest();
  request->parentNspace = strings[0];
  request->parentRank = head.parentRank;
  size_t next = 1;
  for (int32_t i = 0; i < head.apps; ++i) {
    AgentSpawnApp a;
    memcpy(&a, payload.data() + sizeof head + static_cast<size_t>(i) * sizeof a, sizeof a);
    if (a.words < 0 || a.envs < 0 || a.hosts < 0) return false;
    const size_t need = 3 + static_cast<size_t>(a.words) + static_cast<size_t>(a.envs) + static_cast<size_t>(a.hosts);
    if (strings.size() - next < need) return false;
    PmixSpawnApp app;
    app.count = a.count;
    app.command = strings[next];
    app.cwd = strings[next + 1];
    app.hostfile = strings[next + 2];
    next += 3;
    auto take = [&](int32_t n, std::vector<std::string>* into) {
      into->assign(strings.begin() + static_cast<long>(next), strings.begin() + static_cast<long>(next) + n);
      next += static_cast<size_t>(n);
    };
    take(a.words, &app.argv);
    take(a.envs, &app.env);
    take(a.hosts, &app.hosts);
    request->apps.push_back(std::move(app));
  }
  *ticket = head.ticket;
  request->pmi1 = head.preputs >= 0;
  if (!request->pmi1) return next == strings.size();
  if ((strings.size() - next) / 2 != static_cast<size_t>(head.preputs) || (strings.size() - next) % 2 != 0) return false;
  for (; next < strings.size(); next += 2) request->preput.emplace_back(strings[next], strings[next + 1]);
  return true;
}

std::string EncodeConnect(int32_t ticket, bool disconnect, const PmixCallbacks::Procs& procs) {
  AgentConnectHead head{ticket, disconnect ? 1 : 0, static_cast<int32_t>(procs.size())};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  std::vector<std::string> nspaces;
  bool acrossJobs = false;
  for (const auto& p : procs) {
    Put(&payload, p.second);
    nspaces.push_back(p.first);
    acrossJobs = acrossJobs || !p.first.empty();
  }
  if (acrossJobs) payload += AgentStrings(nspaces);  // empty: the first job's
  return AgentEncode(kAgentConnect, payload.data(), payload.size());
}

bool DecodeConnect(const std::string& payload, int32_t* ticket, bool* disconnect, PmixCallbacks::Procs* procs) {
  AgentConnectHead head;
  if (payload.size() < sizeof head) return false;
  memcpy(&head, payload.data(), sizeof head);
  if (head.ranks < 0 || (payload.size() - sizeof head) / sizeof(int32_t) < static_cast<size_t>(head.ranks)) return false;
  const size_t at = sizeof head + static_cast<size_t>(head.ranks) * sizeof(int32_t);
  std::vector<std::string> nspaces;
  if (!AgentSplitStrings(payload.data() + at, payload.size() - at, &nspaces)) return false;
  if (!nspaces.empty() && nspaces.size() != static_cast<size_t>(head.ranks)) return false;
  procs->clear();
  for (int32_t i = 0; i < head.ranks; ++i) {
    int32_t rank;
    memcpy(&rank, payload.data() + sizeof head + static_cast<size_t>(i) * sizeof rank, sizeof rank);
    procs->emplace_back(nspaces.empty() ? std::string() : nspaces[static_cast<size_t>(i)], rank);
  }
  *ticket = head.ticket;
  *disconnect = head.disconnect != 0;
  return true;
}

}  // namespace pmi
