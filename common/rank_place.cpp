#include "common/rank_place.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/child_io.h"
#include "common/child_sys.h"

namespace {

// The directories above `name` that are missing, 0755 each, as mkdir -p
// makes them; one that cannot be made shows in the open that follows.
void MakeParents(const char* name) {
  char path[PATH_MAX];
  const size_t n = strlen(name);
  if (n >= sizeof path) return;
  memcpy(path, name, n + 1);
  for (size_t i = 1; i < n; ++i) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    path[i] = '\0';
    child_sys::Mkdir(path, 0755);
    path[i] = '/';
  }
}

// The file, created or truncated, with its directories; -1 after the report.
int Create(const char* name) {
  long fd = child_sys::Open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd == -ENOENT) {
    MakeParents(name);
    fd = child_sys::Open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    char what[300] = "tarvo: cannot create ";
    strncat(what, name, sizeof what - strlen(what) - 1);
    ChildPerror(what, static_cast<int>(-fd));
    return -1;
  }
  return static_cast<int>(fd);
}

}  // namespace

bool RankPlaceApply(const RankPlace& place) {
  // Both opened before either stream moves, so that the report of a
  // failure still reaches the launcher.
  const int out = place.output != nullptr ? Create(place.output) : -1;
  if (place.output != nullptr && out < 0) return false;
  const bool shared = place.error == nullptr || (place.output != nullptr && strcmp(place.error, place.output) == 0);
  const int err = shared ? out : Create(place.error);
  if (!shared && err < 0) {
    if (out >= 0) child_sys::Close(out);
    return false;
  }
  if (out >= 0) child_sys::Dup2(out, STDOUT_FILENO);
  if (err >= 0) child_sys::Dup2(err, STDERR_FILENO);
  if (out >= 0) child_sys::Close(out);
  if (err >= 0 && err != out) child_sys::Close(err);
  if (place.bind) child_sys::SetAffinity(sizeof place.cpus, &place.cpus);
  return true;
}

bool RankBindRead(const char* word, int* mode) {
  for (int m = kBindNone; m <= kBindLast; ++m) {
    if (strcmp(word, RankBindName(m)) == 0) {
      *mode = m;
      return true;
    }
  }
  return false;
}

const char* RankBindName(int mode) {
  static const char* const kNames[] = {"none", "core", "socket", "hwthread", "l3cache", "numa"};
  return mode > kBindNone && mode <= kBindLast ? kNames[mode] : "none";
}

std::string BoundReport(int rank, const std::string& host, const cpu_set_t& cpus) {
  return "tarvo: rank " + std::to_string(rank) + " on " + host + " bound to CPUs " + CpuListText(cpus) + "\n";
}

namespace {

// The units of binding `mode`, `count` of them, by mode as RankBindName
// (a run without a level binds nothing, so "none" never shows).
const char* RankUnitName(int mode, int count) {
  static const char* const kOne[] = {"core", "core", "socket", "hardware thread", "L3 cache", "NUMA node"};
  static const char* const kMany[] = {"cores", "cores", "sockets", "hardware threads", "L3 caches", "NUMA nodes"};
  const int m = mode > kBindNone && mode <= kBindLast ? mode : kBindNone;
  return count == 1 ? kOne[m] : kMany[m];
}

}  // namespace

std::string WrapReport(const std::string& host, int units, int mode) {
  return "tarvo: more ranks than the " + std::to_string(units) + " " + RankUnitName(mode, units) + " of " + host +
         " that may be used: they wrap around\n";
}

bool CpusHere(const cpu_set_t& cpus) {
  cpu_set_t here, both;
  if (sched_getaffinity(0, sizeof here, &here) != 0) return false;
  CPU_AND(&both, &cpus, &here);
  return CPU_EQUAL(&both, &cpus) && CPU_COUNT(&cpus) > 0;
}

std::string CpuListText(const cpu_set_t& set) {
  std::string text;
  for (int cpu = 0; cpu < CPU_SETSIZE;) {
    if (!CPU_ISSET(cpu, &set)) {
      ++cpu;
      continue;
    }
    int last = cpu;
    while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
    if (!text.empty()) text += ',';
    text += std::to_string(cpu);
    if (last > cpu) text += "-" + std::to_string(last);
    cpu = last + 1;
  }
  return text;
}

bool CpuListRead(const char* text, cpu_set_t* set) {
  CPU_ZERO(set);
  // A number of CPU_SETSIZE's range, digits only.
  auto number = [](const char** at, int* out) {
    if (**at < '0' || **at > '9') return false;
    long value = 0;
    while (**at >= '0' && **at <= '9' && value < CPU_SETSIZE) value = value * 10 + (*(*at)++ - '0');
    *out = static_cast<int>(value);
    return value < CPU_SETSIZE;
  };
  const char* at = text;
  for (;;) {
    int first = 0, last = 0;
    if (!number(&at, &first)) return false;
    last = first;
    if (*at == '-' && (++at, !number(&at, &last))) return false;
    if (last < first) return false;
    for (int cpu = first; cpu <= last; ++cpu) CPU_SET(cpu, set);
    if (*at == '\0') return true;
    if (*at++ != ',') return false;
  }
}
