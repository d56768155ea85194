#include "launcher/run/MpirTable.h"

#include "launcher/run/Mpir.h"

namespace runloop {

MpirTable::MpirTable(const RunRanks& ranks) : ranks_(ranks), set_(ranks.Count(), 1) {
  for (size_t i = 0; i < ranks.Count(); ++i) {
    if (!ranks.Launch(i).agentShell && ranks.Launch(i).job == 0) {
      set_[i] = 0;
      ++left_;
    }
  }
  MpirBegin(static_cast<int>(left_));
}

void MpirTable::NoteStarts() {
  if (left_ == 0) return;
  // The first job's launches come first; spawned ones, after them, have
  // no entry.
  for (size_t i = 0; i < ranks_.Started() && i < set_.size(); ++i) {
    if (set_[i]) continue;
    // The rank's own program: a local carrier becomes it, an agent reports
    // its pid, a per-rank remote carrier reports its child's.
    const pid_t pid = ranks_.PerRankRemote(i) ? ranks_.At(i).remotePid : ranks_.At(i).pid;
    if (pid <= 0) continue;
    MpirSet(ranks_.Launch(i).rank, ranks_.Launch(i).host, ranks_.Launch(i).program, pid);
    set_[i] = 1;
    if (--left_ == 0) MpirSpawned();
  }
}

}  // namespace runloop
