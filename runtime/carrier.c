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
#define _GNU_SOURCE /* signalfd */

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/carrier_params.h"
#include "common/carrier_exec.h"
#include "common/exit_status.h"
#include "common/net_socket.h"
#include "common/started_notice.h"
#include "common/terminal_open.h"
#include "runtime/carrier_relay.h"

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

/* The terminal that the launcher asks for in the environment of a remote
 * rank's carrier: TARVO_PTY "1", or "COLSxROWS" for one sized like the
 * launcher's own. Taken out of the environment, which the program then gets
 * as it would without it. 0 for none, 1 with *SIZE unset, 2 with it. */
static int TerminalAsked(struct winsize* size) {
  const char* v = getenv("TARVO_PTY");
  int asked = 0;
  if (v != NULL && strcmp(v, "1") == 0) {
    asked = 1;
  } else if (v != NULL) {
    unsigned cols = 0, rows = 0;
    char end = 0;
    if (sscanf(v, "%5ux%5u%c", &cols, &rows, &end) == 2 && cols > 0 && rows > 0 && cols < 65536 && rows < 65536) {
      memset(size, 0, sizeof *size);
      size->ws_col = (unsigned short)cols;
      size->ws_row = (unsigned short)rows;
      asked = 2;
    }
  }
  unsetenv("TARVO_PTY");
  return asked;
}

/* Relays the program's terminal and takes carrier's signals until the
 * program CHILD has ended; returns its wait status. */
static int Watch(int signals, CarrierRelay* relay, char** params, pid_t child, pid_t parent) {
  /* The notice is the launcher's only word that this login is over (it
   * ends a run whose login it never hears of): said again after 1 and 3 s,
   * in case a datagram was lost; the launcher takes it once. */
  int resends = 2;
  alarm(1);
  int ws = 0;
  for (int ended = 0; !ended;) {
    struct pollfd ready[2] = {{signals, POLLIN, 0}, {-1, 0, 0}};
    CarrierRelayPoll(relay, &ready[1]);
    if (poll(ready, 2, -1) < 0) continue;
    if (ready[1].revents != 0) CarrierRelayStep(relay);
    struct signalfd_siginfo info;
    while (!ended && read(signals, &info, sizeof info) == (ssize_t)sizeof info) {
      const int sig = (int)info.ssi_signo;
      if (sig == SIGALRM) {
        if (resends-- > 0) {
          Notice(params, TARVO_STARTED, child, 0);
          alarm(2);
        }
      } else if (sig == SIGCHLD) {
        ended = waitpid(child, &ws, WNOHANG) == child;
      } else {
        /* Without its session the rank is over; a signal of someone
         * else's is passed on. */
        kill(-child, sig == SIGTERM && getppid() != parent ? SIGKILL : sig);
      }
    }
  }
  return ws;
}

/* On a remote host carrier stays, as the parent of the program, which leads
 * a process group of its own: the launcher signals that group (the pid of
 * the STARTED notice), carrier tells it how the program ended, and when the
 * remote shell's session ends (the launcher is gone) or the program ends,
 * whatever is left of its group is killed. Asked for, the program's
 * standard output is a terminal, which carrier relays to its own
 * (carrier_relay.h), all of it before it says that the program ended. */
static int RunRemote(char** argv, char** params, pid_t parent) {
  sigset_t taken, old, blocked;
  sigemptyset(&taken);
  sigaddset(&taken, SIGCHLD);
  sigaddset(&taken, SIGTERM);
  sigaddset(&taken, SIGHUP);
  sigaddset(&taken, SIGINT);
  sigaddset(&taken, SIGALRM);
  /* A reader gone is a failed write to carrier, not its end. */
  blocked = taken;
  sigaddset(&blocked, SIGPIPE);
  sigprocmask(SIG_BLOCK, &blocked, &old);
  /* The end of the session now comes as SIGTERM, which carrier takes. */
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;
  const int signals = signalfd(-1, &taken, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) {
    fprintf(stderr, "carrier: signalfd: %s\n", CarrierErrorText(errno));
    return 127;
  }
  struct winsize size;
  const int asked = TerminalAsked(&size);
  int master = -1, slave = -1;
  const char* what = NULL;
  const int e = asked ? TerminalOpen(asked == 2 ? &size : NULL, NULL, &master, &slave, &what) : 0;
  if (e != 0) {
    /* The system's bound on terminals (/proc/sys/kernel/pty/max) reached. */
    fprintf(stderr, "tarvo: no terminal for the output of rank %s (%s: %s); it writes to its remote shell's output\n",
            params[TARVO_PARAM_RANK], what, CarrierErrorText(e));
  }
  const pid_t self = getpid();
  const pid_t child = fork();
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &old, NULL);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != self) _exit(1);
    setpgid(0, 0);
    if (slave >= 0 && dup2(slave, STDOUT_FILENO) < 0) _exit(127);
    _exit(CarrierRun(argv, params[TARVO_PARAM_WORKDIR]));
  }
  if (slave >= 0) close(slave);
  if (child < 0) {
    fprintf(stderr, "carrier: fork: %s\n", CarrierErrorText(errno));
    return 127;
  }
  setpgid(child, child);
  Notice(params, TARVO_STARTED, child, 0);
  CarrierRelay relay;
  CarrierRelayStart(&relay, master, STDOUT_FILENO);
  const int ws = Watch(signals, &relay, params, child, parent);
  kill(-child, SIGKILL); /* what the program left behind ends with it */
  CarrierRelayDrain(&relay);
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
