// The control process: its globals and entry points, for the program and its
// tests. Everything here but main() lives in libcontrol.a.
#ifndef TARVO_LAUNCHER_CONTROL_H
#define TARVO_LAUNCHER_CONTROL_H

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/messages.h"
#include "common/protocol.h"
#include "common/reports.h"  // the fixed line numbers of the "Error at " reports
#include "registry/peerbook.h"
#include "transport/Connection.h"

// ---- Globals set by start-up before the service threads begin ----
extern int32_t numProcs;       // processes of the run; 1 without "-np"
extern bool ComShellFlag;      // true: "ssh", false: "rsh"
extern CUDPConnection* addressConnection;
extern CUDPConnection* visualConnection;  // its Hostname() is the local host name
extern CUDPConnection* synConnection;
extern CUDPConnection* consoleConnection;

// The registry of the run, built before main and destroyed at exit.
extern AddressList aList;

// ---- Monitor bridge ----
extern int MsgQueueExist;           // 1 once the monitor queue is attached
extern key_t msg_key;
extern int msg_qID;
extern QueueMessage visualMessage;  // the one post buffer, guarded inside MessageSend

// Exit status of the run: 0 when every process ended with 0, otherwise the
// highest of the processes' statuses (128 + signal for a signalled one).
extern int runExitStatus;

/// Writes "Error at <line> <file>" on standard output without a line end, then
/// perror(msg). Returns; the caller ends the process.
void ErrorMsg(const char* msg, int line, const char* file);
/// Prints the eight usage lines, flushing after each, and exits with 0.
[[noreturn]] void Usage();

// ---- Command line ----
struct CommandLine {
  enum Outcome {
    kRun,       // go on with start-up
    kUsage,     // print the usage text, status 0
    kNpRange,   // print the two "-np" lines (npValue), then the usage text
    kTooLong,   // print `error` (one "ERROR-" line), status 255
  };
  Outcome outcome = kRun;
  int32_t numProcs = 1;
  bool comShell = false;
  bool machineFileGiven = false;
  bool programFileGiven = false;
  char machineFile[128] = {0};
  char programFile[128] = {0};
  int npPosition = 0;         // index of the "-np" value, 0 when absent
  int pfPosition = 0;         // index of the "-pf" value, 0 when absent
  int lastValuePosition = 0;  // index of the last "-np"/"-mf" value
  int npValue = 0;            // the value read, for the "-np" report
  std::string error;          // the "ERROR-" line for kTooLong, with its line end
  int programIndex() const { return lastValuePosition + 1; }
  int userArgCount(int argc) const { return argc - lastValuePosition - 2; }
};

/// Scans every word of the command line as the launcher does (later options
/// override earlier ones; option words among the user's arguments count too).
/// Pure: prints nothing and changes no global.
CommandLine ScanCommandLine(int argc, char** argv);

/// Longest path the launcher takes for a file or a program: an element of the
/// child argument vector.
const int kMaxPathLength = kMaxVectorElement;

/// The whole main flow; main() only calls it.
int ControlMain(int argc, char** argv);

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

// ---- Spawners ----
int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args);
int spawn_processes1(const char* machinefile, const char* programfile);

// ---- Service threads; each takes its CUDPConnection* ----
void* ResolveAddress(void* arg);
void* SynControler(void* arg);
void* DistConsole(void* arg);
void* TransmitMessage(void* arg);

// ---- Monitor bridge ----
int VisaulSystemInit();
void MessageSend(int code, int a);
void MessageSend(int code, int a, const char* s);
void MessageSend(int code, int a, int b);
void MessageSend(int code, int a, int b, const char* s);
void MessageSend(int code, int a, int b, const char* s, const char* t, int c);
void MessageSend(int code, int a, int b, const char* list, int c, const char* s, const char* t);

#endif  // TARVO_LAUNCHER_CONTROL_H
