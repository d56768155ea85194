// The run as one object. ControlMain makes one Launch per run; it owns what
// the run is made of beside the globals that other programs read (numProcs,
// ComShellFlag, the four endpoints, aList, the monitor's queue names): the
// settings, what start-up learnt for the spawners, the senders that the
// services take, the record of ranks waiting in a collective, the output
// relay, the monitor bridge, the run control and the MPI servers' links,
// and the service threads with their arguments. Each part gets its
// collaborators when it is made: the run control the collective record, the
// MPI servers the sender checks, the key-value bound and the PMIx relay
// maker, the services and the monitor bridge the run control, the spawner
// all of them (spawn::RunParts).
#ifndef TARVO_LAUNCHER_APP_LAUNCH_H
#define TARVO_LAUNCHER_APP_LAUNCH_H

#include <pthread.h>

#include <memory>
#include <string>
#include <vector>

#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunSettings.h"
#include "launcher/services/Services.h"
#include "launcher/services/SourceFilter.h"
#include "launcher/services/SyncService.h"
#include "launcher/services/VisualBridge.h"
#include "launcher/spawn/RunParts.h"

/// The program's own parts that libcontrol.a leaves out (main gives them).
struct ProgramParts {
  PmixMaker makeRelay = nullptr;  // tarvo's PMIx server module, when its build has libpmix
};

/// ControlMain with the program's parts.
int ControlMain(int argc, char** argv, const ProgramParts& parts);

class Launch {
 public:
  Launch();
  ~Launch();
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  RunSettings settings;
  /// The senders that the services take datagrams from, made by start-up
  /// before any thread starts.
  std::unique_ptr<RunSenders> senders;
  CollectiveWaits waits;
  /// The ranks' output, made with the run control; a reader of tarvo's
  /// output that has gone ends the run.
  std::unique_ptr<OutputRelay> relay;
  /// The monitor's bridge, started with TARVO_MONITOR.
  MonitorBridge monitor;
  /// Made once the settings are read, before any thread starts.
  std::unique_ptr<RunControl> control;
  MpiLinks mpiLinks;
  /// What start-up learnt for the spawners: the program file's count of
  /// processes (-1: none), the TCP socket on the address service's port
  /// number (-1: none), a batch system's hosts as a machine file's text
  /// and where they came from (empty: none).
  int programLines = -1;
  int pmiTcpFd = -1;
  std::string allocationHosts;
  std::string allocationSource;

  /// Makes the run control and the MPI servers' links from the settings.
  void MakeParts(const ProgramParts& parts);
  /// What the spawners take of this run.
  spawn::RunParts SpawnParts();

  /// Starts the address, synchronisation and console threads on the global
  /// endpoints; false, reported, when a thread cannot start.
  bool StartServices();
  /// Starts the monitor bridge on the visual endpoint: 0 or the run's status.
  int StartMonitor();
  /// Ends the relay, the monitor bridge and the services, then closes the
  /// endpoints and reports the dropped senders.
  void Finish();

 private:
  bool StartService(void* (*entry)(void*), ServiceThread* service);

  ServiceThread address_{};
  ServiceThread sync_{};
  ServiceThread console_{};
  std::vector<pthread_t> services_;
  // The MPI servers' sender checks: the run's senders.
  class MpiSendersOfRun : public MpiSenders {
   public:
    explicit MpiSendersOfRun(RunSenders* senders) : senders_(senders) {}
    bool Admit(const char* sender) override { return senders_->Admit(sender); }
    void CountStranger(const char* sender) override { senders_->CountStranger(sender); }

   private:
    RunSenders* senders_;
  };
  std::unique_ptr<MpiSendersOfRun> mpiSenders_;  // made with the other parts
};

#endif  // TARVO_LAUNCHER_APP_LAUNCH_H
