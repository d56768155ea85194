// What the PMIx host's sources share: the host's state, the one place where
// libpmix's upcalls find it, and the filling of the library's upcall table.
// Needs libpmix: only the module's sources (pmix_*.cpp) include it.
//
// libpmix holds one server per process, and the upcalls of its server
// module carry no pointer of ours: a running host is found through
// CurrentHost(), and every upcall and every answer on its way back to the
// library passes the host's UpcallGate, holding the state by a shared
// pointer while it is inside:
//
//   HostCall call;                           // the running host, entered
//   if (!call) return PMIX_ERR_NOT_AVAILABLE;
//   ... call->callbacks.x(..., [s = call.State()](...) {
//         HostCall inside(s);                // the answer enters again
//         if (inside) cbfunc(...);           // dropped once Stop has begun
//       });
#ifndef TARVO_PMI_PMIX_SERVER_STATE_H
#define TARVO_PMI_PMIX_SERVER_STATE_H

#include <hwloc.h>
#include <pmix_server.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pmi/pmix_host.h"
#include "pmi/upcall_gate.h"

namespace pmi {

struct PmixHost::State {
  PmixJob job;
  PmixCallbacks callbacks;
  std::string tmpDir;
  // A private directory in /dev/shm (empty without one) for Open MPI's
  // shared-memory segments: a rank that aborts or dies leaves its segments
  // behind, and Stop removes them with the directory.
  std::string shmDir;
  std::vector<int> localRanks;
  std::map<int, std::vector<std::string>> environments;
  bool serverUp = false;
  // The library's upcalls and the answers to them reach `callbacks` only
  // through the gate: Stop shuts it before it finalizes the server, and a
  // call that comes later (a late answer, or an upcall of a finalize that
  // did not end in time) does nothing.
  UpcallGate gate;
  // Guards what libpmix's thread and the owner's both reach once the
  // server runs: `finalized`, `added`, `addedSize`, `addedConnected` and
  // `addedFinalized`. (The rest is written before the server starts or
  // after it has stopped, and read by the owner alone.)
  std::mutex mutex;
  std::set<int> finalized;
  // Jobs that ranks spawned (AddJob): their environments, each one's size
  // (from its registration on: its ranks are served from then on), and
  // which of their ranks connected and finalized.
  std::map<std::string, std::map<int, std::vector<std::string>>> added;
  std::map<std::string, int> addedSize;
  std::set<std::pair<std::string, int>> addedConnected, addedFinalized;
  // What the server was started with: the node's topology and the list
  // that holds it. Freed once the server has finalized.
  hwloc_topology_t topology = nullptr;
  pmix_data_array_t initInfo{PMIX_UNDEF, 0, nullptr};

  // The size of job `nspace` (the first job's, or an added one's); -1 for
  // a namespace that is not served. Any thread.
  int SizeOf(const std::string& nspace) {
    if (nspace == job.nspace) return static_cast<int>(job.hosts.size());
    std::lock_guard<std::mutex> lock(mutex);
    auto at = addedSize.find(nspace);
    return at == addedSize.end() ? -1 : at->second;
  }
};

// The host that serves (null when none does), shared with the caller.
std::shared_ptr<PmixHost::State> CurrentHost();

// An upcall's or an answer's passage into the host: converts to true while
// the host serves, and Stop waits until it is gone.
class HostCall {
 public:
  HostCall() : HostCall(CurrentHost()) {}
  explicit HostCall(std::shared_ptr<PmixHost::State> s) : s_(std::move(s)), in_(s_ != nullptr && s_->gate.Enter()) {}
  ~HostCall() {
    if (in_) s_->gate.Leave();
  }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
  explicit operator bool() const { return in_; }
  PmixHost::State* operator->() const { return s_.get(); }
  // For an answer that comes later: it makes a HostCall of its own.
  const std::shared_ptr<PmixHost::State>& State() const { return s_; }

 private:
  std::shared_ptr<PmixHost::State> s_;
  bool in_;
};

inline std::string NspaceOf(const pmix_proc_t* proc) {
  return std::string(proc->nspace, strnlen(proc->nspace, PMIX_MAX_NSLEN));
}

// Fill the upcalls of `module` that `callbacks` can serve: the host's own
// (fence, direct modex, abort, connected, finalized: pmix_upcalls.cpp),
// names and connections (pmix_names.cpp) and spawns (pmix_spawn.cpp).
void AddHostUpcalls(pmix_server_module_t* module);
void AddNameUpcalls(pmix_server_module_t* module, const PmixCallbacks& callbacks);
void AddSpawnUpcall(pmix_server_module_t* module, const PmixCallbacks& callbacks);

// libpmix's answer to PMIx_server_dmodex_request, with the ServeRequest it
// was given (pmix_upcalls.cpp).
struct ServeRequest {
  std::shared_ptr<PmixHost::State> state;
  std::function<void(bool, std::string)> answer;
};
void OnServed(pmix_status_t status, char* data, size_t size, void* cbdata);

// The host's set-up and tear-down (pmix_host_setup.cpp).
// A new hwloc topology, not loaded yet, that leaves out what the ranks do
// not need; false when hwloc cannot make one.
bool TopologyWithoutPlugins(hwloc_topology_t* topology);
// A new private directory under `parent` (empty: the default place);
// empty when none can be made.
std::string MakePrivateDir(const std::string& parent);
// Removes `dir` (empty: nothing) with all it holds.
void RemoveTree(const std::string& dir);
// PMIx_server_finalize, waited for a few seconds at most: false when it
// did not end by then.
bool FinalizeServer();
// The server's fork set-up of `rank` of `nspace`: NAME=VALUE entries.
pmix_status_t SetupFork(const std::string& nspace, int rank, std::vector<std::string>* entries);
// "what: libpmix's text of rc".
std::string Why(const char* what, pmix_status_t rc);

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_SERVER_STATE_H
