// The control process: its globals and entry points, for the program, its
// tests and other programs. Everything here but main() lives in libcontrol.a;
// the names come from the layer that owns them (context/, services/, spawn/),
// the command line and the main flow from app/.
#ifndef TARVO_LAUNCHER_CONTROL_H
#define TARVO_LAUNCHER_CONTROL_H

#include <cstdint>
#include <string>

#include "common/messages.h"
#include "common/protocol.h"
#include "launcher/context/RunContext.h"  // the run's globals, ErrorMsg, the closing guard
#include "launcher/services/Services.h"   // the service threads, the monitor bridge
#include "launcher/spawn/Spawners.h"      // spawn_processes, spawn_processes1

/// Prints the eight usage lines, flushing after each.
void PrintUsage();
/// PrintUsage, then ends the process with 0.
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
  bool shellGiven = false;  // "-ssh" or "-rsh" stands on the command line
  bool machineFileGiven = false;
  bool programFileGiven = false;
  char machineFile[kMaxPathText + 1] = {0};
  char programFile[kMaxPathText + 1] = {0};
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

/// Longest path the launcher takes for a file, a program or its working
/// directory: the system's (PATH_MAX, its NUL aside).
const int kMaxPathLength = kMaxPathText;

/// The whole main flow; main() only calls it and returns its status. Nothing
/// else in the launcher ends the process (Usage aside, which other programs
/// know as never returning).
int ControlMain(int argc, char** argv);

#endif  // TARVO_LAUNCHER_CONTROL_H
