// The module tarvo-binding.so: this host's cores or sockets through hwloc,
// which only a run that binds loads (BindingUnits, rank_binding_load.cpp).
#include <hwloc.h>

#include "common/rank_binding.h"

extern "C" bool tarvo_binding_units(int mode, std::vector<cpu_set_t>* units, std::string* why) {
  units->clear();
  hwloc_topology_t topology;
  if (hwloc_topology_init(&topology) != 0 || hwloc_topology_load(topology) != 0) {
    *why = "hwloc cannot read this host's topology";
    return false;
  }
  // What this process may run on: a Slurm step's CPUs, a taskset's.
  hwloc_bitmap_t allowed = hwloc_bitmap_alloc();
  if (hwloc_get_cpubind(topology, allowed, HWLOC_CPUBIND_PROCESS) != 0) {
    hwloc_bitmap_copy(allowed, hwloc_topology_get_allowed_cpuset(topology));
  }
  hwloc_obj_type_t type = mode == kBindSocket ? HWLOC_OBJ_PACKAGE : HWLOC_OBJ_CORE;
  if (hwloc_get_nbobjs_by_type(topology, type) <= 0) type = HWLOC_OBJ_PU;  // no such level reported
  hwloc_bitmap_t cpus = hwloc_bitmap_alloc();
  for (int i = 0, n = hwloc_get_nbobjs_by_type(topology, type); i < n; ++i) {
    hwloc_obj_t obj = hwloc_get_obj_by_type(topology, type, static_cast<unsigned>(i));
    hwloc_bitmap_and(cpus, obj->cpuset, allowed);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = hwloc_bitmap_first(cpus); cpu >= 0 && cpu < CPU_SETSIZE; cpu = hwloc_bitmap_next(cpus, cpu)) {
      CPU_SET(cpu, &set);
    }
    if (CPU_COUNT(&set) > 0) units->push_back(set);
  }
  hwloc_bitmap_free(cpus);
  hwloc_bitmap_free(allowed);
  hwloc_topology_destroy(topology);
  // Nothing usable: the loader says so (the module links no more than hwloc).
  if (units->empty()) why->clear();
  return !units->empty();
}
