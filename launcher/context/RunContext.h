// The run's context: what start-up settles once and every layer of the
// launcher reads (the count of processes, the remote shell, the four
// endpoints, the registry, what start-up counted and read), the fatal-error
// reporter, and the guard that tells the service threads that the run is
// closing. launcher/Control.h documents these names for other programs.
#ifndef TARVO_LAUNCHER_CONTEXT_RUNCONTEXT_H
#define TARVO_LAUNCHER_CONTEXT_RUNCONTEXT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/messages.h"
#include "common/reports.h"  // the fixed line numbers of the "Error at " reports
#include "registry/peerbook.h"
#include "transport/Connection.h"

// ---- Set by start-up before the service threads begin ----
extern int32_t numProcs;       // processes of the run; 1 without "-np"
extern bool ComShellFlag;      // true: "ssh", false: "rsh"
extern CUDPConnection* addressConnection;
extern CUDPConnection* visualConnection;  // its Hostname() is the local host name
extern CUDPConnection* synConnection;
extern CUDPConnection* consoleConnection;

// The registry of the run, built before main and destroyed at exit.
extern AddressList aList;

// The monitor's queue, which the monitor bridge attaches and posts to.
extern int MsgQueueExist;           // 1 once the monitor queue is attached
extern key_t msg_key;
extern int msg_qID;
extern QueueMessage visualMessage;  // the one post buffer, guarded inside MessageSend

class OutputRelay;
class RunControl;
struct MpiLinks;

/// What start-up learnt that the spawners read again, and the parts of the
/// run in progress that the run object (app/Launch.h) publishes here for
/// the free functions that spawn_processes and the service threads call:
/// their fixed entry points carry no run. One per process.
struct RunContext {
  /// Processes of the program file as start-up counted them (the services
  /// wait for that many); -1 in a run of one user program.
  int programLines = -1;
  /// A TCP socket bound to the address service's port number (-1: none):
  /// the MPI ranks that remote shells start reach tarvo there.
  int pmiTcpFd = -1;
  /// Per-rank remote shells: the shell's words and the descriptors that its
  /// commands close, once the spawner has chosen them (empty: none), for the
  /// commands that pass signals on to the ranks' hosts.
  std::vector<std::string> remoteShell;
  std::vector<int> remoteCloseFds;
  /// Inside a batch system's allocation (PBS, LSF, Grid Engine) and without
  /// a machine file: its hosts as a machine file's text ("host:slots" a
  /// line), which the spawners go round in its place, and what they came
  /// from ("PE_HOSTFILE=/path"), for the reports; empty outside one.
  std::string allocationHosts;
  std::string allocationSource;
  /// The run's parts while the run object lives (null: none).
  std::atomic<RunControl*> control{nullptr};
  std::atomic<OutputRelay*> relay{nullptr};
  std::atomic<const MpiLinks*> mpiLinks{nullptr};
};
RunContext& TheRunContext();

/// Writes "Error at <line> <file>" on standard output without a line end, then
/// perror(msg). Returns; the caller reports the failure to whoever ends the run.
void ErrorMsg(const char* msg, int line, const char* file);

/// The launcher's working directory, whatever its length (glibc's getcwd
/// reads one beyond the kernel's page); false, with perror("getcwd") said,
/// when it cannot be read.
bool ReadWorkingDirectory(std::string* dir);

/// The status of a run refused before any process has started.
const int kRunRefused = 255;
/// Writes `line` (the refusal's "ERROR-" line, or nothing more when it was
/// printed already) on standard output, flushes it, and returns kRunRefused.
int RefuseRun(const std::string& line);

// ---- Shutdown ----
/// Main calls this before it closes the endpoints. When it returns no service
/// is inside a request on aList, and none will start one again.
void ControlBeginClosing();
/// True once main has begun to close the endpoints: a failed receive then
/// ends its service thread quietly.
bool ControlClosing();
/// A service calls this before it handles a request that touches aList; when
/// it returns false the run is closing and the thread must end without
/// touching the list. A true result must be paired with ControlLeaveRequest.
bool ControlEnterRequest();
void ControlLeaveRequest();

#endif  // TARVO_LAUNCHER_CONTEXT_RUNCONTEXT_H
