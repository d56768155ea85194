// What only some runs need lives in modules of its own beside the programs
// (libexec/tarvo/: tarvo-pmix.so, libpmix's server; tarvo-binding.so,
// hwloc's topology), so that the other runs of tarvo and the agent do not
// load those libraries at every start.
#ifndef TARVO_COMMON_MODULES_H
#define TARVO_COMMON_MODULES_H

#include <string>

/// The function `entry` of the module `file` (loaded on the first call and
/// never unloaded), found the same way from the running program's directory
/// as from the installed one (../libexec/tarvo/), then at the installed
/// path. Null, with the reason in *why, when it cannot be had.
void* TarvoModuleEntry(const char* file, const char* entry, std::string* why);

#endif  // TARVO_COMMON_MODULES_H
