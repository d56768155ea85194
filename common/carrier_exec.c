/* carrier's work of becoming a rank's program: checking the launcher's
 * parameters, entering the working directory, the environment and the
 * program lookup. Used by carrier and by the launch agent. */
#define _POSIX_C_SOURCE 200809L

#include "common/carrier_exec.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

int CarrierPrepare(int argc, char** argv) {
  if (argc < 1 + kParams) {
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
  /* PROGRAM and ARGS alone: the parameters' slot ends the vector. */
  params[0] = NULL;
  return 0;
}

const char* CarrierBareName(const char* program, const char* workdir) {
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

int CarrierRun(char** argv, const char* workdir) {
  const char* name = CarrierBareName(argv[0], workdir);
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
