#include "common/modules.h"
#include "common/rank_binding.h"

bool HostTopologyRead(int mode, bool gpus, HostTopology* topology, std::string* why) {
  topology->units.clear();
  topology->gpus.clear();
#ifdef TARVO_HAVE_HWLOC
  void* entry = TarvoModuleEntry("tarvo-binding.so", "tarvo_host_topology", why);
  if (entry == nullptr) return false;
  if (reinterpret_cast<bool (*)(int, bool, HostTopology*, std::string*)>(entry)(mode, gpus, topology, why)) return true;
  if (why->empty()) *why = std::string("no ") + RankBindName(mode) + " of this host may be used";
  return false;
#else
  (void)mode;
  (void)gpus;
  *why = "this build has no hwloc";
  return false;
#endif
}

bool BindingUnits(int mode, std::vector<cpu_set_t>* units, std::string* why) {
  HostTopology topology;
  const bool ok = HostTopologyRead(mode, false, &topology, why);
  *units = topology.units;
  return ok;
}
