// The direct modex across nodes: a rank wants another's data (PMIx_Get of
// a key it has not had in a fence); tarvo asks the node that holds that
// rank (its own relay, or the rank's agent) and hands the answer back to
// the asker (its own relay, or the asking rank's agent) with the asker's
// tag.
#ifndef TARVO_LAUNCHER_MPI_PMIXFETCHES_H
#define TARVO_LAUNCHER_MPI_PMIXFETCHES_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "launcher/mpi/PmixNode.h"

class PmixFetches {
 public:
  /// `node`: who holds each job's ranks, and the relay of tarvo's own.
  explicit PmixFetches(PmixNode& node) : node_(node) {}

  /// `asker` (an agent, -1: tarvo's own node) wants `rank`'s data of
  /// `nspace`'s job; `tag` is the asker's.
  void Fetch(int asker, const std::string& nspace, int rank, int tag);
  /// The answer to tarvo's request `id`.
  void Answer(int id, bool ok, const std::string& data);
  /// The frames for agents since the last call into *out; false: none.
  bool Take(std::vector<PmixSend>* out);

 private:
  PmixNode& node_;
  // The requests in flight, by tarvo's number: who asked (an agent, -1:
  // tarvo's own node) and the asker's tag.
  std::map<int, std::pair<int, int>> asked_;
  int next_ = 0;
  std::vector<PmixSend> out_;
};

#endif  // TARVO_LAUNCHER_MPI_PMIXFETCHES_H
