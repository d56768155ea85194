#include "launcher/spawn/PmixSetup.h"

#include <elf.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "common/carrier_exec.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/run/RunControl.h"
#include "pmi/pmix_relay.h"

namespace spawn {

namespace {

// Whether the ELF file `head` (its first MiB) names Open MPI's or libpmix's
// library: the dynamic section's strings are near the start of the file.
bool NamesPmixLibrary(const std::string& head) {
  for (const char* name : {"libmpi.so", "libpmix.so", "libopen-rte.so", "libopen-pal.so"}) {
    if (head.find(name) != std::string::npos) return true;
  }
  return false;
}

// The first `limit` bytes of the file at `path` (fewer when it is
// shorter); false when it cannot be read.
bool ReadHead(const std::string& path, size_t limit, std::string* head) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  head->clear();
  char chunk[16384];
  while (head->size() < limit) {
    const size_t got = fread(chunk, 1, std::min(sizeof chunk, limit - head->size()), f);
    if (got == 0) break;
    head->append(chunk, got);
  }
  fclose(f);
  return true;
}

// An ELF file's program headers are near its start; its dynamic section's
// strings, which name the libraries, within its first MiB.
const size_t kHeadersSize = 16384;
const size_t kNamesSize = 1 << 20;

bool IsElf(const std::string& head) { return head.compare(0, 4, "\x7f" "ELF") == 0; }

template <typename Ehdr, typename Phdr>
bool HasInterpreter(const std::string& head) {
  if (head.size() < sizeof(Ehdr)) return true;
  Ehdr e;
  memcpy(&e, head.data(), sizeof e);
  if (e.e_phentsize != sizeof(Phdr)) return true;
  for (size_t i = 0; i < e.e_phnum; ++i) {
    const size_t at = e.e_phoff + i * sizeof(Phdr);
    if (at + sizeof(Phdr) > head.size() || at < e.e_phoff) return true;  // out of what was read: say it may
    Phdr p;
    memcpy(&p, head.data() + at, sizeof p);
    if (p.p_type == PT_INTERP) return true;
  }
  return false;
}

ProgramKind KindOf(const std::string& path) {
  std::string head;
  if (!ReadHead(path, kHeadersSize, &head) || !IsElf(head)) return ProgramKind::kOther;
  const bool wide = head.size() > EI_CLASS && head[EI_CLASS] == ELFCLASS64;
  const bool dynamic = wide ? HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(head) : HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(head);
  if (!dynamic) return ProgramKind::kStatic;
  if (!ReadHead(path, kNamesSize, &head)) return ProgramKind::kOther;
  if (NamesPmixLibrary(head)) return ProgramKind::kOpenMpi;
  return head.find("libmpich.so") != std::string::npos ? ProgramKind::kMpich : ProgramKind::kOther;
}

// The program file of a plan's rank as carrier would find it here; empty
// when the plan is no carrier command.
std::string ProgramFile(const ExecPlan& plan) {
  auto at = std::find(plan.vector.begin(), plan.vector.end(), std::string("carrier"));
  if (plan.vector.end() - at < TARVO_PARAMS + 2) return std::string();
  const std::string& program = at[1];
  const std::string& workdir = plan.vector.end()[TARVO_PARAM_WORKDIR - TARVO_PARAMS];
  char file[PATH_MAX];
  const int found = CarrierLookup(program.c_str(), workdir.c_str(), workdir.c_str(), file, sizeof file);
  std::string path = found == CARRIER_AS_GIVEN ? program : std::string(file);
  if (!path.empty() && path[0] != '/') path = workdir + "/" + path;
  return path;
}

// TARVO_PMIX=auto: whether a rank's program may load Open MPI's library,
// which is any program but a statically linked one or one that links
// MPICH's. MPICH's ranks speak PMI-1 alone (their spawns too), which every
// run serves: a run of those has no server to pay for, neither its start
// (libpmix, the host's topology) nor its end (its directory's removal).
bool Wanted(const RunSettings& settings, const std::vector<ExecPlan>& plans) {
  if (settings.pmix >= 0) return settings.pmix == 1;
  return std::any_of(plans.begin(), plans.end(), [](const ExecPlan& p) {
    return p.program != ProgramKind::kStatic && p.program != ProgramKind::kMpich;
  });
}

}  // namespace

void ReadProgramKinds(std::vector<ExecPlan>& plans) {
  std::map<std::string, ProgramKind> seen;
  for (ExecPlan& plan : plans) {
    const std::string file = ProgramFile(plan);
    plan.programFile = file;
    if (file.empty()) {
      plan.program = ProgramKind::kOther;
      continue;
    }
    auto known = seen.find(file);
    if (known == seen.end()) known = seen.emplace(file, KindOf(file)).first;
    plan.program = known->second;
    // MPICH's ranks wait by polling, and without a session each they would
    // share one share of a loaded machine's processors (the kernel's
    // autogroup scheduling), as they do not under hydra. Every other rank
    // leads a group in the starter's session: a session each costs a start
    // (a new scheduling group a rank), and Open MPI's ranks, whose yields
    // find nobody else to run in a session of one, would switch far more
    // often than under mpirun, which keeps its session.
    plan.ownSession = plan.ownSession && plan.program == ProgramKind::kMpich;
  }
}

void ServePmix(const RunSettings& settings, MpiServer* mpi, std::vector<ExecPlan>& plans, std::vector<std::string> hosts,
               const std::vector<int>& appnums, const std::vector<int>& agentOf,
               const std::vector<std::string>& agentHosts, int universe) {
  if (!mpi->CanServePmix() || hosts.empty() || !Wanted(settings, plans)) return;
  pmi::PmixJob job;
  job.nspace = "tarvo_" + std::to_string(getpid());
  auto own = std::find(agentOf.begin(), agentOf.end(), -1);
  job.thisHost = own != agentOf.end() ? hosts[static_cast<size_t>(own - agentOf.begin())] : std::string();
  for (size_t i = 0; i < hosts.size(); ++i) {
    hosts[i] = agentOf[i] < 0 ? job.thisHost : agentHosts[static_cast<size_t>(agentOf[i])];
  }
  job.hosts = hosts;
  job.appnums = appnums;
  // MPI_UNIVERSE_SIZE: the slots of the run's hosts (host mode, the
  // caller's), else this host's processors; never less than the run.
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  const int size = static_cast<int>(hosts.size());
  job.universe = std::max(size, universe > 0 ? universe : processors > 0 ? static_cast<int>(processors) : size);
  std::string why;
  if (!mpi->ServePmix(job, &why)) {
    fprintf(stderr, "tarvo: no PMIx server for the ranks (Open MPI programs start alone): %s\n", why.c_str());
  }
}

void SayIfSingletons(const RunSettings& settings, const std::vector<ExecPlan>& plans) {
  if (settings.pmix == 0) return;
  for (const ExecPlan& plan : plans) {
    if (plan.program != ProgramKind::kOpenMpi) continue;
    const std::string file = ProgramFile(plan);
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

}  // namespace spawn
