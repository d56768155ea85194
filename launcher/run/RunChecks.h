// The checks that end a run while its processes run: the time limit (and
// TARVO_TIMEOUT_SIGNAL's warning before it), remote shells that never log
// in, and collective operations that can no longer be released.
#ifndef TARVO_LAUNCHER_RUN_RUNCHECKS_H
#define TARVO_LAUNCHER_RUN_RUNCHECKS_H

#include <vector>

#include "launcher/run/MpiLink.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunEnd.h"
#include "launcher/run/RunRanks.h"

namespace runloop {

// A request to the synchronisation service may still be on its way when the
// rank that sent it ends: a collective operation counts as stuck only after
// this long.
const double kStuckGrace = 1.0;

class RunChecks {
 public:
  // `collectives` (null: none watched) and the MPI server's barriers say
  // which ranks wait; the time limit counts from now.
  RunChecks(const RunSettings& settings, const CollectiveWatch* collectives, const RunRanks& ranks, RunEnd& end,
            const MpiLink& mpi, double now);

  // Seconds until the next check is due (at most 0 when one is), -1 for
  // none.
  double Due(double now) const;
  // The warning signal when its moment comes; true when the time limit is
  // over, what each rank is doing said: the caller ends the run, after
  // the stacks when they are asked for.
  bool TimeUp(double now);
  void CheckLogins(double now);
  // A rank that has ended while others wait in a collective operation that
  // it has not entered: nothing can release them.
  void CheckStuck(double now);

 private:
  // Since when each rank waits in a collective operation or PMI barrier.
  void Waiting(std::vector<double>* since) const;

  const RunSettings& settings_;
  const CollectiveWatch* collectives_;
  const RunRanks& ranks_;
  RunEnd& end_;
  const MpiLink& mpi_;
  double deadline_ = 0;  // 0: none, or over
  double warnAt_ = 0;    // TARVO_TIMEOUT_SIGNAL's moment; 0: none, or sent
  double stuckSince_ = -1;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_RUNCHECKS_H
