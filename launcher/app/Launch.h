// The run as one object. ControlMain makes one Launch per run; it owns what
// the run is made of beside the globals that other programs read (numProcs,
// ComShellFlag, the four endpoints, aList, the monitor's queue names): the
// settings, the senders that the services take, the record of ranks waiting
// in a collective, the output relay, the monitor bridge, the run control and
// the MPI servers' links, and the service threads with their arguments.
// Each part gets its collaborators when it is made: the run control the
// collective record and the remote signaller, the MPI servers the sender
// checks, the key-value bound and the PMIx relay maker.
#ifndef TARVO_LAUNCHER_APP_LAUNCH_H
#define TARVO_LAUNCHER_APP_LAUNCH_H

#include <pthread.h>

#include <memory>
#include <vector>

#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"
#include "launcher/run/RunSettings.h"
#include "launcher/services/Services.h"
#include "launcher/services/SourceFilter.h"
#include "launcher/services/SyncService.h"
#include "launcher/services/VisualBridge.h"
#include "launcher/spawn/RemoteSignals.h"

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
  RunSenders senders;
  CollectiveWaits waits;
  /// The ranks' labelled output; a reader of tarvo's output that has gone
  /// ends the run.
  OutputRelay relay;
  /// The monitor's bridge, started with TARVO_MONITOR.
  MonitorBridge monitor;
  /// Per-rank remote shells' signals, for the run control.
  spawn::RemoteSignals remoteSignals;
  /// Made once the settings are read, before any thread starts.
  std::unique_ptr<RunControl> control;
  MpiLinks mpiLinks;

  /// Makes the run control and the MPI servers' links from the settings,
  /// and publishes the run's parts in the run's context.
  void MakeParts(const ProgramParts& parts);

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
  MpiSendersOfRun mpiSenders_{&senders};
};

#endif  // TARVO_LAUNCHER_APP_LAUNCH_H
