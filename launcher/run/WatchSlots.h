// The group watcher's slots of the run's processes: the watcher kills the
// groups of its slots when tarvo is killed. A first job's launch has its
// index for a slot; a spawned process takes one that an ended spawned
// process left, or a new one, so that the run's bound on its live
// processes bounds the slots.
#ifndef TARVO_LAUNCHER_RUN_WATCHSLOTS_H
#define TARVO_LAUNCHER_RUN_WATCHSLOTS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/group_watcher.h"

namespace runloop {

class WatchSlots {
 public:
  // Starts the watcher with slots for `launches` processes, and
  // kMaxRunProcesses more when `spawns`; it removes `dirs` at its end.
  WatchSlots(size_t launches, bool spawns, const std::vector<std::string>& dirs);
  WatchSlots(const WatchSlots&) = delete;
  WatchSlots& operator=(const WatchSlots&) = delete;

  // Launch `i` (of job `job`) has started as process group `group`.
  void Watch(size_t i, int job, pid_t group);
  // Launch `i` has ended.
  void Unwatch(size_t i, int job);
  // The changes, to the watcher.
  void Flush() { watcher_.Flush(); }

 private:
  GroupWatcher watcher_;
  std::vector<size_t> slots_;  // launch -> its slot
  std::vector<size_t> freeSlots_;
  size_t nextSlot_;
};

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_WATCHSLOTS_H
