#include "launcher/run/WatchSlots.h"

#include "launcher/run/RunControl.h"

namespace runloop {

WatchSlots::WatchSlots(size_t launches, bool spawns, const std::vector<std::string>& dirs) : nextSlot_(launches) {
  watcher_.Start(launches + (spawns ? static_cast<size_t>(kMaxRunProcesses) : 0), dirs);
}

void WatchSlots::Watch(size_t i, int job, pid_t group) {
  if (slots_.size() <= i) slots_.resize(i + 1, 0);
  if (job == 0) {
    slots_[i] = i;
  } else if (!freeSlots_.empty()) {
    slots_[i] = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slots_[i] = nextSlot_++;
  }
  watcher_.Set(slots_[i], group);
}

void WatchSlots::Unwatch(size_t i, int job) {
  watcher_.Set(slots_[i], 0);
  // A first job's slot stays its own; a spawned one's is taken again.
  if (job > 0) freeSlots_.push_back(slots_[i]);
}

}  // namespace runloop
