#include "pmi/pmix_loader.h"

#include "common/modules.h"

namespace pmi {

std::unique_ptr<PmixRelay> LoadPmixRelay(std::string* why) {
  void* entry = TarvoModuleEntry("tarvo-pmix.so", "tarvo_pmix_new_relay", why);
  if (entry == nullptr) return nullptr;
  return std::unique_ptr<PmixRelay>(reinterpret_cast<PmixRelay* (*)()>(entry)());
}

}  // namespace pmi
