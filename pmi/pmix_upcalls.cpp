// The PMIx host's own upcalls: a fence across nodes, a get of another
// node's rank without a fence (the direct modex), an abort, and a client's
// connection and finalize, handed on to PmixCallbacks; their answers go back
// through the library's callbacks unless the host has begun to stop.
#include <pmix.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pmi/pmix_server_state.h"

namespace pmi {

namespace {

void ReleaseUnion(void* held) { delete static_cast<std::string*>(held); }

// Answers a fence or a direct modex with `data`: the library copies it on
// its own thread and then releases it.
void AnswerModex(pmix_modex_cbfunc_t cbfunc, void* cbdata, std::string data) {
  auto* held = new std::string(std::move(data));
  cbfunc(PMIX_SUCCESS, held->data(), held->size(), cbdata, ReleaseUnion, held);
}

// The ranks of a fence, ascending; empty for the whole job (a wildcard, or
// every rank named).
std::vector<int> FenceRanks(const pmix_proc_t* procs, size_t nprocs, int size) {
  std::set<int> ranks;
  for (size_t i = 0; i < nprocs; ++i) {
    if (procs[i].rank == PMIX_RANK_WILDCARD) return std::vector<int>();
    if (procs[i].rank < static_cast<pmix_rank_t>(size)) ranks.insert(static_cast<int>(procs[i].rank));
  }
  if (ranks.empty() || ranks.size() == static_cast<size_t>(size)) return std::vector<int>();
  return std::vector<int>(ranks.begin(), ranks.end());
}

pmix_status_t OnFence(const pmix_proc_t* procs, size_t nprocs, const pmix_info_t*, size_t, char* data, size_t ndata,
                      pmix_modex_cbfunc_t cbfunc, void* cbdata) {
  HostCall call;
  if (!call) return PMIX_ERR_NOT_AVAILABLE;
  std::string blob = data == nullptr ? std::string() : std::string(data, ndata);
  // A spawned job's fence is keyed by its namespace apart from the first job's.
  std::string nspace = nprocs > 0 ? NspaceOf(&procs[0]) : call->job.nspace;
  const int size = call->SizeOf(nspace);
  if (size < 0) return PMIX_ERR_NOT_SUPPORTED;
  if (nspace == call->job.nspace) nspace.clear();
  // The library's callback is called once at most: a second completion
  // would release its fence twice.
  auto once = std::make_shared<std::atomic<bool>>(false);
  PmixCallbacks::Done done(FenceRanks(procs, nprocs, size), [s = call.State(), once, cbfunc, cbdata](bool ok, std::string all) {
    HostCall inside(s);
    if (!inside || once->exchange(true)) return;
    // A failed fence: the ranks' fence (MPI_Init's) returns this error.
    if (!ok) return cbfunc(PMIX_ERR_OUT_OF_RESOURCE, nullptr, 0, cbdata, nullptr, nullptr);
    AnswerModex(cbfunc, cbdata, std::move(all));
  }, std::move(nspace));
  if (call->callbacks.exchange) call->callbacks.exchange(std::move(blob), std::move(done));
  else done(std::move(blob));
  return PMIX_SUCCESS;
}

// A get of a rank on another node without a fence: the caller's fetch
// brings the data from the node that holds it.
pmix_status_t OnDirectModex(const pmix_proc_t* proc, const pmix_info_t*, size_t, pmix_modex_cbfunc_t cbfunc,
                            void* cbdata) {
  HostCall call;
  if (!call) return PMIX_ERR_NOT_AVAILABLE;
  std::string nspace = NspaceOf(proc);
  const int size = call->SizeOf(nspace);
  if (!call->callbacks.fetch || size < 0 || proc->rank >= static_cast<pmix_rank_t>(size)) return PMIX_ERR_NOT_SUPPORTED;
  if (nspace == call->job.nspace) nspace.clear();
  auto once = std::make_shared<std::atomic<bool>>(false);
  call->callbacks.fetch(nspace, static_cast<int>(proc->rank), [s = call.State(), once, cbfunc, cbdata](bool ok, std::string data) {
    HostCall inside(s);
    if (!inside || once->exchange(true)) return;
    if (!ok) return cbfunc(PMIX_ERR_NOT_FOUND, nullptr, 0, cbdata, nullptr, nullptr);
    AnswerModex(cbfunc, cbdata, std::move(data));
  });
  return PMIX_SUCCESS;
}

pmix_status_t OnAbort(const pmix_proc_t* proc, void*, int status, const char msg[], pmix_proc_t*, size_t,
                      pmix_op_cbfunc_t cbfunc, void* cbdata) {
  HostCall call;
  if (!call) return PMIX_ERR_NOT_AVAILABLE;
  const std::string nspace = NspaceOf(proc);
  if (nspace != call->job.nspace) {
    if (call->callbacks.addedAbort) call->callbacks.addedAbort(nspace, static_cast<int>(proc->rank), status);
  } else if (call->callbacks.abort) {
    call->callbacks.abort(static_cast<int>(proc->rank), status, msg == nullptr ? "" : msg);
  }
  // Release the client: it exits by itself once its abort is answered.
  if (cbfunc != nullptr) cbfunc(PMIX_SUCCESS, cbdata);
  return PMIX_SUCCESS;
}

// A client of a spawned job: recorded here; the callbacks speak of the
// run's first job alone.
bool AddedClient(PmixHost::State* s, const pmix_proc_t* proc, bool finalized) {
  const std::string nspace = NspaceOf(proc);
  if (nspace == s->job.nspace) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  (finalized ? s->addedFinalized : s->addedConnected).insert({nspace, static_cast<int>(proc->rank)});
  return true;
}

pmix_status_t OnConnected(const pmix_proc_t* proc, void*, pmix_info_t*, size_t, pmix_op_cbfunc_t, void*) {
  HostCall call;
  if (!call) return PMIX_ERR_NOT_AVAILABLE;
  if (AddedClient(call.State().get(), proc, false)) return PMIX_OPERATION_SUCCEEDED;
  if (call->callbacks.connected) call->callbacks.connected(static_cast<int>(proc->rank));
  return PMIX_OPERATION_SUCCEEDED;
}

pmix_status_t OnFinalized(const pmix_proc_t* proc, void*, pmix_op_cbfunc_t, void*) {
  // The rank is released from its finalize once this returns, served or not.
  HostCall call;
  if (!call) return PMIX_OPERATION_SUCCEEDED;
  if (AddedClient(call.State().get(), proc, true)) return PMIX_OPERATION_SUCCEEDED;
  {
    std::lock_guard<std::mutex> lock(call->mutex);
    call->finalized.insert(static_cast<int>(proc->rank));
  }
  if (call->callbacks.finalized) call->callbacks.finalized(static_cast<int>(proc->rank));
  return PMIX_OPERATION_SUCCEEDED;
}

}  // namespace

void OnServed(pmix_status_t status, char* data, size_t size, void* cbdata) {
  std::unique_ptr<ServeRequest> request(static_cast<ServeRequest*>(cbdata));
  HostCall inside(request->state);
  if (!inside) return;
  request->answer(status == PMIX_SUCCESS, status == PMIX_SUCCESS && data != nullptr ? std::string(data, size) : std::string());
}

void AddHostUpcalls(pmix_server_module_t* module) {
  module->client_connected2 = OnConnected;
  module->client_finalized = OnFinalized;
  module->abort = OnAbort;
  module->fence_nb = OnFence;
  module->direct_modex = OnDirectModex;
}

}  // namespace pmi
