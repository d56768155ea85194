// The MPIR process-acquisition interface (version 1): the symbols through
// which a parallel debugger that has started or attached to tarvo finds
// the processes of its run. A debugger reads them from tarvo's memory by
// name, so their names, types and values are fixed by that interface, and
// they live in the tarvo executable itself (libcontrol.a, pulled in by the
// run control).
#ifndef TARVO_LAUNCHER_RUN_MPIR_H
#define TARVO_LAUNCHER_RUN_MPIR_H

#include <sys/types.h>

#include <string>

extern "C" {

/// One process of the run, as a debugger attaches to it.
struct MPIR_PROCDESC {
  char* host_name;        // the rank's host, as the run names it
  char* executable_name;  // the path of the rank's program
  int pid;                // the rank's own program's pid on that host
};

#define MPIR_NULL 0
#define MPIR_DEBUG_SPAWNED 1
#define MPIR_DEBUG_ABORTING 2

extern MPIR_PROCDESC* MPIR_proctable;
extern int MPIR_proctable_size;
extern volatile int MPIR_debug_state;
extern char* MPIR_debug_abort_string;
/// Set by a debugger that starts tarvo.
extern volatile int MPIR_being_debugged;
/// Present: tarvo starts the processes, and is not one of them.
extern int MPIR_i_am_starter;
/// Present: a debugger may attach to some of the processes only.
extern int MPIR_partial_attach_ok;
/// Called at each change of MPIR_debug_state; a debugger's breakpoint.
void* MPIR_Breakpoint(void);
}

/// The run's table of `size` ranks, empty until each is set. A new run
/// (tests run several in one process) starts a new table.
void MpirBegin(int size);
/// Rank `rank`'s entry. Ignored once the table is full, or out of range.
void MpirSet(int rank, const std::string& host, const std::string& program, pid_t pid);
/// Whether every rank's entry is set.
bool MpirFull();
/// Every entry set: MPIR_DEBUG_SPAWNED, and the breakpoint. Once a run.
void MpirSpawned();
/// The run ends on a failure: MPIR_DEBUG_ABORTING with `why`, and the
/// breakpoint. Once a run.
void MpirAborting(const std::string& why);

#endif  // TARVO_LAUNCHER_RUN_MPIR_H
