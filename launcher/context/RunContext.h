// The run's context: the names that other programs know and every layer of
// the launcher reads (the count of processes, the remote shell, the four
// endpoints, the registry, the monitor's queue), the fatal-error reporter,
// and the guard that tells the service threads that the run is closing.
// launcher/Control.h documents these names for other programs.
#ifndef TARVO_LAUNCHER_CONTEXT_RUNCONTEXT_H
#define TARVO_LAUNCHER_CONTEXT_RUNCONTEXT_H

#include <cstdint>
#include <string>

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
