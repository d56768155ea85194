#include "common/rank_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "common/rank_place.h"

namespace {

bool Meets(const cpu_set_t& a, const cpu_set_t& b) {
  cpu_set_t both;
  CPU_AND(&both, &a, &b);
  return CPU_COUNT(&both) > 0;
}

// Takes for `slot` up to `want` unused GPUs: only those beside its CPUs
// (`near`), or any.
void TakeUnused(const HostTopology& t, bool near, int want, std::vector<bool>* used, RankSlot* slot) {
  for (size_t g = 0; g < t.gpus.size() && static_cast<int>(slot->gpus.size()) < want; ++g) {
    if ((*used)[g] || (near && !Meets(t.gpus[g].near, slot->cpus))) continue;
    (*used)[g] = true;
    slot->gpus.push_back(static_cast<int>(g));
  }
}

}  // namespace

HostMap PlaceHost(const HostTopology& t, int count, const HostPlacing& placing) {
  HostMap map;
  const int units = static_cast<int>(t.units.size());
  const int per = units == 0 ? 0 : placing.cpusPerRank < 1 ? 1 : placing.cpusPerRank > units ? units : placing.cpusPerRank;
  const int gpus = static_cast<int>(t.gpus.size());
  const int gpusEach = placing.gpusPerRank > gpus ? gpus : placing.gpusPerRank;
  map.cpusWrap = placing.bind && units > 0 && (placing.cpusPerRank > units || static_cast<long long>(count) * per > units);
  map.gpusShared = placing.gpusPerRank > 0 && static_cast<long long>(count) * placing.gpusPerRank > gpus;
  std::vector<bool> used(t.gpus.size(), false);
  map.slots.resize(static_cast<size_t>(count > 0 ? count : 0));
  for (int k = 0; k < count; ++k) {
    RankSlot& slot = map.slots[static_cast<size_t>(k)];
    CPU_ZERO(&slot.cpus);
    for (int u = 0; u < per; ++u) {
      const cpu_set_t& unit = t.units[static_cast<size_t>((static_cast<long long>(k) * per + u) % units)];
      CPU_OR(&slot.cpus, &slot.cpus, &unit);
    }
    if (gpusEach <= 0 || !map.gpusShared) continue;
    for (int j = 0; j < gpusEach; ++j) slot.gpus.push_back(static_cast<int>((static_cast<long long>(k) * gpusEach + j) % gpus));
  }
  // Enough for every rank: each first takes those beside its CPUs, in rank
  // order, then the ranks still short take what is left.
  if (gpusEach > 0 && !map.gpusShared) {
    for (int pass = 0; pass < 2; ++pass) {
      for (RankSlot& slot : map.slots) TakeUnused(t, pass == 0, gpusEach, &used, &slot);
    }
    for (RankSlot& slot : map.slots) std::sort(slot.gpus.begin(), slot.gpus.end());
  }
  return map;
}

int HostOfRank(int rank, int hosts, int ppn) {
  if (hosts <= 0) return 0;
  return ppn > 0 ? (rank / ppn) % hosts : rank % hosts;
}

void LocalRanks(const std::vector<std::string>& hosts, std::vector<int>* local, std::vector<int>* localSize) {
  std::map<std::string, int> count;
  local->assign(hosts.size(), 0);
  for (size_t r = 0; r < hosts.size(); ++r) (*local)[r] = count[hosts[r]]++;
  localSize->assign(hosts.size(), 0);
  for (size_t r = 0; r < hosts.size(); ++r) (*localSize)[r] = count[hosts[r]];
}

std::vector<std::string> LocalityEnvironment(int rank, int size, int local, int localSize) {
  const std::string r = std::to_string(rank), l = std::to_string(local), ls = std::to_string(localSize);
  // A job's node rank is its local rank: tarvo's ranks are the host's
  // first job.
  return {"OMPI_COMM_WORLD_SIZE=" + std::to_string(size), "OMPI_COMM_WORLD_RANK=" + r,
          "OMPI_COMM_WORLD_LOCAL_RANK=" + l, "OMPI_COMM_WORLD_LOCAL_SIZE=" + ls, "OMPI_COMM_WORLD_NODE_RANK=" + l,
          "MPI_LOCALNRANKS=" + ls, "MPI_LOCALRANKID=" + l};
}

std::vector<std::string> DeviceEnvironment(const HostTopology& t, const RankSlot& slot) {
  if (slot.gpus.empty()) return {};
  std::string list;
  for (int g : slot.gpus) {
    if (!list.empty()) list += ',';
    list += std::to_string(t.gpus[static_cast<size_t>(g)].index);
  }
  return {"CUDA_VISIBLE_DEVICES=" + list, "ROCR_VISIBLE_DEVICES=" + list, "ZE_AFFINITY_MASK=" + list};
}

std::string GpuListText(const HostTopology& t, const RankSlot& slot) {
  std::string list;
  for (int g : slot.gpus) {
    if (!list.empty()) list += ',';
    list += t.gpus[static_cast<size_t>(g)].kind + std::to_string(t.gpus[static_cast<size_t>(g)].index);
  }
  return list;
}

std::string RankMapLine(int rank, const std::string& host, const HostTopology& t, const RankSlot& slot) {
  std::string line = BoundReport(rank, host, slot.cpus);
  if (!slot.gpus.empty()) line.insert(line.size() - 1, "; GPUs " + GpuListText(t, slot));
  return line;
}

std::string HostMapWarnings(const std::string& host, const HostTopology& t, const HostMap& map, int bind) {
  std::string lines;
  if (map.cpusWrap) lines += WrapReport(host, static_cast<int>(t.units.size()), bind);
  if (map.gpusShared) {
    lines += "tarvo: more GPUs asked than the " + std::to_string(t.gpus.size()) + " of " + host +
             ": the ranks share them\n";
  }
  return lines;
}

std::string TopologyText(const HostTopology& t) {
  std::string text;
  for (const cpu_set_t& u : t.units) text += CpuListText(u) + "\n";
  for (const GpuUnit& g : t.gpus) {
    text += "gpu " + g.kind + " " + std::to_string(g.index) + " " + CpuListText(g.near) + "\n";
  }
  return text;
}

bool TopologyRead(const std::string& text, HostTopology* t) {
  t->units.clear();
  t->gpus.clear();
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 4, "gpu ") != 0) {
      cpu_set_t set;
      if (!CpuListRead(line.c_str(), &set)) return false;
      t->units.push_back(set);
      continue;
    }
    std::istringstream words(line.substr(4));
    GpuUnit g;
    std::string index, cpus;
    if (!(words >> g.kind >> index)) return false;
    words >> cpus;  // a GPU beside no CPU has an empty list
    if (index.empty() || index.size() > 6 || index.find_first_not_of("0123456789") != std::string::npos) return false;
    g.index = atoi(index.c_str());
    CPU_ZERO(&g.near);
    if (!cpus.empty() && !CpuListRead(cpus.c_str(), &g.near)) return false;
    t->gpus.push_back(g);
  }
  return true;
}
