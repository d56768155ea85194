#include "common/modules.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

void* TarvoModuleEntry(const char* file, const char* entry, std::string* why) {
  std::vector<std::string> paths;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    paths.push_back(dir + TARVO_MODULE_DIR_FROM_BIN "/" + file);
  }
  paths.push_back(std::string(TARVO_MODULE_DIR_INSTALLED "/") + file);
  std::string failures;
  for (const std::string& path : paths) {
    // RTLD_GLOBAL, as if linked: the libraries' own plugins (hwloc's,
    // libpmix's components) find the library's names only there. Never
    // closed: libpmix keeps threads and handlers.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    void* found = module != nullptr ? dlsym(module, entry) : nullptr;
    if (found != nullptr) return found;
    const char* e = module == nullptr ? dlerror() : nullptr;
    failures += (failures.empty() ? "" : "; ") +
                (module == nullptr ? std::string(e != nullptr ? e : path.c_str()) : path + " has no " + entry);
  }
  *why = std::string("cannot load ") + file + ": " + failures;
  return nullptr;
}
