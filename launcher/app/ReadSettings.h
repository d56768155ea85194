// Reading the launcher's settings, once at start-up.
#ifndef TARVO_LAUNCHER_APP_READSETTINGS_H
#define TARVO_LAUNCHER_APP_READSETTINGS_H

#include <string>

#include "launcher/run/RunSettings.h"

/// Reads the settings through `lookup` (getenv in the launcher). An unset or
/// empty variable keeps its default. False, with the "ERROR-" line (and its
/// line end) in *error, for a malformed value. Pure.
bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* settings, std::string* error);

/// The batch system's allocation that a run is inside, as FindAllocation
/// reads it: its hosts in the order given, each with its slots.
struct Allocation {
  enum System { kNone, kSlurm, kPbs, kLsf, kGridEngine } system = kNone;
  struct Host {
    std::string name;
    int slots = 0;
  };
  std::vector<Host> hosts;  // empty for Slurm, whose nodes Slurm mode expands
  std::string source;       // what the hosts came from: "PE_HOSTFILE=/path", "LSB_MCPU_HOSTS"
  int Slots() const;
};

/// The allocation that a run without a machine file and without
/// TARVO_LAUNCH uses, as the other launchers do, in this order: Slurm
/// (SLURM_JOB_ID, SLURM_JOB_NODELIST), PBS/Torque (PBS_JOBID, PBS_NODEFILE:
/// a line per slot), LSF (LSB_JOBID, LSB_MCPU_HOSTS "host n host n ...", else
/// LSB_HOSTS, a word per slot), Grid Engine (JOB_ID, PE_HOSTFILE: "host slots
/// queue processors" a line, a host named on several lines, one per queue,
/// taking the sum). `readFile` reads a whole file (false: it cannot). True
/// with system kNone where there is none to use; false, with the "ERROR-"
/// line naming the variable in *error, for a file that cannot be read or
/// names no host, or a host list that is not one. Pure.
bool FindAllocation(const char* (*lookup)(const char*), bool (*readFile)(const char* path, std::string* text),
                    bool machineFileGiven, Allocation* allocation, std::string* error);

/// The allocation as a machine file's text ("host:slots" a line), which the
/// spawners go round as they go round a machine file. TARVO_PPN's fill
/// would give each host its ranks here in place of its slots.
std::string AllocationHosts(const Allocation& allocation);

/// Inside a Slurm allocation (SLURM_JOB_ID and SLURM_JOB_NODELIST set), a
/// run without a machine file and without TARVO_LAUNCH runs on the
/// allocation's nodes, as the other launchers' do; such a run takes
/// TARVO_PPN from SLURM_NTASKS_PER_NODE and TARVO_CPUS_PER_RANK from
/// SLURM_CPUS_PER_TASK where they are not set. Pure.
void UseTheAllocation(const char* (*lookup)(const char*), bool machineFileGiven, RunSettings* settings);

/// TARVO_RSH's words: split at blanks, without a shell, a leading "~/" of a
/// word taken from `home`. False, with the "ERROR-" line in *error, for a
/// value without words, with more than 32 words, or with a word over the
/// limit of a child's argument. Pure.
bool ReadRemoteShell(const char* value, const char* home, std::vector<std::string>* words, std::string* error);

#endif  // TARVO_LAUNCHER_APP_READSETTINGS_H
