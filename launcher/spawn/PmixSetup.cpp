#include "launcher/spawn/PmixSetup.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "common/carrier_exec.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/RunControl.h"
#include "pmi/pmix_relay.h"

namespace spawnplan {

namespace {

// Whether the ELF file `head` (its first MiB) names Open MPI's or libpmix's
// library: the dynamic section's strings are near the start of the file.
bool NamesPmixLibrary(const std::string& head) {
  for (const char* name : {"libmpi.so", "libpmix.so", "libopen-rte.so", "libopen-pal.so"}) {
    if (head.find(name) != std::string::npos) return true;
  }
  return false;
}

// The first MiB of the file at `path`; false when it cannot be read.
bool ReadHead(const std::string& path, std::string* head) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  head->assign(1 << 20, '\0');
  head->resize(fread(&(*head)[0], 1, head->size(), f));
  fclose(f);
  return true;
}

bool IsElf(const std::string& head) { return head.compare(0, 4, "\x7f" "ELF") == 0; }

// Whether the program of `path` may speak PMIx: a script (which may start
// one, as python does for mpi4py), a file that is not here to read, or a
// program that names Open MPI's or libpmix's library. A program that names
// neither never asks for a server, and the run saves its cost.
bool MaySpeakPmix(const std::string& path) {
  std::string head;
  return !ReadHead(path, &head) || !IsElf(head) || NamesPmixLibrary(head);
}

// The program file of each distinct program of `plans`, as carrier would
// find it here.
std::vector<std::string> ProgramFiles(const std::vector<ExecPlan>& plans) {
  std::set<std::string> seen;
  std::vector<std::string> files;
  for (const ExecPlan& plan : plans) {
    auto at = std::find(plan.vector.begin(), plan.vector.end(), std::string("carrier"));
    if (plan.vector.end() - at < TARVO_PARAMS + 2) continue;
    const std::string& program = at[1];
    const std::string& workdir = plan.vector.end()[TARVO_PARAM_WORKDIR - TARVO_PARAMS];
    if (!seen.insert(program + '\0' + workdir).second) continue;
    char file[PATH_MAX];
    const int found = CarrierLookup(program.c_str(), workdir.c_str(), workdir.c_str(), file, sizeof file);
    std::string path = found == CARRIER_AS_GIVEN ? program : std::string(file);
    if (!path.empty() && path[0] != '/') path = workdir + "/" + path;
    files.push_back(path);
  }
  return files;
}

// TARVO_PMIX=auto: whether a rank's program may speak PMIx.
bool Wanted(const std::vector<ExecPlan>& plans) {
  if (RunControlSettings().pmix >= 0) return RunControlSettings().pmix == 1;
  for (const ExecPlan& plan : plans) {
    auto at = std::find(plan.vector.begin(), plan.vector.end(), std::string("carrier"));
    if (plan.vector.end() - at < TARVO_PARAMS + 2) return true;
  }
  const std::vector<std::string> files = ProgramFiles(plans);
  return std::any_of(files.begin(), files.end(), MaySpeakPmix);
}

}  // namespace

void ServePmix(MpiServer* mpi, std::vector<ExecPlan>& plans, std::vector<std::string> hosts,
               const std::vector<int>& appnums, const std::vector<int>& agentOf,
               const std::vector<std::string>& agentHosts, AgentHub* hub) {
  if (!MpiHavePmix() || hosts.empty() || !Wanted(plans)) return;
  pmi::PmixJob job;
  job.nspace = "tarvo_" + std::to_string(getpid());
  auto own = std::find(agentOf.begin(), agentOf.end(), -1);
  job.thisHost = own != agentOf.end() ? hosts[static_cast<size_t>(own - agentOf.begin())] : std::string();
  for (size_t i = 0; i < hosts.size(); ++i) {
    hosts[i] = agentOf[i] < 0 ? job.thisHost : agentHosts[static_cast<size_t>(agentOf[i])];
  }
  job.hosts = hosts;
  job.appnums = appnums;
  std::string why;
  if (!mpi->ServePmix(job, &why)) {
    fprintf(stderr, "tarvo: no PMIx server for the ranks (Open MPI programs start alone): %s\n", why.c_str());
    return;
  }
  for (size_t a = 0; hub != nullptr && a < agentHosts.size(); ++a) {
    hub->SetPmixJob(static_cast<int>(a), mpi->PmixJobPayload(agentHosts[a]));
  }
  // Open MPI's ranks wait by polling and yielding to one another: in a
  // session each (each a group of the kernel's autogroup scheduling), a
  // yield leaves nobody else to run, and 64 ranks on two cores switched
  // twice as often as mpirun's, which keep its session.
  for (ExecPlan& plan : plans) plan.ownSession = false;
}

void SayIfSingletons(const std::vector<ExecPlan>& plans) {
  if (RunControlSettings().pmix == 0) return;
  for (const std::string& file : ProgramFiles(plans)) {
    std::string head;
    if (!ReadHead(file, &head) || !IsElf(head) || !NamesPmixLibrary(head)) continue;
    fprintf(stderr,
            "tarvo: %s links Open MPI's library, which per-rank remote shells cannot serve: each of its ranks "
            "will run alone as a singleton (TARVO_LAUNCH=host serves it)\n",
            file.c_str());
    fflush(stderr);
    return;
  }
}

void MergeRankEnvironment(std::vector<char*>* envp, std::vector<std::string>& ours) {
  std::set<std::string> names;
  bool pmix = false;
  for (const std::string& e : ours) {
    names.insert(e.substr(0, e.find('=')));
    pmix = pmix || pmi::IsOutsidePmixVariable(e.c_str());
  }
  std::vector<char*> merged;
  for (char* e : *envp) {
    if (e == nullptr) break;
    const char* eq = strchr(e, '=');
    const std::string name = eq == nullptr ? std::string(e) : std::string(e, static_cast<size_t>(eq - e));
    if (names.count(name) != 0 || (pmix && pmi::IsOutsidePmixVariable(e))) continue;
    merged.push_back(e);
  }
  for (std::string& e : ours) merged.push_back(&e[0]);
  merged.push_back(nullptr);
  envp->swap(merged);
}

}  // namespace spawnplan
