// The job's facts as libpmix takes them, and the environment Open MPI needs
// beside the server's own: the pure half of PmixHost (no server runs here;
// the regular expressions come from libpmix's helpers).
#ifndef TARVO_PMI_PMIX_FACTS_H
#define TARVO_PMI_PMIX_FACTS_H

#include <pmix_common.h>

#include <string>
#include <vector>

#include "pmi/pmix_host.h"

namespace pmi {

// Why `job` cannot be served (empty when it can): an empty or over-long
// namespace, no ranks, appnums of another count, or a host name that is
// empty or holds a ',' or ';' (the separators of the maps).
std::string CheckJob(const PmixJob& job);

// The ranks of job.thisHost, in rank order.
std::vector<int> LocalRanksOf(const PmixJob& job);

// The job's facts for PMIx_server_register_nspace, into *out (an array of
// pmix_info_t that the caller destructs with PMIx_Data_array_destruct).
// Empty, or why the library refused a map.
std::string JobInfo(const PmixJob& job, const std::string& tmpDir, pmix_data_array_t* out);

// What Open MPI needs beside the server's fork set-up (NAME=VALUE).
// `segmentDir`: the node's private directory for shared-memory segments.
std::vector<std::string> OpenMpiEnvironment(const PmixJob& job, const std::string& segmentDir);

// A list of pmix_info_t under construction (libpmix's info list).
class InfoList {
 public:
  InfoList();
  ~InfoList();
  InfoList(const InfoList&) = delete;
  InfoList& operator=(const InfoList&) = delete;
  void Add(const char* key, const std::string& text);
  void Add(const char* key, uint32_t value);
  void AddRank(const char* key, uint32_t rank);
  void Add16(const char* key, uint16_t value);
  void AddBool(const char* key, bool value);
  void AddRegex(const char* key, const char* regex);
  void AddArray(const char* key, pmix_data_array_t* infos);
  void AddTopology(const char* key, pmix_topology_t* topology);
  // The entries as an array of pmix_info_t; the list is then empty.
  pmix_data_array_t Take();

 private:
  void* list_;
};

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_FACTS_H
