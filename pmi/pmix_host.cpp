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

#include "pmi/pmix_facts.h"
#include "pmi/pmix_names.h"
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
  // `serving` guards the library's callbacks and late fence completions
  // against a server that Stop is finalizing.
  std::mutex mutex;
  bool serving = false;
  std::set<int> finalized;
  // Jobs that ranks spawned (AddJob): their environments, and which of
  // their ranks connected and finalized (under mutex).
  std::map<std::string, std::map<int, std::vector<std::string>>> added;
  std::set<std::pair<std::string, int>> addedConnected, addedFinalized;
  std::weak_ptr<State> self;  // for the fence completions, which may outlive the host
  // What the server was started with: the node's topology and the list
  // that holds it. Freed once the server has finalized.
  hwloc_topology_t topology = nullptr;
  pmix_data_array_t initInfo{PMIX_UNDEF, 0, nullptr};
};

namespace {

// libpmix holds one server per process, and its callbacks carry no pointer
// of ours: they find the running host here.
std::atomic<PmixHost::State*> g_host{nullptr};
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

bool Serving(PmixHost::State* s) {
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->serving;
}

void ReleaseUnion(void* held) { delete static_cast<std::string*>(held); }

pmix_status_t OnFence(const pmix_proc_t*, size_t, const pmix_info_t*, size_t, char* data, size_t ndata,
                      pmix_modex_cbfunc_t cbfunc, void* cbdata) {
  PmixHost::State* host = g_host.load();
  if (host == nullptr) return PMIX_ERR_NOT_SUPPORTED;
  std::shared_ptr<PmixHost::State> s = host->self.lock();
  std::string blob = data == nullptr ? std::string() : std::string(data, ndata);
  auto done = [s, cbfunc, cbdata](std::string all) {
    // The library copies the union on its own thread and then releases it.
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->serving) return;
    auto* held = new std::string(std::move(all));
    cbfunc(PMIX_SUCCESS, held->data(), held->size(), cbdata, ReleaseUnion, held);
  };
  if (s->callbacks.exchange) s->callbacks.exchange(std::move(blob), std::move(done));
  else done(std::move(blob));
  return PMIX_SUCCESS;
}

std::string NspaceOf(const pmix_proc_t* proc) {
  return std::string(proc->nspace, strnlen(proc->nspace, PMIX_MAX_NSLEN));
}

pmix_status_t OnAbort(const pmix_proc_t* proc, void*, int status, const char msg[], pmix_proc_t*, size_t,
                      pmix_op_cbfunc_t cbfunc, void* cbdata) {
  PmixHost::State* s = g_host.load();
  const std::string nspace = NspaceOf(proc);
  if (s != nullptr && nspace != s->job.nspace) {
    if (Serving(s) && s->callbacks.addedAbort) s->callbacks.addedAbort(nspace, static_cast<int>(proc->rank), status);
  } else if (s != nullptr && Serving(s) && s->callbacks.abort) {
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
  PmixHost::State* s = g_host.load();
  if (s != nullptr && AddedClient(s, proc, false)) return PMIX_OPERATION_SUCCEEDED;
  if (s != nullptr && Serving(s) && s->callbacks.connected) s->callbacks.connected(static_cast<int>(proc->rank));
  return PMIX_OPERATION_SUCCEEDED;
}

pmix_status_t OnFinalized(const pmix_proc_t* proc, void*, pmix_op_cbfunc_t, void*) {
  PmixHost::State* s = g_host.load();
  if (s == nullptr || AddedClient(s, proc, true)) return PMIX_OPERATION_SUCCEEDED;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->serving) return PMIX_OPERATION_SUCCEEDED;
    s->finalized.insert(static_cast<int>(proc->rank));
  }
  if (s->callbacks.finalized) s->callbacks.finalized(static_cast<int>(proc->rank));
  // The rank is released from its finalize once this returns.
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

std::string MakePrivateDir(const std::string& parent) {
  std::string base = parent;
  if (base.empty()) {
    const char* t = getenv("TMPDIR");
    base = (t != nullptr && *t != '\0') ? t : "/tmp";
  }
  std::string pattern = base + "/tarvo-pmix-XXXXXX";
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

PmixHost::PmixHost() : state_(std::make_shared<State>()) { state_->self = state_; }

PmixHost::~PmixHost() { Stop(); }

const std::vector<int>& PmixHost::LocalRanks() const { return state_->localRanks; }

bool PmixHost::Finalized(int rank) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finalized.count(rank) != 0;
}

const std::string& PmixHost::TmpDir() const { return state_->tmpDir; }

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
  g_host.store(state_.get());
  State& s = *state_;
  s.job = job;
  s.callbacks = std::move(callbacks);
  s.localRanks = LocalRanksOf(job);
  // The server's files (its rendezvous, the shared job data that it
  // rewrites for every job and client) go to memory when the machine has
  // it: on a disk the server's start took 4 to 6 ms more.
  s.tmpDir = MakePrivateDir(!job.tmpParent.empty() || !IsWritableDir("/dev/shm") ? job.tmpParent : "/dev/shm");
  if (s.tmpDir.empty()) {
    *error = "cannot create a private directory for the PMIx server";
    g_host.store(nullptr);
    return false;
  }
  struct stat shm;
  if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) s.shmDir = MakePrivateDir("/dev/shm");
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.serving = true;
  }

  static pmix_server_module_t module;  // the library keeps a pointer to it
  std::memset(&module, 0, sizeof module);
  module.client_connected2 = OnConnected;
  module.client_finalized = OnFinalized;
  module.abort = OnAbort;
  module.fence_nb = OnFence;
  AddNameUpcalls(&module, &s.callbacks, job.nspace);
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
  if (hwloc_topology_init(&s.topology) != 0) {
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

bool PmixHost::AddJob(const PmixJob& job, std::string* error) {
  State& s = *state_;
  std::string problem = CheckJob(job);
  if (problem.empty() && (!s.serverUp || g_host.load() != &s)) problem = "the PMIx server is not running";
  if (problem.empty() && (job.nspace == s.job.nspace || s.added.count(job.nspace) != 0)) problem = "namespace in use";
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
  const std::vector<std::string> openMpi = OpenMpiEnvironment(job, s.shmDir.empty() ? s.tmpDir : s.shmDir);
  std::map<int, std::vector<std::string>> environments;
  for (int rank : ranks) {
    pmix_proc_t proc;
    PMIX_LOAD_PROCID(&proc, job.nspace.c_str(), static_cast<pmix_rank_t>(rank));
    Completion client;
    rc = PMIx_server_register_client(&proc, getuid(), getgid(), nullptr, Completion::Signal, &client);
    if (rc == PMIX_SUCCESS) rc = client.Wait();
    if (rc != PMIX_SUCCESS && rc != PMIX_OPERATION_SUCCEEDED) {
      *error = Why("PMIx_server_register_client", rc);
      return false;
    }
    std::vector<std::string> entries;
    rc = SetupFork(job.nspace, rank, &entries);
    if (rc != PMIX_SUCCESS) {
      *error = Why("PMIx_server_setup_fork", rc);
      return false;
    }
    entries.insert(entries.end(), openMpi.begin(), openMpi.end());
    environments[rank] = std::move(entries);
  }
  s.added[job.nspace] = std::move(environments);
  return true;
}

std::vector<std::string> PmixHost::Environment(const std::string& nspace, int rank) const {
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
  if (g_host.load() != &s) return;
  {
    // A fence completion in flight finishes first; later ones are dropped.
    std::lock_guard<std::mutex> lock(s.mutex);
    s.serving = false;
  }
  StopNameUpcalls();
  StopSpawnUpcall();
  // A finalize still blocked may yet read what the server was given: that is
  // then left to the end of the process.
  const bool finalized = !s.serverUp || FinalizeServer();
  s.serverUp = false;
  if (finalized) {
    if (s.initInfo.array != nullptr) PMIx_Data_array_destruct(&s.initInfo);
    s.initInfo = pmix_data_array_t{PMIX_UNDEF, 0, nullptr};
    if (s.topology != nullptr) hwloc_topology_destroy(s.topology);
    s.topology = nullptr;
  }
  RemoveTree(s.tmpDir);
  s.tmpDir.clear();
  RemoveTree(s.shmDir);
  s.shmDir.clear();
  s.localRanks.clear();
  s.environments.clear();
  s.added.clear();
  g_host.store(nullptr);
}

std::vector<std::string> MergeEnvironment(const std::vector<std::string>& base,
                                          const std::vector<std::string>& ours) {
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::map<std::string, bool> set;
  for (const std::string& e : ours) set[nameOf(e)] = true;
  std::vector<std::string> merged;
  for (const std::string& e : base) {
    std::string name = nameOf(e);
    if (name.compare(0, 5, "PMIX_") == 0 || set.count(name) != 0) continue;
    merged.push_back(e);
  }
  merged.insert(merged.end(), ours.begin(), ours.end());
  return merged;
}

}  // namespace pmi
