// The PMIx server of one node: libpmix's server API behind PmixHost.
#include "pmi/pmix_host.h"

#include <pmix.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "pmi/pmix_facts.h"
#include "pmi/pmix_server_state.h"

namespace pmi {

namespace {

// The process's one slot for libpmix's server, which the library allows
// once in a process's life and whose upcalls carry no pointer of ours (see
// pmix_server_state.h). Never destroyed: a finalize that did not end in
// time leaves the library's threads running into the process's exit, and
// they may still read the upcall table and what the server was given.
struct HostSlot {
  std::mutex mutex;
  std::shared_ptr<PmixHost::State> host;  // the host that serves, if any
  // After PMIx_server_finalize the library cannot start a server again in
  // the same process (a second init fails deep inside it).
  bool started = false;
  // The upcall table: libpmix is given its address.
  pmix_server_module_t module;
  // What a server whose finalize did not end was given, and may still
  // read: left, but held, to the end of the process.
  std::vector<pmix_data_array_t> leftInfo;
  std::vector<hwloc_topology_t> leftTopologies;
};
HostSlot& Slot() {
  static HostSlot* slot = new HostSlot;
  return *slot;
}

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

// The private directories: the server's own, and one in /dev/shm when it
// is there.
bool MakeDirs(PmixHost::State* s, std::string* error) {
  s->tmpDir = MakePrivateDir(s->job.tmpParent);
  if (s->tmpDir.empty()) {
    *error = "cannot create a private directory for the PMIx server";
    return false;
  }
  struct stat shm;
  if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) s->shmDir = MakePrivateDir("/dev/shm");
  return true;
}

// PMIx_server_init with the upcalls that the callbacks serve.
bool InitServer(PmixHost::State* s, pmix_server_module_t* module, std::string* error) {
  std::memset(module, 0, sizeof *module);
  AddHostUpcalls(module);
  AddNameUpcalls(module, s->callbacks);
  AddSpawnUpcall(module, s->callbacks);
  InfoList init;
  init.Add(PMIX_SERVER_TMPDIR, s->tmpDir);
  init.Add(PMIX_SYSTEM_TMPDIR, s->tmpDir);
  init.Add(PMIX_HOSTNAME, s->job.thisHost);
  init.AddBool(PMIX_SERVER_SHARE_TOPOLOGY, true);
  // Left to itself libpmix loads the node's topology with its I/O devices,
  // reading every PCI device's configuration space, most of what serving
  // costs a run on a virtual machine, where each read traps. The ranks
  // need the processors and caches only.
  if (!TopologyWithoutPlugins(&s->topology)) {
    s->topology = nullptr;
  } else {
    hwloc_topology_set_io_types_filter(s->topology, HWLOC_TYPE_FILTER_KEEP_NONE);
    if (hwloc_topology_load(s->topology) == 0) {
      pmix_topology_t given{const_cast<char*>("hwloc"), s->topology};
      init.AddTopology(PMIX_TOPOLOGY2, &given);
    }
  }
  // The library may keep pointers into what it is given (the topology, a
  // copy of which the list holds): the list lives as long as the server.
  s->initInfo = init.Take();
  const pmix_status_t rc = PMIx_server_init(module, static_cast<pmix_info_t*>(s->initInfo.array), s->initInfo.size);
  if (rc != PMIX_SUCCESS) {
    *error = Why("PMIx_server_init", rc);
    return false;
  }
  s->serverUp = true;
  return true;
}

// Registers `job`'s facts, with `localRanks` of its ranks on this node.
bool RegisterNspace(const PmixJob& job, const std::string& tmpDir, size_t localRanks, std::string* error) {
  pmix_data_array_t facts;
  const std::string problem = JobInfo(job, tmpDir, &facts);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  pmix_nspace_t nspace;
  PMIX_LOAD_NSPACE(nspace, job.nspace.c_str());
  Completion registered;
  pmix_status_t rc = PMIx_server_register_nspace(nspace, static_cast<int>(localRanks),
                                                 static_cast<pmix_info_t*>(facts.array), facts.size,
                                                 Completion::Signal, &registered);
  if (rc == PMIX_SUCCESS) rc = registered.Wait();
  PMIx_Data_array_destruct(&facts);
  if (rc != PMIX_SUCCESS && rc != PMIX_OPERATION_SUCCEEDED) {
    *error = Why("PMIx_server_register_nspace", rc);
    return false;
  }
  return true;
}

// The environments of the first job's ranks on this node. A rank's
// environment differs from another's by its PMIX_RANK alone (as the first
// two show; else each is asked for): the rest are made from the first.
pmix_status_t PrepareEnvironments(PmixHost::State* s) {
  const std::vector<std::string> openMpi = OpenMpiEnvironment(s->job, s->shmDir.empty() ? s->tmpDir : s->shmDir);
  const std::vector<int>& ranks = s->localRanks;
  std::vector<std::string> model;
  size_t rankAt = 0;
  bool modelled = false;
  pmix_status_t rc = PMIX_SUCCESS;
  for (size_t i = 0; i < ranks.size() && rc == PMIX_SUCCESS; ++i) {
    const std::string rankEntry = "PMIX_RANK=" + std::to_string(ranks[i]);
    std::vector<std::string> entries;
    if (modelled) {
      entries = model;
      entries[rankAt] = rankEntry;
    } else {
      rc = SetupFork(s->job.nspace, ranks[i], &entries);
      if (i == 0) model = entries;
      auto at = std::find(model.begin(), model.end(), "PMIX_RANK=" + std::to_string(ranks[0]));
      if (i == 1 && at != model.end()) {
        rankAt = static_cast<size_t>(at - model.begin());
        std::vector<std::string> expected = model;
        expected[rankAt] = rankEntry;
        modelled = expected == entries;
      }
    }
    entries.insert(entries.end(), openMpi.begin(), openMpi.end());
    s->environments[ranks[i]] = std::move(entries);
  }
  return rc;
}

// Registers the first job's clients on this node and prepares their
// environments. Every client is registered at once: the library's thread
// takes the requests while this one prepares the environments, and this
// one waits once, not once a rank.
bool RegisterClients(PmixHost::State* s, std::string* error) {
  std::deque<Completion> clients(s->localRanks.size());
  for (size_t i = 0; i < clients.size(); ++i) {
    pmix_proc_t proc;
    PMIX_LOAD_PROCID(&proc, s->job.nspace.c_str(), static_cast<pmix_rank_t>(s->localRanks[i]));
    const pmix_status_t rc = PMIx_server_register_client(&proc, getuid(), getgid(), nullptr, Completion::Signal,
                                                         &clients[i]);
    if (rc != PMIX_SUCCESS) Completion::Signal(rc, &clients[i]);  // no callback comes
  }
  pmix_status_t rc = PrepareEnvironments(s);
  if (rc != PMIX_SUCCESS) *error = Why("PMIx_server_setup_fork", rc);
  for (Completion& client : clients) {
    const pmix_status_t registered = client.Wait();
    if (rc == PMIX_SUCCESS && registered != PMIX_SUCCESS && registered != PMIX_OPERATION_SUCCEEDED) {
      rc = registered;
      *error = Why("PMIx_server_register_client", registered);
    }
  }
  return rc == PMIX_SUCCESS;
}

// The environments of an added job's ranks on this node, each client
// registered first; false, why, at the first that fails.
bool RegisterAddedClients(const PmixHost::State& s, const PmixJob& job,
                          std::map<int, std::vector<std::string>>* environments, std::string* error) {
  const std::vector<std::string> openMpi = OpenMpiEnvironment(job, s.shmDir.empty() ? s.tmpDir : s.shmDir);
  for (int rank : LocalRanksOf(job)) {
    pmix_proc_t proc;
    PMIX_LOAD_PROCID(&proc, job.nspace.c_str(), static_cast<pmix_rank_t>(rank));
    Completion client;
    pmix_status_t rc = PMIx_server_register_client(&proc, getuid(), getgid(), nullptr, Completion::Signal, &client);
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
    (*environments)[rank] = std::move(entries);
  }
  return true;
}

}  // namespace

std::shared_ptr<PmixHost::State> CurrentHost() {
  HostSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.host;
}

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
  const std::string problem = CheckJob(job);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  HostSlot& slot = Slot();
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.started) {
      *error = "the PMIx server has already run in this process (libpmix starts it once)";
      return false;
    }
    slot.started = true;
    slot.host = state_;
  }
  State& s = *state_;
  s.job = job;
  s.callbacks = std::move(callbacks);
  s.localRanks = LocalRanksOf(job);
  if (!MakeDirs(&s, error)) {
    Stop();
    return false;
  }
  s.gate.Open();
  // The table is written once, before the init, in the process's one slot.
  if (!InitServer(&s, &slot.module, error) || !RegisterNspace(job, s.tmpDir, s.localRanks.size(), error) ||
      !RegisterClients(&s, error)) {
    Stop();
    return false;
  }
  return true;
}

void PmixHost::ServeRank(const std::string& nspace, int rank, std::function<void(bool ok, std::string data)> answer) {
  HostCall call(state_);
  if (!call) return answer(false, std::string());
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
  if (!RegisterNspace(job, s.tmpDir, LocalRanksOf(job).size(), error)) return false;
  // Served once the namespace is registered: an answer to a name request
  // may name it.
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.addedSize[job.nspace] = static_cast<int>(job.hosts.size());
  }
  std::map<int, std::vector<std::string>> environments;
  if (!RegisterAddedClients(s, job, &environments, error)) {
    // All or nothing: a job that fails part-way is taken out of the server
    // again, its namespace with the clients registered so far, so that none
    // of it is served and its namespace can be added afresh (a refused
    // spawn's job number, and so its namespace, is the next spawn's).
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.addedSize.erase(job.nspace);
    }
    pmix_nspace_t nspace;
    PMIX_LOAD_NSPACE(nspace, job.nspace.c_str());
    Completion gone;
    PMIx_server_deregister_nspace(nspace, Completion::Signal, &gone);
    gone.Wait();
    return false;
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
  HostSlot& slot = Slot();
  {
    // Once: the first Stop takes the host out of the slot.
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.host != state_) return;
    slot.host.reset();
  }
  // The calls inside finish first (an upcall, an answer on its way back);
  // every later one, before the finalize, during it or after its time-out,
  // is dropped. The callbacks, and what they hold of the owner, go now.
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
