// Where a rank's output goes and which CPUs it may use (TARVO_OUTPUT,
// TARVO_ERROR, TARVO_BIND), as the process that starts the rank applies it
// between its fork (or clone) and the exec: tarvo for its own host's ranks,
// the agent for its host's, tarvo-agent --place for a per-rank remote shell.
// The CPUs are chosen before the fork (rank_binding.h, in the agent, which
// alone links hwloc); the child only opens, duplicates and sets its
// affinity, all async-signal-safe system calls on prepared data.
#ifndef TARVO_COMMON_RANK_PLACE_H
#define TARVO_COMMON_RANK_PLACE_H

#include <sched.h>

#include <string>

enum RankBind { kBindNone = 0, kBindCore = 1, kBindSocket = 2, kBindHwthread = 3, kBindL3 = 4, kBindNuma = 5 };
const int kBindLast = kBindNuma;
/// TARVO_CPUS_PER_RANK's and TARVO_GPUS_PER_RANK's largest.
const int kMaxCpusPerRank = 1024;
const int kMaxGpusPerRank = 1024;

/// TARVO_BIND's words: "none", "core", "socket", "hwthread", "l3cache",
/// "numa" into *mode; false for another word.
bool RankBindRead(const char* word, int* mode);
const char* RankBindName(int mode);

struct RankPlace {
  /// The file for standard output, created or truncated; null keeps the
  /// stream. Relative to the child's working directory.
  const char* output = nullptr;
  /// The file for standard error; null (or the same name) shares the output
  /// file.
  const char* error = nullptr;
  /// Binds the child to `cpus` when set.
  bool bind = false;
  cpu_set_t cpus;
};

/// In the child: the files on descriptors 1 and 2, then the binding. False,
/// after "tarvo: cannot create FILE: REASON" on standard error, when a file
/// cannot be opened; the child then ends with kRankPlaceFailed.
bool RankPlaceApply(const RankPlace& place);
const int kRankPlaceFailed = 127;

/// Open MPI binds its ranks itself unless told not to; every rank of a run
/// that tarvo binds gets this in its environment.
const char kMpiLeaveBinding[] = "OMPI_MCA_hwloc_base_binding_policy=none";

/// The report lines, each with its line end: TARVO_REPORT_BINDING's for one
/// rank, and the one for a host with more ranks than units.
std::string BoundReport(int rank, const std::string& host, const cpu_set_t& cpus);
/// `mode` (a RankBind) names the units: "the 1 NUMA node", "the 2 L3 caches".
std::string WrapReport(const std::string& host, int units, int mode);

/// True when every CPU of `cpus` is one that this process may run on.
bool CpusHere(const cpu_set_t& cpus);

/// `set` as `taskset -c` prints it: "0-3,8"; empty for none.
std::string CpuListText(const cpu_set_t& set);
/// Reads such a list; false unless all of `text` is one.
bool CpuListRead(const char* text, cpu_set_t* set);

#endif  // TARVO_COMMON_RANK_PLACE_H
