// The run's entries in the MPIR table (Mpir.h): each rank of the first job
// as its program's pid becomes known; once all are, the debugger's
// breakpoint.
#ifndef TARVO_LAUNCHER_RUN_MPIRTABLE_H
#define TARVO_LAUNCHER_RUN_MPIRTABLE_H

#include <vector>

#include "launcher/run/RunRanks.h"

namespace runloop {

class MpirTable {
 public:
  explicit MpirTable(const RunRanks& ranks);
  // The ranks started since the last call whose program's pid is known.
  void NoteStarts();

 private:
  const RunRanks& ranks_;
  std::vector<char> set_;  // launch -> its entry is set (or it has none)
  size_t left_ = 0;        // entries not yet set
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_MPIRTABLE_H
