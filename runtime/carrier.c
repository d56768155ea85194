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
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/carrier_params.h"

/* The launcher's parameters after PROGRAM and ARGS. */
enum { kParams = TARVO_PARAMS };

/* Which parameters are decimal numbers (ports, rank, count). */
static int IsNumeric(int k) { return k != TARVO_PARAM_HOST && k != TARVO_PARAM_WORKDIR; }

static const char kUsage[] =
    "carrier: usage: carrier PROGRAM [ARGS...] CONSOLE_PORT SYNC_PORT LAUNCHER_ADDRESS ADDRESS_PORT VISUAL_PORT "
    "RANK COUNT WORKDIR\n";

/* True for one or more decimal digits whose value fits an int. */
static int IsNumber(const char* text) {
  int value = 0;
  if (*text == '\0') return 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    /* Checked before the step: long is no wider than int on the 32-bit target. */
    if (value > (INT_MAX - (*text - '0')) / 10) return 0;
    value = value * 10 + (*text - '0');
  }
  return 1;
}

/* The address service's code for carrier's notice that its process has
 * started on this host, the rank in the identifier field (a 176-byte
 * request: code, identifier, tag, address text, host name, port). */
enum { kStarted = 7, kNoticeSize = 176 };

/* Tells the launcher that this rank has started, so that it can count the
 * remote login as over. One datagram; a lost one only delays the launcher's
 * next login by its time limit. */
static void NoticeStarted(const char* host, const char* port, const char* rank) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)atoi(port));
  if (inet_pton(AF_INET, host, &to.sin_addr) != 1) return;
  int32_t notice[kNoticeSize / 4];
  memset(notice, 0, sizeof notice);
  notice[0] = kStarted;
  notice[1] = (int32_t)atoi(rank);
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  (void)sendto(s, notice, sizeof notice, 0, (const struct sockaddr*)&to, sizeof to);
  close(s);
}

/* The bare name that PROGRAM stands for, or NULL: PROGRAM itself when it has
 * no "/", or NAME when PROGRAM is WORKDIR "/" NAME and NAME has no "/" (the
 * launcher puts its working directory in front of the word it was given). */
static const char* BareName(const char* program, const char* workdir) {
  if (strchr(program, '/') == NULL) return program;
  size_t n = strlen(workdir);
  if (strncmp(program, workdir, n) != 0 || program[n] != '/') return NULL;
  const char* name = program + n + 1;
  return *name != '\0' && strchr(name, '/') == NULL ? name : NULL;
}

/* True when NAME is something other than a directory in the current one. */
static int InWorkdir(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 && !S_ISDIR(st.st_mode);
}

/* Runs PROGRAM with argv[0] and ARGS from ARGV: a file of the working
 * directory first, then the PATH of this host. Returns only on failure,
 * after its report. */
static int Run(char** argv, const char* workdir) {
  const char* name = BareName(argv[0], workdir);
  if (name == NULL) {
    execvp(argv[0], argv);
  } else if (InWorkdir(name)) {
    /* With a "/", execvp runs that very file (and still hands a script
     * without "#!" to the shell). */
    char here[PATH_MAX];
    snprintf(here, sizeof here, "./%s", name);
    execvp(here, argv);
  } else {
    argv[0] = (char*)name;
    execvp(name, argv);
    if (errno == ENOENT) {
      const char* path = getenv("PATH");
      fprintf(stderr, "carrier: %s: not found in %s nor on PATH %s\n", name, workdir,
              path != NULL ? path : "(unset)");
      return 127;
    }
  }
  fprintf(stderr, "carrier: %s: %s\n", argv[0], strerror(errno));
  return 127;
}

int main(int argc, char** argv) {
  /* The process ends with its parent: the launcher on this host, or the
   * remote shell's session, which ends when the launcher's remote shell
   * does. The signal stays set across the exec below. */
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) return 1; /* the parent ended before the signal was set */

  if (argc < 1 + 1 + kParams) {
    fputs(kUsage, stderr);
    return 2;
  }
  char** params = argv + argc - kParams;
  for (int k = 0; k < kParams; ++k) {
    if (IsNumeric(k) && !IsNumber(params[k])) {
      fprintf(stderr, "carrier: %s is not a number: %s\n", tarvo_param_name(k), params[k]);
      return 2;
    }
  }
  const char* workdir = params[TARVO_PARAM_WORKDIR];
  if (chdir(workdir) != 0) {
    fprintf(stderr, "carrier: %s: %s\n", workdir, strerror(errno));
    return 127;
  }
  for (int k = 0; k < kParams; ++k) {
    if (setenv(tarvo_param_name(k), params[k], 1) != 0) {
      fprintf(stderr, "carrier: %s: %s\n", tarvo_param_name(k), strerror(errno));
      return 127;
    }
  }
  /* A launcher on this host started carrier itself and put its pid in the
   * environment; a remote shell passes no environment on. */
  const char* launcher = getenv("TARVO_LAUNCHER_PID");
  if (launcher == NULL || atol(launcher) != (long)parent) NoticeStarted(params[TARVO_PARAM_HOST], params[TARVO_PARAM_ADDRESS_PORT], params[TARVO_PARAM_RANK]);
  /* PROGRAM and ARGS alone: the parameters' slot ends the vector. */
  params[0] = NULL;
  return Run(argv + 1, workdir);
}
