// How tarvo's programs start a process of their own, beside the rank starts
// of the launcher's executor and the agent (which share the same child
// body): the monitor, the group watcher, the call stacks' reader, the
// topology helper. A fork whose child is ChildExecRun (rank_exec.h), the
// set-up and exec of every start, on data prepared before the fork: the
// parents have threads, and their children take no lock.
#ifndef TARVO_COMMON_PROCESS_START_H
#define TARVO_COMMON_PROCESS_START_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "common/child_setup.h"
#include "common/rank_exec.h"

/// Starts a child that sets itself up as `setup` says and execs as `exec`
/// says. With `execFailureIsOurs` the parent goes on once the child has
/// exec'd, as after posix_spawn, and an exec that fails is the caller's:
/// the child reaped, -1 with errno the exec's error. Without, the child
/// reports its own failure (`exec`'s texts and status). -1, errno set,
/// when no child can be had; *err says why in either case.
pid_t ProcessStart(const ChildSetup& setup, ChildExec exec, bool execFailureIsOurs, std::string* err);

/// Starts a child that runs `body`, the parent's own code, which must not
/// return (the group watcher: it ends with _exit). -1, errno set and *err
/// saying why, when no child can be had.
pid_t ProcessFork(const std::function<void()>& body, std::string* err);

/// Starts a child whose standard output is a pipe for the caller to read:
/// `start` is given the pipe's writing end to put on the child's standard
/// output and returns the child (-1: none, errno set). The reading end,
/// close-on-exec and with `nonblocking` nonblocking, goes to *readFd.
pid_t ProcessStartReading(const std::function<pid_t(int writeFd)>& start, bool nonblocking, int* readFd);

/// The tarvo-agent beside this program's own file, where there is an
/// executable one; else "tarvo-agent", for a search of the PATH.
std::string AgentProgram();

#endif  // TARVO_COMMON_PROCESS_START_H
