// The launcher's own settings for a run's output and monitor, taken from its
// environment once at start-up.
#ifndef TARVO_LAUNCHER_OUTPUTSETTINGS_H
#define TARVO_LAUNCHER_OUTPUTSETTINGS_H

#include <string>

struct OutputSettings {
  bool label = false;    // TARVO_LABEL=1: every line of a rank comes out whole, prefixed "[R] "
  bool monitor = false;  // TARVO_MONITOR=1: the monitor bridge runs for the run
};

/// Reads TARVO_LABEL and TARVO_MONITOR through `get` (getenv in the
/// launcher). Each is "0" or "1"; unset or empty is "0". False, with the "ERROR-" line
/// (variable and value, with its line end) in *error, for any other value.
bool ReadOutputSettings(const char* (*get)(const char*), OutputSettings* settings, std::string* error);

#endif  // TARVO_LAUNCHER_OUTPUTSETTINGS_H
