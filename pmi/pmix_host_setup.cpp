// What the PMIx host is started and stopped with, beside libpmix's server
// itself: the private directories, the node's topology, the clients' fork
// set-up and a finalize with a bound.
#include <ftw.h>
#include <pmix.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pmi/pmix_server_state.h"

namespace pmi {

namespace {

bool IsWritableDir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK | X_OK) == 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

// A topology, hwloc's first in the process: its plugins, all for I/O
// devices (PCI, OpenCL, GL, ...) or for XML through libxml2, are not loaded
// unless the user's environment names which to leave out: loaded, they
// bring ICU, X11 and some thirty libraries more into every served run.
// hwloc reads the variable
// when its first topology is made, and the ranks' environments are built
// from the process's own: it is there for that call only.
//
// Nor is the x86 component used where the kernel's files describe the
// processors: they give the same packages, cores, caches and processor
// model, and the component binds to every processor in turn to ask it with
// cpuid, each question a trap to the hypervisor on a virtual machine, more
// of them with more processors. What the ranks lose is the caches' "Inclusive" attribute.
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

void RemoveTree(const std::string& dir) {
  if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A private directory under `parent`; empty `parent`: $TMPDIR when it is
// set, else /dev/shm (the server's files, its rendezvous and the job data
// that it rewrites for every job and client, then live in memory, not on a
// disk), else /tmp. The name carries the pid of
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

}  // namespace pmi
