/* carrier: the wrapper that the launcher starts for every process, on the
 * local host directly or on a remote one through the remote shell.
 *
 *   carrier PROGRAM [ARGS...] CONSOLE_PORT SYNC_PORT LAUNCHER_ADDRESS
 *           ADDRESS_PORT VISUAL_PORT RANK COUNT WORKDIR
 *
 * The launcher's parameters are always the last eight words. carrier enters
 * WORKDIR, hands the parameters to the process in its environment and
 * replaces itself with PROGRAM and its own ARGS, so that any program, a shell
 * script included, runs under tarvo; on a remote host it stays as the
 * program's parent instead (RunRemote). A program named by a bare word (NAME,
 * or WORKDIR/NAME as the launcher forms it) that is no file in WORKDIR is
 * looked up on this host's PATH. Only the C library is used: carrier is
 * started once per process and should cost little more than an exec. */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/carrier_params.h"
#include "common/carrier_exec.h"
#include "common/exit_status.h"
#include "common/net_socket.h"
#include "common/started_notice.h"

/* Tells the launcher about the rank's program on this host (started_notice.h):
 * CODE TARVO_STARTED or TARVO_ENDED, its PID (and group) and, for its end,
 * its wait STATUS. One datagram; STARTED is sent three times (RunRemote), a
 * lost ENDED leaves it the remote shell's status. */
static void Notice(char** params, int code, pid_t pid, int status) {
  int32_t notice[TARVO_NOTICE_SIZE / 4];
  memset(notice, 0, sizeof notice);
  notice[0] = code;
  notice[TARVO_NOTICE_RANK] = (int32_t)atoi(params[TARVO_PARAM_RANK]);
  notice[TARVO_NOTICE_PID] = (int32_t)pid;
  notice[TARVO_NOTICE_STATUS] = (int32_t)status;
  (void)NetUdpSendOnce(NULL, params[TARVO_PARAM_HOST], atoi(params[TARVO_PARAM_ADDRESS_PORT]), notice, sizeof notice);
}

/* On a remote host carrier stays, as the parent of the program, which leads
 * a process group of its own: the launcher signals that group (the pid of
 * the STARTED notice), carrier tells it how the program ended, and when the
 * remote shell's session ends (the launcher is gone) or the program ends,
 * whatever is left of its group is killed. */
static int RunRemote(char** argv, char** params, pid_t parent) {
  sigset_t taken, old;
  sigemptyset(&taken);
  sigaddset(&taken, SIGCHLD);
  sigaddset(&taken, SIGTERM);
  sigaddset(&taken, SIGHUP);
  sigaddset(&taken, SIGINT);
  sigaddset(&taken, SIGALRM);
  sigprocmask(SIG_BLOCK, &taken, &old);
  /* The end of the session now comes as SIGTERM, which carrier takes. */
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;
  const pid_t self = getpid();
  const pid_t child = fork();
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &old, NULL);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != self) _exit(1);
    setpgid(0, 0);
    _exit(CarrierRun(argv, params[TARVO_PARAM_WORKDIR]));
  }
  if (child < 0) {
    fprintf(stderr, "carrier: fork: %s\n", CarrierErrorText(errno));
    return 127;
  }
  setpgid(child, child);
  Notice(params, TARVO_STARTED, child, 0);
  /* The notice is the launcher's only word that this login is over (it
   * ends a run whose login it never hears of): said again after 1 and 3 s,
   * in case a datagram was lost; the launcher takes it once. */
  int resends = 2;
  alarm(1);
  int ws = 0;
  for (;;) {
    int sig = 0;
    if (sigwait(&taken, &sig) != 0) continue;
    if (sig == SIGALRM) {
      if (resends-- > 0) {
        Notice(params, TARVO_STARTED, child, 0);
        alarm(2);
      }
      continue;
    }
    if (sig == SIGCHLD) {
      if (waitpid(child, &ws, WNOHANG) == child) break;
      continue;
    }
    /* Without its session the rank is over; a signal of someone else's is
     * passed on. */
    kill(-child, sig == SIGTERM && getppid() != parent ? SIGKILL : sig);
  }
  kill(-child, SIGKILL); /* what the program left behind ends with it */
  Notice(params, TARVO_ENDED, child, ws);
  return ShellStatus(ws);
}

int main(int argc, char** argv) {
  /* The process ends with its parent: the launcher on this host, or the
   * remote shell's session, which ends when the launcher's remote shell
   * does. The signal stays set across the exec below. */
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) return 1; /* the parent ended before the signal was set */

  const int status = CarrierPrepare(argc - 1, argv + 1);
  if (status != 0) return status;
  char** params = argv + argc - TARVO_PARAMS;
  /* A launcher on this host started carrier itself and put its pid in the
   * environment; a remote shell passes no environment on. */
  const char* launcher = getenv("TARVO_LAUNCHER_PID");
  if (launcher == NULL || atol(launcher) != (long)parent) return RunRemote(argv + 1, params, parent);
  return CarrierRun(argv + 1, params[TARVO_PARAM_WORKDIR]);
}
