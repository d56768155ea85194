// The launcher's fixed report texts and the line numbers of its
// "Error at <line> Control" reports.
//
// Why they are frozen: tarvo's output is a message protocol. Scripts and
// tools around the runtime (the monitor, job wrappers, log readers) match
// these texts and numbers to the letter, so they keep their historic form,
// spellings included ("does NOT exists", "check you machinefile",
// "visaul", "Control Process Cannot open" without its colon), and the line
// numbers are fixed numbers of the protocol, not __LINE__. Never change
// one; a new report gets a new text (and a number of its own).
#ifndef TARVO_COMMON_REPORTS_H
#define TARVO_COMMON_REPORTS_H

// ---- "Error at <line> <source>" ----
constexpr char kErrorSource[] = "Control";  // the source file every report names
constexpr int kLineOpenAddress = 260;
constexpr int kLineOpenVisual = 266;
constexpr int kLineOpenSyn = 272;
constexpr int kLineOpenConsole = 287;
constexpr int kLineThreadCreate = 292;  // not one of the historic numbers: a report we added
constexpr int kLineForkMachine = 592;
constexpr int kLineExecLocal = 661;
constexpr int kLineExecSsh = 673;
constexpr int kLineExecRsh = 682;
constexpr int kLineForkProgram = 983;
constexpr int kLineExecLocal1 = 1046;
constexpr int kLineExecSsh1 = 1058;
constexpr int kLineExecRsh1 = 1067;
constexpr int kLineSynRecv = 1242;
constexpr int kLineVisualRecv = 1388;

// ---- The steps those reports name (perror's prefix) ----
constexpr char kStepOpenAddress[] = "open address connection";
constexpr char kStepOpenVisual[] = "open visaul connection";
constexpr char kStepOpenSyn[] = "open syn connection";
constexpr char kStepOpenConsole[] = "open console connection";
constexpr char kStepSynRecv[] = "syn control UDPRecv";
constexpr char kStepConsoleRecv[] = "console UDPRecv";  // perror only, no "Error at"
constexpr char kStepVisualRecv[] = "Visual Thread UDPRecv";

// ---- The usage text, one line each ----
constexpr char kUsageLines[][72] = {
    "Usage: tarvo [options]",
    "Options:",
    "     -{rsh | ssh}    : remote host access protocol",
    "     -np nprocs      : number of processes",
    "     -mf machinefile : machine file",
    "     -pf programfile : program file",
    "      userprog        : user executable file",
    "      [user_arg0,user_arg1, ... ] : user program command line arguments",
};
constexpr char kNpCheck[] = "Please check your '-np': number of processors\n";
constexpr char kNpCurrent[] = "Your current processor number: %d\n";

// ---- Machine file and spawning ----
constexpr char kHostUnknown[] = " does NOT exists\n";  // after "ERROR-Host: <name>"
constexpr char kCheckMachineFile[] = "ERROR-Please check you machinefile\n";
constexpr char kCannotOpenMachineFile[] = "ERROR-Control Process Cannot open machinefile: %s\n";
constexpr char kCannotOpenProgramFile[] = "ERROR-Control Process Cannot open program file: %s\n";
constexpr char kExecLocalFailed[] = "Control Process: execvp no machine failed\n";
constexpr char kForkFailed[] = "Control Process: fail to fork child process";  // a line end follows

// ---- Services ----
constexpr char kConsolePrefix[] = "Console-> ";  // before the text of every console datagram
constexpr char kVisualStartFailed[] = "Failure: Create visual process\n";  // perror's prefix: ": " and the error follow

#endif  // TARVO_COMMON_REPORTS_H
