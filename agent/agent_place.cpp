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

// Every slot's CPUs are this machine's: a topology from a file may name
// others, which no rank is bound to.
bool SlotsHere(const HostMap& map) {
  for (const RankSlot& slot : map.slots) {
    if (!CpusHere(slot.cpus)) return false;
  }
  return true;
}

// A file name of --place: empty for none; relative to `dir`.
std::string PlaceFile(const char* word, const char* dir) {
  if (word[0] == '\0') return std::string();
  return word[0] == '/' ? std::string(word) : std::string(dir) + "/" + word;
}

int PrintUnits(const char* modeWord, bool gpus) {
  int mode = 0;
  HostTopology topology;
  std::string why = std::string("no such binding: ") + modeWord;
  if (!RankBindRead(modeWord, &mode) || (mode == kBindNone && !gpus) || !HostTopologyRead(mode, gpus, &topology, &why)) {
    fprintf(stderr, "tarvo-agent: %s\n", why.c_str());
    return 1;
  }
  fputs(TopologyText(topology).c_str(), stdout);
  return 0;
}

// A whole number of --place's, from 0 to `max`; -1 for anything else.
int Whole(const char* word, int max) {
  if (*word == '\0' || strlen(word) > 9 || strspn(word, "0123456789") != strlen(word)) return -1;
  const int n = atoi(word);
  return n <= max ? n : -1;
}

int PlaceAndRun(int argc, char** argv) {
  // --place RANK HOST INDEX COUNT MODE CPUS GPUS REPORT OUTPUT ERROR COMMAND... WORKDIR
  const int kCommand = 12;
  int mode = 0;
  const int index = argc > kCommand ? Whole(argv[4], 1 << 30) : -1;
  const int count = argc > kCommand ? Whole(argv[5], 1 << 30) : -1;
  const int cpus = argc > kCommand ? Whole(argv[7], kMaxCpusPerRank) : -1;
  const int gpus = argc > kCommand ? Whole(argv[8], kMaxGpusPerRank) : -1;
  if (argc <= kCommand || !RankBindRead(argv[6], &mode) || index < 0 || count <= index || cpus < 0 || gpus < 0) {
    fputs("usage: tarvo-agent --place RANK HOST INDEX COUNT MODE CPUS GPUS REPORT OUTPUT ERROR COMMAND...\n", stderr);
    return 2;
  }
  AgentOrder order;
  order.rank = atoi(argv[2]);
  order.strings = {argv[3], PlaceFile(argv[10], argv[argc - 1]), PlaceFile(argv[11], argv[argc - 1])};
  order.bind = mode;
  order.flags = (strcmp(argv[9], "1") == 0 ? kAgentPlaceReport : 0) | (cpus > 0 ? kAgentPlaceThreads : 0);
  order.cpusPerRank = cpus > 0 ? cpus : 1;
  order.gpusPerRank = gpus;
  AgentPlacer placer;
  placer.Take(order);
  RankPlace place;
  std::vector<std::string> env;
  std::string refusal;
  placer.Prepare(order.rank, index, count, &place, &env, &refusal);
  if (!refusal.empty()) {
    fputs(refusal.c_str(), stderr);
    return kRankPlaceFailed;
  }
  for (std::string& e : env) {
    const size_t eq = e.find('=');
    setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, e.compare(0, eq, "OMP_NUM_THREADS") != 0);
  }
  if (place.bind) putenv(const_cast<char*>(kMpiLeaveBinding));
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
  p.threads = (order.flags & kAgentPlaceThreads) != 0;
  p.cpusPerRank = order.cpusPerRank;
  p.gpusPerRank = order.gpusPerRank;
  p.host = order.strings[0];
  p.output = order.strings[1];
  p.error = order.strings[2];
}

bool AgentPlacer::Prepare(int rank, int index, int hostRanks, RankPlace* place, std::vector<std::string>* env,
                          std::string* refusal) {
  auto it = places_.find(rank);
  if (it == places_.end()) return false;
  const Place& p = it->second;
  place->output = p.output.empty() ? nullptr : p.output.c_str();
  place->error = p.error.empty() ? nullptr : p.error.c_str();
  place->bind = false;
  if (p.threads) env->push_back("OMP_NUM_THREADS=" + std::to_string(p.cpusPerRank));
  if (p.bind == kBindNone && p.gpusPerRank == 0) return true;
  // The host's map once, for all its ranks: every rank of the host has the
  // same settings.
  if (!mapped_) {
    mapped_ = true;
    std::string why;
    usable_ = Topology(p.bind, p.gpusPerRank > 0, &why) != nullptr;
    if (!usable_) {
      ChildWrite(STDERR_FILENO, "tarvo: the ranks on " + p.host + " are not placed: " + why + "\n");
    } else {
      HostPlacing placing;
      placing.bind = p.bind != kBindNone;
      placing.cpusPerRank = p.cpusPerRank;
      placing.gpusPerRank = p.gpusPerRank;
      map_ = PlaceHost(topology_, hostRanks > index ? hostRanks : index + 1, placing);
      std::string lines = HostMapWarnings(p.host, topology_, map_, p.bind);
      if (placing.bind && !SlotsHere(map_)) {
        lines += "tarvo: the ranks on " + p.host + " are not bound: their CPUs are not all this machine's\n";
        placing.bind = false;
      }
      bindable_ = placing.bind;
      ChildWrite(STDERR_FILENO, lines);
    }
  }
  if (p.gpusPerRank > 0 && usable_ && topology_.gpus.empty()) {
    *refusal = "tarvo: TARVO_GPUS_PER_RANK=" + std::to_string(p.gpusPerRank) + ": " + p.host + " has no GPU\n";
    return true;
  }
  if (!usable_ || static_cast<size_t>(index) >= map_.slots.size()) return true;
  const RankSlot& slot = map_.slots[static_cast<size_t>(index)];
  for (const std::string& e : DeviceEnvironment(topology_, slot)) env->push_back(e);
  if (bindable_) {
    place->cpus = slot.cpus;
    place->bind = true;
  }
  if (p.report) ChildWrite(STDERR_FILENO, RankMapLine(rank, p.host, topology_, slot));
  return true;
}

const HostTopology* AgentPlacer::Topology(int bind, bool gpus, std::string* why) {
  if (!read_ || readBind_ != bind || readGpus_ != gpus) {
    read_ = true;
    readBind_ = bind;
    readGpus_ = gpus;
    why_.clear();
    readOk_ = HostTopologyRead(bind, gpus, &topology_, &why_);
  }
  *why = why_;
  return readOk_ ? &topology_ : nullptr;
}

int PlaceMain(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--cpus") == 0) return PrintUnits(argv[2], false);
  if (argc == 4 && strcmp(argv[1], "--topology") == 0) return PrintUnits(argv[2], strcmp(argv[3], "1") == 0);
  if (argc >= 2 && strcmp(argv[1], "--place") == 0) return PlaceAndRun(argc, argv);
  return -1;
}

std::vector<std::string> AgentSlurmTask(const AgentOrder& order, int localId) {
  const size_t words = order.strings.size();
  const std::string size = words >= TARVO_PARAMS ? order.strings[words - TARVO_PARAMS + TARVO_PARAM_SIZE] : "";
  return {"SLURM_PROCID=" + std::to_string(order.rank), "SLURM_LOCALID=" + std::to_string(localId),
          "SLURM_NTASKS=" + size, "SLURM_NPROCS=" + size};
}
