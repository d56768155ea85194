#include "agent/agent_place.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/carrier_params.h"
#include "common/child_io.h"
#include "common/rank_binding.h"

namespace {

// The unit of the rank of `index` on `host` into *cpus, with its report
// lines: the wrap, once per host (for the first rank that wraps), and the
// rank's own when asked for.
void Choose(const std::vector<cpu_set_t>& units, int mode, int rank, const std::string& host, int index,
            bool report, cpu_set_t* cpus) {
  const size_t n = units.size();
  *cpus = units[static_cast<size_t>(index) % n];
  std::string lines;
  if (static_cast<size_t>(index) == n) lines += WrapReport(host, static_cast<int>(n), RankBindName(mode));
  if (report) lines += BoundReport(rank, host, *cpus);
  ChildWrite(STDERR_FILENO, lines);
}

// A file name of --place: empty for none; relative to `dir`.
std::string PlaceFile(const char* word, const char* dir) {
  if (word[0] == '\0') return std::string();
  return word[0] == '/' ? std::string(word) : std::string(dir) + "/" + word;
}

int PrintUnits(const char* modeWord) {
  int mode = 0;
  std::vector<cpu_set_t> units;
  std::string why = std::string("no such binding: ") + modeWord;
  if (!RankBindRead(modeWord, &mode) || mode == kBindNone || !BindingUnits(mode, &units, &why)) {
    fprintf(stderr, "tarvo-agent: %s\n", why.c_str());
    return 1;
  }
  for (const cpu_set_t& u : units) printf("%s\n", CpuListText(u).c_str());
  return 0;
}

int PlaceAndRun(int argc, char** argv) {
  // --place RANK HOST INDEX MODE REPORT OUTPUT ERROR COMMAND... WORKDIR
  const int kCommand = 9;
  int mode = 0;
  if (argc <= kCommand || !RankBindRead(argv[5], &mode)) {
    fputs("usage: tarvo-agent --place RANK HOST INDEX MODE REPORT OUTPUT ERROR COMMAND...\n", stderr);
    return 2;
  }
  const int rank = atoi(argv[2]);
  const std::string output = PlaceFile(argv[7], argv[argc - 1]);
  const std::string error = PlaceFile(argv[8], argv[argc - 1]);
  RankPlace place;
  place.output = output.empty() ? nullptr : output.c_str();
  place.error = error.empty() ? nullptr : error.c_str();
  if (mode != kBindNone) {
    std::vector<cpu_set_t> units;
    std::string why;
    if (BindingUnits(mode, &units, &why)) {
      Choose(units, mode, rank, argv[3], atoi(argv[4]), strcmp(argv[6], "1") == 0, &place.cpus);
      place.bind = true;
    } else {
      fprintf(stderr, "tarvo: rank %d on %s is not bound: %s\n", rank, argv[3], why.c_str());
    }
    putenv(const_cast<char*>(kMpiLeaveBinding));
  }
  fflush(stderr);
  if (!RankPlaceApply(place)) return kRankPlaceFailed;
  execvp(argv[kCommand], argv + kCommand);
  ChildPerror(argv[kCommand], errno);
  return 127;
}

}  // namespace

void AgentPlacer::Take(const AgentOrder& order) {
  Place& p = places_[order.rank];
  p.bind = order.bind;
  p.report = (order.flags & kAgentPlaceReport) != 0;
  p.host = order.strings[0];
  p.output = order.strings[1];
  p.error = order.strings[2];
}

bool AgentPlacer::Prepare(int rank, int index, RankPlace* place) {
  auto it = places_.find(rank);
  if (it == places_.end()) return false;
  const Place& p = it->second;
  place->output = p.output.empty() ? nullptr : p.output.c_str();
  place->error = p.error.empty() ? nullptr : p.error.c_str();
  place->bind = false;
  if (p.bind != kBindNone && !unitsRead_) {
    unitsRead_ = true;
    std::string why;
    if (!BindingUnits(p.bind, &units_, &why)) {
      ChildWrite(STDERR_FILENO, "tarvo: the ranks on " + p.host + " are not bound: " + why + "\n");
    }
  }
  if (p.bind != kBindNone && !units_.empty()) {
    Choose(units_, p.bind, rank, p.host, index, p.report, &place->cpus);
    place->bind = true;
  }
  return true;
}

int PlaceMain(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--cpus") == 0) return PrintUnits(argv[2]);
  if (argc >= 2 && strcmp(argv[1], "--place") == 0) return PlaceAndRun(argc, argv);
  return -1;
}

std::vector<std::string> AgentSlurmTask(const AgentOrder& order, int localId) {
  const size_t words = order.strings.size();
  const std::string size = words >= TARVO_PARAMS ? order.strings[words - TARVO_PARAMS + TARVO_PARAM_SIZE] : "";
  return {"SLURM_PROCID=" + std::to_string(order.rank), "SLURM_LOCALID=" + std::to_string(localId),
          "SLURM_NTASKS=" + size, "SLURM_NPROCS=" + size};
}
