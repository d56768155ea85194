// The spawn upcall: a rank's PMIx_Spawn becomes a PmixSpawnRequest for the
// launcher; its answer, the new job's namespace, goes back through
// libpmix's callback unless the server has begun to stop.
#include <pmix.h>

#include <cstring>
#include <string>
#include <vector>

#include "pmi/pmix_server_state.h"

namespace pmi {

namespace {

std::string Text(const pmix_value_t& v) {
  return v.type == PMIX_STRING && v.data.string != nullptr ? std::string(v.data.string) : std::string();
}

bool Is(const pmix_info_t& info, const char* key) { return strncmp(info.key, key, PMIX_MAX_KEYLEN) == 0; }

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = list.find(',', at);
    const std::string word = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (!word.empty()) out.push_back(word);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

PmixSpawnApp AppOf(const pmix_app_t& a) {
  PmixSpawnApp app;
  if (a.cmd != nullptr) app.command = a.cmd;
  for (char** w = a.argv; w != nullptr && *w != nullptr; ++w) app.argv.emplace_back(*w);
  for (char** e = a.env; e != nullptr && *e != nullptr; ++e) app.env.emplace_back(*e);
  if (a.cwd != nullptr) app.cwd = a.cwd;
  app.count = a.maxprocs;
  for (size_t i = 0; a.info != nullptr && i < a.ninfo; ++i) {
    if (Is(a.info[i], PMIX_HOST)) app.hosts = Split(Text(a.info[i].value));
    if (Is(a.info[i], PMIX_HOSTFILE)) app.hostfile = Text(a.info[i].value);
    if (Is(a.info[i], PMIX_WDIR) && app.cwd.empty()) app.cwd = Text(a.info[i].value);
  }
  return app;
}

pmix_status_t OnSpawn(const pmix_proc_t* proc, const pmix_info_t[], size_t, const pmix_app_t apps[], size_t napps,
                      pmix_spawn_cbfunc_t cbfunc, void* cbdata) {
  if (proc == nullptr || napps == 0 || apps == nullptr) return PMIX_ERR_BAD_PARAM;
  HostCall call;
  if (!call) return PMIX_ERR_NOT_SUPPORTED;
  PmixSpawnRequest r;
  r.parentNspace = NspaceOf(proc);
  r.parentRank = static_cast<int>(proc->rank);
  for (size_t i = 0; i < napps; ++i) r.apps.push_back(AppOf(apps[i]));
  call->callbacks.spawn(std::move(r), [s = call.State(), cbfunc, cbdata](std::string nspace) {
    HostCall inside(s);
    if (!inside || cbfunc == nullptr) return;
    pmix_nspace_t name;
    PMIX_LOAD_NSPACE(name, nspace.c_str());
    cbfunc(nspace.empty() ? PMIX_ERR_JOB_FAILED_TO_LAUNCH : PMIX_SUCCESS, name, cbdata);
  });
  return PMIX_SUCCESS;
}

}  // namespace

void AddSpawnUpcall(pmix_server_module_t* module, const PmixCallbacks& callbacks) {
  if (callbacks.spawn) module->spawn = OnSpawn;
}

}  // namespace pmi
