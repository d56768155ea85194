// Reading the launcher's settings, once at start-up.
#ifndef TARVO_LAUNCHER_APP_READSETTINGS_H
#define TARVO_LAUNCHER_APP_READSETTINGS_H

#include <string>

#include "launcher/run/RunSettings.h"

/// Reads the settings through `lookup` (getenv in the launcher). An unset or
/// empty variable keeps its default. False, with the "ERROR-" line (and its
/// line end) in *error, for a malformed value. Pure.
bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* settings, std::string* error);

/// Inside a Slurm allocation (SLURM_JOB_ID and SLURM_JOB_NODELIST set), a
/// run without a machine file and without TARVO_LAUNCH runs on the
/// allocation's nodes, as the other launchers' do. Pure.
void UseTheAllocation(const char* (*lookup)(const char*), bool machineFileGiven, RunSettings* settings);

/// TARVO_RSH's words: split at blanks, without a shell, a leading "~/" of a
/// word taken from `home`. False, with the "ERROR-" line in *error, for a
/// value without words, with more than 32 words, or with a word over the
/// limit of a child's argument. Pure.
bool ReadRemoteShell(const char* value, const char* home, std::vector<std::string>* words, std::string* error);

#endif  // TARVO_LAUNCHER_APP_READSETTINGS_H
