// Reading the launcher's settings, once at start-up.
#ifndef TARVO_LAUNCHER_APP_RUNSETTINGS_H
#define TARVO_LAUNCHER_APP_RUNSETTINGS_H

#include <string>

#include "launcher/run/RunSettings.h"

/// Reads the settings through `lookup` (getenv in the launcher). An unset or
/// empty variable keeps its default. False, with the "ERROR-" line (and its
/// line end) in *error, for a malformed value. Pure.
bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* settings, std::string* error);

#endif  // TARVO_LAUNCHER_APP_RUNSETTINGS_H
