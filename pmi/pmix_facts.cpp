// The job's facts for libpmix, and Open MPI's part of a rank's environment.
#include "pmi/pmix_facts.h"

#include <pmix.h>
#include <pmix_server.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace pmi {

namespace {

// The nodes in the order of their first rank, and each rank's node.
struct Placement {
  std::vector<std::string> nodes;
  std::vector<uint32_t> nodeOf;
  std::vector<std::vector<int>> ranksOf;  // per node, in rank order
};

Placement Place(const PmixJob& job) {
  Placement p;
  std::map<std::string, uint32_t> index;
  for (size_t r = 0; r < job.hosts.size(); ++r) {
    auto it = index.find(job.hosts[r]);
    if (it == index.end()) {
      it = index.emplace(job.hosts[r], static_cast<uint32_t>(p.nodes.size())).first;
      p.nodes.push_back(job.hosts[r]);
      p.ranksOf.emplace_back();
    }
    p.nodeOf.push_back(it->second);
    p.ranksOf[it->second].push_back(static_cast<int>(r));
  }
  return p;
}

std::string Join(const std::vector<int>& ranks) {
  std::string text;
  for (int r : ranks) text += (text.empty() ? "" : ",") + std::to_string(r);
  return text;
}

}  // namespace

InfoList::InfoList() : list_(PMIx_Info_list_start()) {}

InfoList::~InfoList() { PMIx_Info_list_release(list_); }

void InfoList::Add(const char* key, const std::string& text) {
  PMIx_Info_list_add(list_, key, text.c_str(), PMIX_STRING);
}

void InfoList::Add(const char* key, uint32_t value) { PMIx_Info_list_add(list_, key, &value, PMIX_UINT32); }

void InfoList::AddRank(const char* key, uint32_t rank) {
  pmix_rank_t r = rank;
  PMIx_Info_list_add(list_, key, &r, PMIX_PROC_RANK);
}

void InfoList::AddBool(const char* key, bool value) { PMIx_Info_list_add(list_, key, &value, PMIX_BOOL); }

void InfoList::Add16(const char* key, uint16_t value) { PMIx_Info_list_add(list_, key, &value, PMIX_UINT16); }

void InfoList::AddRegex(const char* key, const char* regex) { PMIx_Info_list_add(list_, key, regex, PMIX_REGEX); }

void InfoList::AddTopology(const char* key, pmix_topology_t* topology) {
  PMIx_Info_list_add(list_, key, topology, PMIX_TOPO);
}

void InfoList::AddArray(const char* key, pmix_data_array_t* infos) {
  PMIx_Info_list_add(list_, key, infos, PMIX_DATA_ARRAY);
}

pmix_data_array_t InfoList::Take() {
  pmix_data_array_t out;
  out.type = PMIX_INFO;
  out.size = 0;
  out.array = nullptr;
  PMIx_Info_list_convert(list_, &out);
  PMIx_Info_list_release(list_);
  list_ = PMIx_Info_list_start();
  return out;
}

std::string CheckJob(const PmixJob& job) {
  if (job.nspace.empty() || job.nspace.size() > PMIX_MAX_NSLEN) return "the job's namespace must be 1 to 255 bytes";
  if (job.hosts.empty()) return "the job has no ranks";
  if (!job.appnums.empty() && job.appnums.size() != job.hosts.size()) return "one appnum per rank";
  for (const std::string& h : job.hosts)
    if (h.empty() || h.find_first_of(",;") != std::string::npos) return "a host name is empty or holds ',' or ';'";
  return std::string();
}

std::vector<int> LocalRanksOf(const PmixJob& job) {
  std::vector<int> ranks;
  for (size_t r = 0; r < job.hosts.size(); ++r)
    if (job.hosts[r] == job.thisHost) ranks.push_back(static_cast<int>(r));
  return ranks;
}

std::string JobInfo(const PmixJob& job, const std::string& tmpDir, pmix_data_array_t* out) {
  Placement p = Place(job);
  std::string nodeList, ppnList;
  for (size_t n = 0; n < p.nodes.size(); ++n) {
    nodeList += (n == 0 ? "" : ",") + p.nodes[n];
    ppnList += (n == 0 ? "" : ";") + Join(p.ranksOf[n]);
  }
  char* nodeMap = nullptr;
  char* procMap = nullptr;
  pmix_status_t rc = PMIx_generate_regex(nodeList.c_str(), &nodeMap);
  if (rc == PMIX_SUCCESS) rc = PMIx_generate_ppn(ppnList.c_str(), &procMap);
  if (rc != PMIX_SUCCESS) {
    free(nodeMap);
    return std::string("PMIx_generate_regex/ppn: ") + PMIx_Error_string(rc);
  }
  const auto size = static_cast<uint32_t>(job.hosts.size());
  auto appnum = [&](size_t r) { return static_cast<uint32_t>(job.appnums.empty() ? 0 : job.appnums[r]); };
  std::map<uint32_t, bool> apps;
  for (size_t r = 0; r < job.hosts.size(); ++r) apps[appnum(r)] = true;
  std::vector<int> local = LocalRanksOf(job);

  InfoList facts;
  facts.Add(PMIX_JOBID, job.nspace);
  facts.AddRegex(PMIX_NODE_MAP, nodeMap);
  facts.AddRegex(PMIX_PROC_MAP, procMap);
  free(nodeMap);
  free(procMap);
  facts.Add(PMIX_JOB_SIZE, size);
  const uint32_t universe = std::max(size, static_cast<uint32_t>(std::max(job.universe, 0)));
  facts.Add(PMIX_UNIV_SIZE, universe);
  facts.Add(PMIX_MAX_PROCS, universe);
  facts.Add(PMIX_JOB_NUM_APPS, static_cast<uint32_t>(apps.size()));
  if (apps.size() == 1) facts.Add(PMIX_APPNUM, apps.begin()->first);
  facts.Add(PMIX_NUM_NODES, static_cast<uint32_t>(p.nodes.size()));
  facts.Add(PMIX_TMPDIR, tmpDir);
  // This node's facts (a node without ranks only takes part in fences).
  facts.Add(PMIX_HOSTNAME, job.thisHost);
  for (size_t n = 0; n < p.nodes.size(); ++n)
    if (p.nodes[n] == job.thisHost) facts.Add(PMIX_NODEID, static_cast<uint32_t>(n));
  facts.Add(PMIX_LOCAL_SIZE, static_cast<uint32_t>(local.size()));
  if (!local.empty()) {
    facts.Add(PMIX_LOCAL_PEERS, Join(local));
    facts.AddRank(PMIX_LOCALLDR, static_cast<uint32_t>(local.front()));
  }
  // Every rank's own facts, so that any rank can ask about any other.
  std::vector<uint16_t> seen(p.nodes.size(), 0);
  for (size_t r = 0; r < job.hosts.size(); ++r) {
    uint32_t node = p.nodeOf[r];
    uint16_t onNode = seen[node]++;
    InfoList proc;
    proc.AddRank(PMIX_RANK, static_cast<uint32_t>(r));
    proc.Add(PMIX_APPNUM, appnum(r));
    proc.Add16(PMIX_LOCAL_RANK, onNode);
    proc.Add16(PMIX_NODE_RANK, onNode);  // one job per node: the same
    proc.Add(PMIX_NODEID, node);
    proc.Add(PMIX_HOSTNAME, job.hosts[r]);
    pmix_data_array_t array = proc.Take();
    facts.AddArray(PMIX_PROC_INFO_ARRAY, &array);
    PMIx_Data_array_destruct(&array);
  }
  *out = facts.Take();
  return std::string();
}

std::vector<std::string> OpenMpiEnvironment(const PmixJob& job, const std::string& segmentDir) {
  std::vector<std::string> env;
  // Open MPI 4.1 takes a PMIx server for its launcher's only when told so;
  // else each rank starts alone.
  env.push_back("OMPI_MCA_schizo=ompi");
  // tarvo places ranks when asked to (TARVO_BIND); Open MPI never binds
  // them, on top of that or by itself.
  env.push_back("OMPI_MCA_hwloc_base_binding_policy=none");
  // The node's own directory for the shared-memory segments, removed with
  // the server whatever the ranks did (a rank that aborts leaves its
  // segment); also, segments are named by machine, job and local rank, so
  // nodes that are one machine would otherwise meet in the same file.
  env.push_back("OMPI_MCA_btl_vader_backing_directory=" + segmentDir);
  // More ranks than processors on this node: a rank that waits must yield
  // its processor rather than poll, as under mpirun --oversubscribe (polling
  // ranks take turns in whole time slices).
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus > 0 && static_cast<long>(LocalRanksOf(job).size()) > cpus) env.push_back("OMPI_MCA_mpi_yield_when_idle=1");
  return env;
}

}  // namespace pmi
