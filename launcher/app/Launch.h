// The run as one object. ControlMain makes one Launch per run; it owns what
// the run is made of beside the globals that other programs read (numProcs,
// ComShellFlag, the four endpoints, aList, the monitor's queue names): the
// settings, the senders that the services take, the record of ranks waiting
// in a collective, the output relay, the monitor bridge, and the service
// threads with their arguments. Each service thread gets what it uses
// through its argument; the hooks of the run control and the MPI server,
// which take plain functions, reach the run through one pointer in
// Launcher.cpp.
#ifndef TARVO_LAUNCHER_APP_LAUNCH_H
#define TARVO_LAUNCHER_APP_LAUNCH_H

#include <pthread.h>

#include <vector>

#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunSettings.h"
#include "launcher/services/Services.h"
#include "launcher/services/SourceFilter.h"
#include "launcher/services/SyncService.h"
#include "launcher/services/VisualBridge.h"

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
};

#endif  // TARVO_LAUNCHER_APP_LAUNCH_H
