// Proof that a run leaves no process behind: ranks write their pids into
// files, and the test checks, within a bound, that each of them is gone.
#ifndef TARVO_TESTS_SUPPORT_PROCESSES_H
#define TARVO_TESTS_SUPPORT_PROCESSES_H

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace support {

/// The pids written in the files of `dir` whose names end in `suffix`
/// (one decimal pid at the start of each file).
inline std::vector<pid_t> PidsIn(const std::string& dir, const std::string& suffix = ".pid") {
  std::vector<pid_t> pids;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return pids;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    std::ifstream in(dir + "/" + name);
    long pid = 0;
    if (in >> pid && pid > 1) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(d);
  return pids;
}

/// True when `pid` no longer runs: no such process, or a zombie that only
/// waits for its parent to reap it.
inline bool Gone(pid_t pid) {
  if (kill(pid, 0) == -1 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  size_t close = line.rfind(')');  // the name in parentheses may hold blanks
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

/// Waits up to `boundMs` for every pid to be gone; returns the ones that
/// still ran then (empty when none was left), after killing them, so that a
/// failing test leaves nothing behind either.
inline std::vector<pid_t> Survivors(const std::vector<pid_t>& pids, int boundMs = 10000) {
  auto left = [&] {
    std::vector<pid_t> still;
    for (pid_t p : pids)
      if (!Gone(p)) still.push_back(p);
    return still;
  };
  WaitUntil(boundMs, [&] { return left().empty(); }, 20);
  std::vector<pid_t> still = left();
  for (pid_t p : still) kill(p, SIGKILL);
  return still;
}

// The PMIx servers' private directories in /tmp and /dev/shm (tarvo's and
// the agents'), and Open MPI's shared-memory segments in /dev/shm, which a
// rank that aborts leaves behind unless they are in a private directory.
// The PMIx servers' private directories and Open MPI's segments in /tmp and
// /dev/shm, but for those of a server that still runs (its pid is in the
// name): another test's run beside this one holds those.
inline std::set<std::string> PmixPrivateDirs() {
  std::set<std::string> names;
  for (const char* parent : {"/tmp", "/dev/shm"}) {
    DIR* d = opendir(parent);
    for (dirent* e = d ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
      const std::string name = e->d_name;
      const long pid = name.rfind("tarvo-pmix-", 0) == 0 ? std::atol(name.c_str() + 11) : 0;
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) == 0) continue;
      if (name.rfind("tarvo-pmix-", 0) == 0 || name.rfind("vader_segment.", 0) == 0) {
        names.insert(std::string(parent) + "/" + name);
      }
    }
    if (d) closedir(d);
  }
  return names;
}

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_PROCESSES_H
