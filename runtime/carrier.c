/* carrier: the wrapper that the launcher starts for every process, on the
 * local host directly or on a remote one through the remote shell.
 *
 *   carrier PROGRAM [ARGS...] CONSOLE_PORT SYNC_PORT LAUNCHER_ADDRESS
 *           ADDRESS_PORT VISUAL_PORT RANK COUNT WORKDIR
 *
 * The launcher's parameters are always the last eight words. carrier enters
 * WORKDIR, hands the parameters to the process in its environment and
 * replaces itself with PROGRAM and its own ARGS, so that any program, a shell
 * script included, runs under tarvo. A program named by a bare word (NAME,
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
#include <unistd.h>

#include "common/carrier_params.h"
#include "common/carrier_exec.h"
#include "common/started_notice.h"

/* Tells the launcher that this rank has started (started_notice.h), so that
 * it can count the remote login as over. One datagram; a lost one only delays the launcher's
 * next login by its time limit. */
static void NoticeStarted(const char* host, const char* port, const char* rank) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)atoi(port));
  if (inet_pton(AF_INET, host, &to.sin_addr) != 1) return;
  int32_t notice[TARVO_NOTICE_SIZE / 4];
  memset(notice, 0, sizeof notice);
  notice[0] = TARVO_STARTED;
  notice[1] = (int32_t)atoi(rank);
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  (void)sendto(s, notice, sizeof notice, 0, (const struct sockaddr*)&to, sizeof to);
  close(s);
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
  if (launcher == NULL || atol(launcher) != (long)parent) {
    NoticeStarted(params[TARVO_PARAM_HOST], params[TARVO_PARAM_ADDRESS_PORT], params[TARVO_PARAM_RANK]);
  }
  return CarrierRun(argv + 1, params[TARVO_PARAM_WORKDIR]);
}
