#include "pmi/pmix_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

namespace pmi {

namespace {

// Where the module is: the same way from the running program as from the
// installed one (TARVO_PMIX_MODULE_FROM_BIN), then where it is installed.
std::vector<std::string> ModulePaths() {
  std::vector<std::string> paths;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    paths.push_back(dir + TARVO_PMIX_MODULE_FROM_BIN);
  }
  paths.push_back(TARVO_PMIX_MODULE_INSTALLED);
  return paths;
}

}  // namespace

std::unique_ptr<PmixRelay> LoadPmixRelay(std::string* why) {
  std::string failures;
  for (const std::string& path : ModulePaths()) {
    // RTLD_LOCAL: libpmix's names stay out of the program's; the handle is
    // never closed.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* e = dlerror();
      failures += (failures.empty() ? "" : "; ") + std::string(e != nullptr ? e : path.c_str());
      continue;
    }
    void* entry = dlsym(module, "tarvo_pmix_new_relay");
    if (entry == nullptr) {
      failures += (failures.empty() ? "" : "; ") + path + " has no tarvo_pmix_new_relay";
      continue;
    }
    return std::unique_ptr<PmixRelay>(reinterpret_cast<PmixRelay* (*)()>(entry)());
  }
  *why = "cannot load the PMIx module: " + failures;
  return nullptr;
}

}  // namespace pmi
