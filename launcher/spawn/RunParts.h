// What a spawner takes of the run in progress: its settings, the parts that
// start, watch and serve its processes, and what start-up learnt for it.
// The run object (app/Launch.h) makes one; spawn_processes and
// spawn_processes1, as other programs call them, take one of no parts.
#ifndef TARVO_LAUNCHER_SPAWN_RUNPARTS_H
#define TARVO_LAUNCHER_SPAWN_RUNPARTS_H

#include <string>

#include "launcher/mpi/MpiServer.h"
#include "launcher/run/RunSettings.h"

class OutputRelay;
class RunControl;

namespace spawn {

struct RunParts {
  const RunSettings& settings;
  /// Null: the spawner runs its processes with a run control of its own.
  RunControl* control;
  /// Null: the ranks write to tarvo's own streams, rank 0 reads its input.
  OutputRelay* relay;
  /// What the run's MPI servers take beside their job.
  const MpiLinks& mpiLinks;
  /// Processes of the program file as start-up counted them (the services
  /// wait for that many); -1 in a run of one user program.
  int programLines;
  /// A TCP socket bound to the address service's port number (-1: none):
  /// the MPI ranks that remote shells start reach tarvo there. The spawner
  /// that serves them takes it over.
  int pmiTcpFd;
  /// Inside a batch system's allocation (PBS, LSF, Grid Engine) and without
  /// a machine file: its hosts as a machine file's text ("host:slots" a
  /// line), which the spawners go round in its place, and what they came
  /// from ("PE_HOSTFILE=/path"), for the reports; empty outside one.
  std::string allocationHosts;
  std::string allocationSource;
};

/// The spawners of a run: spawn_processes and spawn_processes1 with the
/// run's parts.
int SpawnProcesses(const RunParts& run, int nprocs, const char* program, const char* machinefile, int nargs,
                   char** args);
int SpawnProgramFile(const RunParts& run, const char* machinefile, const char* programfile);

}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_RUNPARTS_H
