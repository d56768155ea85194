#include "common/modules.h"
#include "common/rank_binding.h"

bool BindingUnits(int mode, std::vector<cpu_set_t>* units, std::string* why) {
  units->clear();
#ifdef TARVO_HAVE_HWLOC
  void* entry = TarvoModuleEntry("tarvo-binding.so", "tarvo_binding_units", why);
  if (entry == nullptr) return false;
  if (reinterpret_cast<bool (*)(int, std::vector<cpu_set_t>*, std::string*)>(entry)(mode, units, why)) return true;
  if (why->empty()) *why = std::string("no ") + RankBindName(mode) + " of this host may be used";
  return false;
#else
  (void)mode;
  *why = "this build has no hwloc";
  return false;
#endif
}
