// The PMIx server of one node: libpmix's server API behind PmixHost.
#include "pmi/pmix_host.h"

#include <ftw.h>
#include <sys/stat.h>
#include <pmix.h>
#include <hwloc.h>
#include <pmix_server.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pmi/pmix_facts.h"
#include "pmi/pmix_names.h"
#include "pmi/upcall_gate.h"
#include "pmi/pmix_spawn.h"

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
  // The library's upcalls and the fence completions reach `callbacks` only
  // through the gate: Stop shuts it before it finalizes the server, and a
  // call that comes later (a late completion, or an upcall of a finalize
  // that did not end in time) does nothing. The calls hold the state by a
  // shared pointer, so that none of them outlives it.
  UpcallGate gate;
  // Guards what libpmix's thread and the owner's both reach once the
  // server runs: `finalized`, `added`, `addedSize`, `addedConnected` and
  // `addedFinalized`. (The rest is written before the server starts or
  // after it has stopped, and read by the owner alone.)
  std::mutex mutex;
  std::set<int> finalized;
  // Jobs that ranks spawned (AddJob): their environments, each one's size,
  // and which of their ranks connected and finalized.
  std::map<std::string, std::map<int, std::vector<std::string>>> added;
  std::map<std::string, int> addedSize;
  std::set<std::pair<std::string, int>> addedConnected, addedFinalized;
  // What the server was started with: the node's topology and the list
  // that holds it. Freed once the server has finalized.
  hwloc_topology_t topology = nullptr;
  pmix_data_array_t initInfo{PMIX_UNDEF, 0, nullptr};
};

namespace {

// libpmix holds one server per process, and its callbacks carry no pointer
// of ours: they find the running host here, and hold it while they run. The
// slot is never destroyed: a finalize that did not end in time leaves the
// library's threads running into the process's exit.
struct HostSlot {
  std::mutex mutex;
  std::shared_ptr<PmixHost::State> host;
  // What a server whose finalize did not end was given, and may still
  // read: left, but held, to the end of the process.
  std::vector<pmix_data_array_t> leftInfo;
  std::vector<hwloc_topology_t> leftTopologies;
};
HostSlot& Slot() {
  static HostSlot* slot = new HostSlot;
  return *slot;
}
std::shared_ptr<PmixHost::State> CurrentHost() {
  HostSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.host;
}
// After PMIx_server_finalize the library cannot start a server again in
// the same process (a second init fails deep inside it).
std::atomic<bool> g_started{false};

// Waits for one of libpmix's completion callbacks.
struct Completion {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  pmix_status_t status = PMIX_SUCCESS;

  static void Signal(pmix_status_t status, void* self) {
    auto* c = static_cast<Completion*>(self);
    std::lock_guard<std::mutex> lock(c->mutex);
    c->status = status;
    c->done = true;
    c->cv.notify_all();
  }
  pmix_status_t Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return done; });
    return status;
  }
};

std::string NspaceOf(const pmix_proc_t* proc) {
  return std::string(proc->nspace, strnlen(proc->nspace, PMIX_MAX_NSLEN));
}

void ReleaseUnion(void* held) { delete static_cast<std::string*>(held); }

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
  std::shared_ptr<PmixHost::State> s = CurrentHost();
  if (!s) return PMIX_ERR_NOT_AVAILABLE;
  UpcallGate::Pass pass(s->gate);
  if (!pass) return PMIX_ERR_NOT_AVAILABLE;
  std::string blob = data == nullptr ? std::string() : std::string(data, ndata);
  // The library's callback is called once at most: a second completion
  // would release its fence twice.
  auto once = std::make_shared<std::atomic<bool>>(false);
  // A spawned job's fence is keyed by its namespace apart from the first job's.
  std::string nspace = nprocs > 0 ? NspaceOf(&procs[0]) : s->job.nspace;
  int size = static_cast<int>(s->job.hosts.size());
  if (nspace == s->job.nspace) {
    nspace.clear();
  } else {
    std::lock_guard<std::mutex> lock(s->mutex);
    auto at = s->addedSize.find(nspace);
    if (at == s->addedSize.end()) return PMIX_ERR_NOT_SUPPORTED;
    size = at->second;
  }
  std::vector<int> ranks = FenceRanks(procs, nprocs, size);
  PmixCallbacks::Done done(std::move(ranks), [s, once, cbfunc, cbdata](bool ok, std::string all) {
    UpcallGate::Pass inside(s->gate);
    if (!inside || once->exchange(true)) return;
    if (!ok) {
      // The ranks' fence (MPI_Init's) returns this error.
      cbfunc(PMIX_ERR_OUT_OF_RESOURCE, nullptr, 0, cbdata, nullptr, nullptr);
      return;
    }
    // The library copies the union on its own thread and then releases it.
    auto* held = new std::string(std::move(all));
    cbfunc(PMIX_SUCCESS, held->data(), held->size(), cbdata, ReleaseUnion, held);
  }, std::move(nspace));
  if (s->callbacks.exchange) s->callbacks.exchange(std::move(blob), std::move(done));
  else done(std::move(blob));
  return PMIX_SUCCESS;
}

// A get of a rank on another node without a fence: the caller's fetch
// brings the data from the node that holds it.
pmix_status_t OnDirectModex(const pmix_proc_t* proc, const pmix_info_t*, size_t, pmix_modex_cbfunc_t cbfunc,
                            void* cbdata) {
  std::shared_ptr<PmixHost::State> s = CurrentHost();
  if (!s) return PMIX_ERR_NOT_AVAILABLE;
  UpcallGate::Pass pass(s->gate);
  if (!pass) return PMIX_ERR_NOT_AVAILABLE;
  std::string nspace = NspaceOf(proc);
  size_t size = s->job.hosts.size();
  if (nspace == s->job.nspace) {
    nspace.clear();
  } else {
    std::lock_guard<std::mutex> lock(s->mutex);
    auto at = s->addedSize.find(nspace);
    size = at == s->addedSize.end() ? 0 : static_cast<size_t>(at->second);
  }
  if (!s->callbacks.fetch || proc->rank >= static_cast<pmix_rank_t>(size)) return PMIX_ERR_NOT_SUPPORTED;
  auto once = std::make_shared<std::atomic<bool>>(false);
  s->callbacks.fetch(nspace, static_cast<int>(proc->rank), [s, once, cbfunc, cbdata](bool ok, std::string data) {
    UpcallGate::Pass inside(s->gate);
    if (!inside || once->exchange(true)) return;
    if (!ok) {
      cbfunc(PMIX_ERR_NOT_FOUND, nullptr, 0, cbdata, nullptr, nullptr);
      return;
    }
    auto* held = new std::string(std::move(data));
    cbfunc(PMIX_SUCCESS, held->data(), held->size(), cbdata, ReleaseUnion, held);
  });
  return PMIX_SUCCESS;
}

// The answer of PMIx_server_dmodex_request, on libpmix's thread.
struct ServeRequest {
  std::shared_ptr<PmixHost::State> state;
  std::function<void(bool, std::string)> answer;
};

void OnServed(pmix_status_t status, char* data, size_t size, void* cbdata) {
  std::unique_ptr<ServeRequest> request(static_cast<ServeRequest*>(cbdata));
  UpcallGate::Pass pass(request->state->gate);
  if (!pass) return;
  request->answer(status == PMIX_SUCCESS, status == PMIX_SUCCESS && data != nullptr ? std::string(data, size) : std::string());
}

// A topology, hwloc's first in the process: its plugins, all for I/O
// devices (PCI, OpenCL, GL, ...) or for XML through libxml2, are not loaded
// unless the user's environment names which to leave out. Loaded, they
// brought ICU, X11 and some thirty libraries more into every served run:
// a millisecond of a served run of one rank here. hwloc reads the variable
// when its first topology is made, and the ranks' environments are built
// from the process's own: it is there for that call only.
//
// Nor is the x86 component used where the kernel's files describe the
// processors: they give the same packages, cores, caches and processor
// model, and the component binds to every processor in turn to ask it with
// cpuid, each question a trap to the hypervisor on a virtual machine (half
// a millisecond of a served run here, more with more processors). What the
// ranks lose is the caches' "Inclusive" attribute.
bool TopologyWithoutPlugins(hwloc_topology_t* topology) {
  const char* kName = "HWLOC_PLUGINS_BLACKLIST";
  const bool set = getenv(kName) == nullptr &&
                   setenv(kName, "hwloc_pci,hwloc_opencl,hwloc_gl,hwloc_cuda,hwloc_nvml,hwloc_rsmi,hwloc_levelzero,"
                                 "hwloc_xml_libxml", 0) == 0;
  const bool made = hwloc_topology_init(topology) == 0;
  if (set) unsetenv(kName);
  if (made && access("/sys/devices/system/cpu/cpu0/topology/core_id", R_OK) == 0)
    hwloc_topology_set_components(*topology, HWLOC_TOPOLOGY_COMPONENTS_FLAG_BLACKLIST, "x86");
  return made;
}

pmix_status_t OnAbort(const pmix_proc_t* proc, void*, int status, const char msg[], pmix_proc_t*, size_t,
                      pmix_op_cbfunc_t cbfunc, void* cbdata) {
  std::shared_ptr<PmixHost::State> s = CurrentHost();
  if (!s) return PMIX_ERR_NOT_AVAILABLE;
  UpcallGate::Pass pass(s->gate);
  if (!pass) return PMIX_ERR_NOT_AVAILABLE;
  const std::string nspace = NspaceOf(proc);
  if (nspace != s->job.nspace) {
    if (s->callbacks.addedAbort) s->callbacks.addedAbort(nspace, static_cast<int>(proc->rank), status);
  } else if (s->callbacks.abort) {
    s->callbacks.abort(static_cast<int>(proc->rank), status, msg == nullptr ? "" : msg);
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
  std::shared_ptr<PmixHost::State> s = CurrentHost();
  if (!s) return PMIX_ERR_NOT_AVAILABLE;
  UpcallGate::Pass pass(s->gate);
  if (!pass) return PMIX_ERR_NOT_AVAILABLE;
  if (AddedClient(s.get(), proc, false)) return PMIX_OPERATION_SUCCEEDED;
  if (s->callbacks.connected) s->callbacks.connected(static_cast<int>(proc->rank));
  return PMIX_OPERATION_SUCCEEDED;
}

pmix_status_t OnFinalized(const pmix_proc_t* proc, void*, pmix_op_cbfunc_t, void*) {
  // The rank is released from its finalize once this returns, served or not.
  std::shared_ptr<PmixHost::State> s = CurrentHost();
  if (!s) return PMIX_OPERATION_SUCCEEDED;
  UpcallGate::Pass pass(s->gate);
  if (!pass) return PMIX_OPERATION_SUCCEEDED;
  if (AddedClient(s.get(), proc, true)) return PMIX_OPERATION_SUCCEEDED;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finalized.insert(static_cast<int>(proc->rank));
  }
  if (s->callbacks.finalized) s->callbacks.finalized(static_cast<int>(proc->rank));
  return PMIX_OPERATION_SUCCEEDED;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& dir) {
  if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool IsWritableDir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK | X_OK) == 0;
}

// A private directory under `parent`; empty `parent`: $TMPDIR when it is
// set, else /dev/shm (the server's files, its rendezvous and the job data
// that it rewrites for every job and client, then live in memory: on a disk
// its start took 4 to 6 ms more), else /tmp. The name carries the pid of
// the process that serves, so that what a killed one left can be told from
// what a running one holds.
std::string MakePrivateDir(const std::string& parent) {
  std::string base = parent;
  if (base.empty()) {
    const char* t = getenv("TMPDIR");
    base = (t != nullptr && *t != '\0') ? t : IsWritableDir("/dev/shm") ? "/dev/shm" : "/tmp";
  }
  std::string pattern = base + "/tarvo-pmix-" + std::to_string(getpid()) + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return std::string();
  return std::string(buf.data());
}

// libpmix 4.2's finalize can block for good once a client has died in the
// middle of its connection handshake (a rank killed in MPI_Init): the
// handshake's error path leaves one of the library's locks taken. The end of
// a run must not wait on that, so the finalize runs on a thread of its own
// and is given a few seconds; past them the host goes on without it, and the
// blocked thread ends with the process.
bool FinalizeServer() {
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread([done] {
    PMIx_server_finalize();
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(done->mutex);
  return done->cv.wait_for(lock, std::chrono::seconds(3), [&done] { return done->done; });
}

// The server's fork set-up of `rank` of `nspace`: NAME=VALUE entries.
pmix_status_t SetupFork(const std::string& nspace, int rank, std::vector<std::string>* entries) {
  pmix_proc_t proc;
  PMIX_LOAD_PROCID(&proc, nspace.c_str(), static_cast<pmix_rank_t>(rank));
  char** env = nullptr;
  const pmix_status_t rc = PMIx_server_setup_fork(&proc, &env);
  for (char** e = env; e != nullptr && *e != nullptr; ++e) {
    entries->emplace_back(*e);
    free(*e);
  }
  free(env);
  return rc;
}

std::string Why(const char* what, pmix_status_t rc) {
  return std::string(what) + ": " + PMIx_Error_string(rc);
}

}  // namespace

PmixHost::PmixHost() : state_(std::make_shared<State>()) {}

PmixHost::~PmixHost() { Stop(); }

bool PmixHost::Finalized(int rank) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finalized.count(rank) != 0;
}

std::vector<std::string> PmixHost::PrivateDirs() const {
  std::vector<std::string> dirs;
  for (const std::string* d : {&state_->tmpDir, &state_->shmDir}) {
    if (!d->empty()) dirs.push_back(*d);
  }
  return dirs;
}

std::vector<std::string> PmixHost::Environment(int rank) const {
  auto it = state_->environments.find(rank);
  return it == state_->environments.end() ? std::vector<std::string>() : it->second;
}

bool PmixHost::Start(const PmixJob& job, PmixCallbacks callbacks, std::string* error) {
  std::string problem = CheckJob(job);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  if (g_started.exchange(true)) {
    *error = "the PMIx server has already run in this process (libpmix starts it once)";
    return false;
  }
  {
    HostSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.host = state_;
  }
  State& s = *state_;
  s.job = job;
  s.callbacks = std::move(callbacks);
  s.localRanks = LocalRanksOf(job);
  s.tmpDir = MakePrivateDir(job.tmpParent);
  if (s.tmpDir.empty()) {
    *error = "cannot create a private directory for the PMIx server";
    Stop();
    return false;
  }
  struct stat shm;
  if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) s.shmDir = MakePrivateDir("/dev/shm");
  s.gate.Open();

  static pmix_server_module_t module;  // the library keeps a pointer to it
  std::memset(&module, 0, sizeof module);
  module.client_connected2 = OnConnected;
  module.client_finalized = OnFinalized;
  module.abort = OnAbort;
  module.fence_nb = OnFence;
  AddNameUpcalls(&module, &s.callbacks, job.nspace);
  module.direct_modex = OnDirectModex;
  AddSpawnUpcall(&module, &s.callbacks);

  InfoList init;
  init.Add(PMIX_SERVER_TMPDIR, s.tmpDir);
  init.Add(PMIX_SYSTEM_TMPDIR, s.tmpDir);
  init.Add(PMIX_HOSTNAME, job.thisHost);
  init.AddBool(PMIX_SERVER_SHARE_TOPOLOGY, true);
  // Left to itself libpmix loads the node's topology with its I/O devices,
  // reading every PCI device's configuration space: 13 of the 19 ms that
  // serving cost a run here (a virtual machine, where each read traps). The
  // ranks need the processors and caches only.
  if (!TopologyWithoutPlugins(&s.topology)) {
    s.topology = nullptr;
  } else {
    hwloc_topology_set_io_types_filter(s.topology, HWLOC_TYPE_FILTER_KEEP_NONE);
    if (hwloc_topology_load(s.topology) == 0) {
      pmix_topology_t given{const_cast<char*>("hwloc"), s.topology};
      init.AddTopology(PMIX_TOPOLOGY2, &given);
    }
  }
  // The library may keep pointers into what it is given (the topology, a
  // copy of which the list holds): the list lives as long as the server.
  s.initInfo = init.Take();
  pmix_status_t rc = PMIx_server_init(&module, static_cast<pmix_info_t*>(s.initInfo.array), s.initInfo.size);
  if (rc != PMIX_SUCCESS) {
    *error = Why("PMIx_server_init", rc);
    Stop();
    return false;
  }
  s.serverUp = true;

  pmix_data_array_t facts;
  problem = JobInfo(job, s.tmpDir, &facts);
  if (!problem.empty()) {
    *error = problem;
    Stop();
    return false;
  }
  pmix_nspace_t nspace;
  PMIX_LOAD_NSPACE(nspace, job.nspace.c_str());
  Completion registered;
  rc = PMIx_server_register_nspace(nspace, static_cast<int>(s.localRanks.size()),
                                   static_cast<pmix_info_t*>(facts.array), facts.size, Completion::Signal,
                                   &registered);
  if (rc == PMIX_SUCCESS) rc = registered.Wait();
  PMIx_Data_array_destruct(&facts);
  if (rc != PMIX_SUCCESS && rc != PMIX_OPERATION_SUCCEEDED) {
    *error = Why("PMIx_server_register_nspace", rc);
    Stop();
    return false;
  }

  // Every client is registered at once: the library's thread takes the
  // requests while this one prepares the environments, and this one waits
  // once, not once a rank.
  const size_t n = s.localRanks.size();
  std::deque<Completion> clients(n);
  for (size_t i = 0; i < n; ++i) {
    pmix_proc_t proc;
    PMIX_LOAD_PROCID(&proc, job.nspace.c_str(), static_cast<pmix_rank_t>(s.localRanks[i]));
    rc = PMIx_server_register_client(&proc, getuid(), getgid(), nullptr, Completion::Signal, &clients[i]);
    if (rc != PMIX_SUCCESS) Completion::Signal(rc, &clients[i]);  // no callback comes
  }
  // A rank's environment differs from another's by its PMIX_RANK alone (as
  // the first two show; else each is asked for): the rest are made from the
  // first.
  const std::vector<std::string> openMpi = OpenMpiEnvironment(job, s.shmDir.empty() ? s.tmpDir : s.shmDir);
  std::vector<std::string> model;
  size_t rankAt = 0;
  bool modelled = false;
  for (size_t i = 0; i < n && rc == PMIX_SUCCESS; ++i) {
    const int rank = s.localRanks[i];
    const std::string rankEntry = "PMIX_RANK=" + std::to_string(rank);
    std::vector<std::string> entries;
    if (modelled) {
      entries = model;
      entries[rankAt] = rankEntry;
    } else {
      rc = SetupFork(job.nspace, rank, &entries);
      if (i == 0) model = entries;
      auto at = std::find(model.begin(), model.end(), "PMIX_RANK=" + std::to_string(s.localRanks[0]));
      if (i == 1 && at != model.end()) {
        rankAt = static_cast<size_t>(at - model.begin());
        std::vector<std::string> expected = model;
        expected[rankAt] = rankEntry;
        modelled = expected == entries;
      }
    }
    entries.insert(entries.end(), openMpi.begin(), openMpi.end());
    s.environments[rank] = std::move(entries);
  }
  if (rc != PMIX_SUCCESS) *error = Why("PMIx_server_setup_fork", rc);
  for (Completion& client : clients) {
    const pmix_status_t registered = client.Wait();
    if (rc == PMIX_SUCCESS && registered != PMIX_SUCCESS && registered != PMIX_OPERATION_SUCCEEDED) {
      rc = registered;
      *error = Why("PMIx_server_register_client", registered);
    }
  }
  if (rc != PMIX_SUCCESS) {
    Stop();
    return false;
  }
  return true;
}

void PmixHost::ServeRank(int rank, std::function<void(bool ok, std::string data)> answer) {
  ServeRank(std::string(), rank, std::move(answer));
}

void PmixHost::ServeRank(const std::string& nspace, int rank, std::function<void(bool ok, std::string data)> answer) {
  UpcallGate::Pass pass(state_->gate);
  if (!pass) return answer(false, std::string());
  pmix_proc_t proc;
  PMIX_LOAD_PROCID(&proc, nspace.empty() ? state_->job.nspace.c_str() : nspace.c_str(), static_cast<pmix_rank_t>(rank));
  auto* request = new ServeRequest{state_, answer};
  if (PMIx_server_dmodex_request(&proc, OnServed, request) != PMIX_SUCCESS) {
    delete request;
    answer(false, std::string());
  }
}

bool PmixHost::AddJob(const PmixJob& job, std::string* error) {
  State& s = *state_;
  std::string problem = CheckJob(job);
  if (problem.empty() && (!s.serverUp || CurrentHost() != state_)) problem = "the PMIx server is not running";
  if (problem.empty()) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (job.nspace == s.job.nspace || s.added.count(job.nspace) != 0 || s.addedSize.count(job.nspace) != 0)
      problem = "namespace in use";
  }
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  pmix_data_array_t facts;
  problem = JobInfo(job, s.tmpDir, &facts);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  const std::vector<int> ranks = LocalRanksOf(job);
  pmix_nspace_t nspace;
  PMIX_LOAD_NSPACE(nspace, job.nspace.c_str());
  Completion registered;
  pmix_status_t rc = PMIx_server_register_nspace(nspace, static_cast<int>(ranks.size()),
                                                 static_cast<pmix_info_t*>(facts.array), facts.size,
                                                 Completion::Signal, &registered);
  if (rc == PMIX_SUCCESS) rc = registered.Wait();
  PMIx_Data_array_destruct(&facts);
  if (rc != PMIX_SUCCESS && rc != PMIX_OPERATION_SUCCEEDED) {
    *error = Why("PMIx_server_register_nspace", rc);
    return false;
  }
  // Registered once the namespace is: an answer to a name request may name it.
  AddServedNamespace(job.nspace);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.addedSize[job.nspace] = static_cast<int>(job.hosts.size());
  }
  // All or nothing: a job that fails part-way is taken out of the server
  // again, its namespace with the clients registered so far, so that none
  // of it is served and its namespace can be added afresh (a refused
  // spawn's job number, and so its namespace, is the next spawn's).
  auto undo = [&s, &job, &nspace, error](const std::string& why) {
    ForgetServedNamespace(job.nspace);
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.addedSize.erase(job.nspace);
    }
    Completion gone;
    PMIx_server_deregister_nspace(nspace, Completion::Signal, &gone);
    gone.Wait();
    *error = why;
    return false;
  };
  const std::vector<std::string> openMpi = OpenMpiEnvironment(job, s.shmDir.empty() ? s.tmpDir : s.shmDir);
  std::map<int, std::vector<std::string>> environments;
  for (int rank : ranks) {
    pmix_proc_t proc;
    PMIX_LOAD_PROCID(&proc, job.nspace.c_str(), static_cast<pmix_rank_t>(rank));
    Completion client;
    rc = PMIx_server_register_client(&proc, getuid(), getgid(), nullptr, Completion::Signal, &client);
    if (rc == PMIX_SUCCESS) rc = client.Wait();
    if (rc != PMIX_SUCCESS && rc != PMIX_OPERATION_SUCCEEDED) return undo(Why("PMIx_server_register_client", rc));
    std::vector<std::string> entries;
    rc = SetupFork(job.nspace, rank, &entries);
    if (rc != PMIX_SUCCESS) return undo(Why("PMIx_server_setup_fork", rc));
    entries.insert(entries.end(), openMpi.begin(), openMpi.end());
    environments[rank] = std::move(entries);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.added[job.nspace] = std::move(environments);
  return true;
}

std::vector<std::string> PmixHost::Environment(const std::string& nspace, int rank) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto job = state_->added.find(nspace);
  if (job == state_->added.end()) return std::vector<std::string>();
  auto it = job->second.find(rank);
  return it == job->second.end() ? std::vector<std::string>() : it->second;
}

bool PmixHost::Unfinalized(const std::string& nspace, int rank) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->addedConnected.count({nspace, rank}) != 0 && state_->addedFinalized.count({nspace, rank}) == 0;
}

void PmixHost::Stop() {
  State& s = *state_;
  {
    // Once: the first Stop takes the host out of the slot.
    HostSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.host != state_) return;
    slot.host.reset();
  }
  // The calls inside finish first (a fence completion, a callback, a name
  // upcall); every later one, before the finalize, during it or after its
  // time-out, is dropped. The callbacks, and what they hold of the owner,
  // go now.
  StopNameUpcalls();
  StopSpawnUpcall();
  s.gate.Close();
  s.callbacks = PmixCallbacks();
  // A finalize still blocked may yet read what the server was given: that is
  // then left to the end of the process.
  const bool finalized = !s.serverUp || FinalizeServer();
  s.serverUp = false;
  if (finalized) {
    if (s.initInfo.array != nullptr) PMIx_Data_array_destruct(&s.initInfo);
    if (s.topology != nullptr) hwloc_topology_destroy(s.topology);
  } else {
    HostSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (s.initInfo.array != nullptr) slot.leftInfo.push_back(s.initInfo);
    if (s.topology != nullptr) slot.leftTopologies.push_back(s.topology);
  }
  s.initInfo = pmix_data_array_t{PMIX_UNDEF, 0, nullptr};
  s.topology = nullptr;
  RemoveTree(s.tmpDir);
  s.tmpDir.clear();
  RemoveTree(s.shmDir);
  s.shmDir.clear();
  s.localRanks.clear();
  s.environments.clear();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.added.clear();
  s.addedSize.clear();
}

}  // namespace pmi
