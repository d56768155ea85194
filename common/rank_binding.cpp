// The module tarvo-binding.so: a host's units and GPUs through hwloc,
// which only a run that places ranks loads (HostTopologyRead,
// rank_binding_load.cpp).
#include <hwloc.h>

#include <cstdlib>
#include <cstring>

#include "common/rank_binding.h"

namespace {

void ToCpuSet(hwloc_const_bitmap_t bits, hwloc_const_bitmap_t allowed, cpu_set_t* set) {
  CPU_ZERO(set);
  if (bits == nullptr) return;
  hwloc_bitmap_t both = hwloc_bitmap_alloc();
  hwloc_bitmap_and(both, bits, allowed);
  for (int cpu = hwloc_bitmap_first(both); cpu >= 0 && cpu < CPU_SETSIZE; cpu = hwloc_bitmap_next(both, cpu)) {
    CPU_SET(cpu, set);
  }
  hwloc_bitmap_free(both);
}

// The level's type; a level that the topology does not report falls back
// to the next larger one that it does, and at last to hardware threads.
hwloc_obj_type_t LevelType(hwloc_topology_t topology, int mode) {
  const hwloc_obj_type_t chain[][3] = {
      {HWLOC_OBJ_CORE, HWLOC_OBJ_PU, HWLOC_OBJ_PU},             // none: the core's, for the GPUs' order
      {HWLOC_OBJ_CORE, HWLOC_OBJ_PU, HWLOC_OBJ_PU},             // core
      {HWLOC_OBJ_PACKAGE, HWLOC_OBJ_PU, HWLOC_OBJ_PU},          // socket
      {HWLOC_OBJ_PU, HWLOC_OBJ_PU, HWLOC_OBJ_PU},               // hwthread
      {HWLOC_OBJ_L3CACHE, HWLOC_OBJ_PACKAGE, HWLOC_OBJ_PU},     // l3cache
      {HWLOC_OBJ_NUMANODE, HWLOC_OBJ_PACKAGE, HWLOC_OBJ_PU},    // numa
  };
  const int row = mode >= 0 && mode <= kBindNuma ? mode : kBindCore;
  for (hwloc_obj_type_t type : chain[row]) {
    if (hwloc_get_nbobjs_by_type(topology, type) > 0) return type;
  }
  return HWLOC_OBJ_PU;
}

// The GPU runtimes' OS devices, in the order of preference of the one that
// names a GPU: "cuda0", "rsmi0", "ze0", "opencl0d0".
const char* const kKinds[] = {"cuda", "rsmi", "ze", "opencl"};

// The index among its kind of an OS device named KIND<N> (opencl: the
// device after 'd', "opencl0d2" is 2); -1 when it is not such a name.
int KindIndex(const char* name, const char* kind) {
  const size_t n = strlen(kind);
  if (name == nullptr || strncmp(name, kind, n) != 0) return -1;
  const char* digits = name + n;
  if (strcmp(kind, "opencl") == 0) {
    digits = strchr(digits, 'd');
    if (digits == nullptr) return -1;
    ++digits;
  }
  if (*digits < '0' || *digits > '9') return -1;
  return atoi(digits);
}

// The best named OS device among `first` and (with `siblings`) its
// siblings: kind and index into *gpu; false for none.
bool NamedDevice(hwloc_obj_t first, bool siblings, GpuUnit* gpu) {
  for (const char* kind : kKinds) {
    for (hwloc_obj_t o = first; o != nullptr; o = siblings ? o->next_sibling : nullptr) {
      if (o->type != HWLOC_OBJ_OS_DEVICE) continue;
      const int index = KindIndex(o->name, kind);
      if (index < 0) continue;
      gpu->kind = kind;
      gpu->index = index;
      return true;
    }
  }
  return false;
}

// A display or 3D controller of the GPU makers, or any 3D controller.
bool GpuClass(hwloc_obj_t pci) {
  const unsigned cls = pci->attr->pcidev.class_id, vendor = pci->attr->pcidev.vendor_id;
  return cls == 0x0302 || (cls == 0x0300 && (vendor == 0x10de || vendor == 0x1002 || vendor == 0x8086));
}

void ReadGpus(hwloc_topology_t topology, hwloc_const_bitmap_t allowed, std::vector<GpuUnit>* gpus) {
  int bare = 0;
  for (hwloc_obj_t pci = hwloc_get_next_pcidev(topology, nullptr); pci != nullptr;
       pci = hwloc_get_next_pcidev(topology, pci)) {
    GpuUnit gpu;
    if (!NamedDevice(pci->io_first_child, true, &gpu)) {
      if (!GpuClass(pci)) continue;
      gpu.kind = "pci";
      gpu.index = bare++;
    }
    hwloc_obj_t near = hwloc_get_non_io_ancestor_obj(topology, pci);
    ToCpuSet(near != nullptr ? near->cpuset : nullptr, allowed, &gpu.near);
    gpus->push_back(gpu);
  }
  // A runtime's device that hangs from no PCI device.
  for (hwloc_obj_t os = hwloc_get_next_osdev(topology, nullptr); os != nullptr;
       os = hwloc_get_next_osdev(topology, os)) {
    if (os->parent != nullptr && os->parent->type == HWLOC_OBJ_PCI_DEVICE) continue;
    GpuUnit gpu;
    if (!NamedDevice(os, false, &gpu)) continue;
    hwloc_obj_t near = hwloc_get_non_io_ancestor_obj(topology, os);
    ToCpuSet(near != nullptr ? near->cpuset : nullptr, allowed, &gpu.near);
    gpus->push_back(gpu);
  }
}

}  // namespace

extern "C" bool tarvo_host_topology(int mode, bool gpus, HostTopology* out, std::string* why) {
  out->units.clear();
  out->gpus.clear();
  hwloc_topology_t topology;
  if (hwloc_topology_init(&topology) != 0) {
    *why = "hwloc cannot read this host's topology";
    return false;
  }
  // PCI and OS devices only when GPUs are asked: reading them is the
  // topology's dearest part.
  if (gpus) hwloc_topology_set_io_types_filter(topology, HWLOC_TYPE_FILTER_KEEP_IMPORTANT);
  if (hwloc_topology_load(topology) != 0) {
    hwloc_topology_destroy(topology);
    *why = "hwloc cannot read this host's topology";
    return false;
  }
  // What this process may run on (a Slurm step's CPUs, a taskset's); a
  // topology read from a file (HWLOC_XMLFILE, HWLOC_SYNTHETIC) is another
  // machine's, whose own CPUs are taken.
  hwloc_bitmap_t allowed = hwloc_bitmap_alloc();
  if (!hwloc_topology_is_thissystem(topology) ||
      hwloc_get_cpubind(topology, allowed, HWLOC_CPUBIND_PROCESS) != 0) {
    hwloc_bitmap_copy(allowed, hwloc_topology_get_allowed_cpuset(topology));
  }
  const hwloc_obj_type_t type = LevelType(topology, mode);
  for (int i = 0, n = hwloc_get_nbobjs_by_type(topology, type); i < n; ++i) {
    hwloc_obj_t obj = hwloc_get_obj_by_type(topology, type, static_cast<unsigned>(i));
    cpu_set_t set;
    ToCpuSet(obj->cpuset, allowed, &set);
    if (CPU_COUNT(&set) > 0) out->units.push_back(set);
  }
  if (gpus) ReadGpus(topology, allowed, &out->gpus);
  hwloc_bitmap_free(allowed);
  hwloc_topology_destroy(topology);
  // Nothing usable: the loader says so (the module links no more than hwloc).
  if (out->units.empty()) why->clear();
  return !out->units.empty();
}
