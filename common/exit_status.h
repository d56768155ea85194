/* A process's end as a shell reports it, for C and C++: its exit code, or
 * 128 and the number of the signal that ended it. The launcher's run
 * status, the agents' and carrier's own statuses all follow it. */
#ifndef TARVO_COMMON_EXIT_STATUS_H
#define TARVO_COMMON_EXIT_STATUS_H

#include <sys/wait.h>

/* The status of a process ended by signal SIG. */
static inline int SignalStatus(int sig) { return 128 + sig; }

/* The status that the wait status WS stands for (0 for a stop or a
 * continue, which end nothing). */
static inline int ShellStatus(int ws) {
  if (WIFSIGNALED(ws)) return SignalStatus(WTERMSIG(ws));
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 0;
}

#endif /* TARVO_COMMON_EXIT_STATUS_H */
