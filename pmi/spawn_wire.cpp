#include "pmi/spawn_wire.h"

#include <cstring>

#include "common/agent_wire.h"

namespace pmi {

namespace {

void Put(std::string* to, int32_t v) { to->append(reinterpret_cast<const char*>(&v), sizeof v); }

}  // namespace

std::string EncodeSpawnRequest(int32_t ticket, const PmixSpawnRequest& request) {
  AgentSpawnHead head{ticket, request.parentRank, static_cast<int32_t>(request.apps.size())};
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
  payload += AgentStrings(strings);
  return AgentEncode(kAgentSpawn, payload.data(), payload.size());
}

bool DecodeSpawnRequest(const std::string& payload, int32_t* ticket, PmixSpawnRequest* request) {
  AgentSpawnHead head;
  if (payload.size() < sizeof head) return false;
  memcpy(&head, payload.data(), sizeof head);
  if (head.apps < 1 || head.apps > 1024 || (payload.size() - sizeof head) / sizeof(AgentSpawnApp) < static_cast<size_t>(head.apps)) {
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
  return next == strings.size();
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
