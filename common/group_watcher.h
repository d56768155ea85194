// The watcher of the run's process groups: a small process that outlives
// tarvo (or a launch agent) by a moment. Every rank (and remote shell) leads
// a process group of its own, and the run control ends each group with its
// leader; when tarvo itself is killed (SIGKILL, which it cannot take), the
// watcher, which sees the end of a pipe that only tarvo holds, kills the
// groups that were left and removes the directories that it was given (the
// PMIx server's). The agent, whose ranks end with it by their parent-death
// signal, has it watch its PMIx server's directories alone.
#ifndef TARVO_COMMON_GROUP_WATCHER_H
#define TARVO_COMMON_GROUP_WATCHER_H

#include <stdint.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class GroupWatcher {
 public:
  GroupWatcher() = default;
  GroupWatcher(const GroupWatcher&) = delete;
  GroupWatcher& operator=(const GroupWatcher&) = delete;
  /// Says that the run is over, so that the watcher kills nothing.
  ~GroupWatcher() { Done(); }

  /// Starts the watcher for `slots` groups (one a launch) and the
  /// directories `dirs`. False, when it cannot: the run goes on without it.
  bool Start(size_t slots, const std::vector<std::string>& dirs);
  /// Group `group` (its leader's pid) is slot `slot`'s; 0: the slot's group
  /// is gone. Said to the watcher at the next Flush.
  void Set(size_t slot, pid_t group);
  /// Sends what was set since the last Flush.
  void Flush();
  /// The run is over: the watcher ends without killing.
  void Done();

 private:
  int fd_ = -1;
  std::vector<int32_t> pending_;  // slot, group; slot -1: done
};

#endif  // TARVO_COMMON_GROUP_WATCHER_H
