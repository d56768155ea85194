/* carrier's work of becoming a rank's program: checking the launcher's
 * parameters, entering the working directory, the environment and the
 * program lookup. Used by carrier and by the launch agent. */
#define _POSIX_C_SOURCE 200809L

#include "common/carrier_exec.h"

#include <errno.h>
#include <limits.h>
#include <sys/types.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/carrier_params.h"
#include "common/pmi_env.h"

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

/* The reason for errno E, in the words of the C library that tarvo and its
 * agent use, whichever C library carrier is linked against (where it has
 * musl's, it takes glibc's wording for the errors that carrier reports). */
const char* CarrierErrorText(int e) {
#ifndef __GLIBC__
  switch (e) {
    case EIO: return "Input/output error";
    case ECHILD: return "No child processes";
    case ENOMEM: return "Cannot allocate memory";
    case EBUSY: return "Device or resource busy";
    case EXDEV: return "Invalid cross-device link";
    case EMFILE: return "Too many open files";
    case ENOTTY: return "Inappropriate ioctl for device";
    case ESPIPE: return "Illegal seek";
    case ENAMETOOLONG: return "File name too long";
    case ELOOP: return "Too many levels of symbolic links";
    case ELIBBAD: return "Accessing a corrupted shared library";
    default: break;
  }
#endif
  return strerror(e);
}

int CarrierBadParameter(int argc, char* const* argv) {
  if (argc < 1 + kParams) return kParams;
  char* const* params = argv + argc - kParams;
  for (int k = 0; k < kParams; ++k) {
    if (IsNumeric(k) && !IsNumber(params[k])) return k;
  }
  return -1;
}

int CarrierRefusal(char* text, size_t size, int bad, int argc, char* const* argv) {
  if (bad >= kParams || bad < 0) return snprintf(text, size, "%s", kUsage);
  return snprintf(text, size, "carrier: %s is not a number: %s\n", tarvo_param_name(bad), argv[argc - kParams + bad]);
}

int CarrierPrepare(int argc, char** argv) {
  const int bad = CarrierBadParameter(argc, argv);
  if (bad >= 0) {
    const int n = CarrierRefusal(NULL, 0, bad, argc, argv);
    char* text = n > 0 ? malloc((size_t)n + 1) : NULL;
    if (text != NULL) {
      CarrierRefusal(text, (size_t)n + 1, bad, argc, argv);
      fputs(text, stderr);
      free(text);
    }
    return 2;
  }
  char** params = argv + argc - kParams;
  const char* workdir = params[TARVO_PARAM_WORKDIR];
  if (chdir(workdir) != 0) {
    fprintf(stderr, "carrier: %s: %s\n", workdir, CarrierErrorText(errno));
    return 127;
  }
  for (int k = 0; k < kParams; ++k) {
    if (setenv(tarvo_param_name(k), params[k], 1) != 0) {
      fprintf(stderr, "carrier: %s: %s\n", tarvo_param_name(k), CarrierErrorText(errno));
      return 127;
    }
  }
  /* An MPI program whose starter handed it no PMI-1 descriptor (a remote
   * shell cannot) reaches the launcher's TCP endpoint, which listens on the
   * address service's port number, and names itself by the PMI_ID that its
   * remote command set (a number that tarvo drew for the rank: nobody can
   * take the rank's place by naming the rank); an older launcher's command
   * sets none, and the rank's number stands for it. */
  if (getenv(TARVO_PMI_FD) == NULL) {
    char port[160];
    snprintf(port, sizeof port, "%s:%s", params[TARVO_PARAM_HOST], params[TARVO_PARAM_ADDRESS_PORT]);
    if (setenv(TARVO_PMI_PORT, port, 1) != 0 || setenv(TARVO_PMI_ID, params[TARVO_PARAM_RANK], 0) != 0) {
      fprintf(stderr, "carrier: " TARVO_PMI_PORT ": %s\n", CarrierErrorText(errno));
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

/* DIR "/" NAME into FILE, or NAME alone when DIR is NULL; 0 when it does
 * not fit. */
static int Join(const char* dir, const char* name, char* file, size_t size) {
  const int n = dir != NULL ? snprintf(file, size, "%s/%s", dir, name) : snprintf(file, size, "%s", name);
  return n >= 0 && (size_t)n < size;
}

/* True when PATH is something other than a directory. */
static int NoDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

/* True when PATH is a regular file that may be executed. */
static int Executable(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

int CarrierLookup(const char* program, const char* workdir, const char* here, char* file, size_t size) {
  return CarrierLookupOn(program, workdir, here, getenv("PATH"), file, size);
}

int CarrierLookupOn(const char* program, const char* workdir, const char* here, const char* dirs, char* file,
                    size_t size) {
  const char* name = CarrierBareName(program, workdir);
  if (name == NULL) return CARRIER_AS_GIVEN;
  char path[PATH_MAX];
  if (Join(here, name, path, sizeof path) && NoDirectory(path) && Join(".", name, file, size)) {
    return CARRIER_IN_WORKDIR;
  }
  if (CarrierOnPath(name, here, dirs, file, size)) return CARRIER_ON_PATH;
  /* None: execvp searches again, and says why it fails. */
  if (!Join(NULL, name, file, size) && size > 0) file[0] = '\0';
  return CARRIER_ON_PATH;
}

int CarrierOnPath(const char* name, const char* here, const char* dirs, char* file, size_t size) {
  /* execvp's search, without an exec per directory: the first regular
   * executable file. A relative directory, empty for the current one, is
   * taken from the working directory. */
  if (dirs == NULL) dirs = "/bin:/usr/bin";
  for (const char* at = dirs;;) {
    const char* colon = strchr(at, ':');
    const size_t length = colon != NULL ? (size_t)(colon - at) : strlen(at);
    char dir[PATH_MAX];
    if (length < sizeof dir) {
      memcpy(dir, at, length);
      dir[length] = '\0';
      if (length == 0) strcpy(dir, ".");
      char joined[PATH_MAX];
      char path[PATH_MAX];
      if (Join(dir[0] != '/' ? here : NULL, dir, joined, sizeof joined) && Join(joined, name, path, sizeof path) &&
          Executable(path) && Join(NULL, path, file, size)) {
        return 1;
      }
    }
    if (colon == NULL) break;
    at = colon + 1;
  }
  return 0;
}

int CarrierNotFound(char* text, size_t size, const char* who, const char* name, const char* workdir,
                    const char* path) {
  return snprintf(text, size, "%s: %s: not found in %s nor on PATH %s\n", who, name, workdir,
                  path != NULL ? path : "(unset)");
}

/* execvp, and where it fails for a file that is no program, that file
 * handed to the shell as glibc's execvp does itself (musl's does not). */
static void Exec(char* file, char** argv) {
  execvp(file, argv);
#ifndef __GLIBC__
  if (errno != ENOEXEC) return;
  int n = 0;
  while (argv[n] != NULL) ++n;
  char** script = malloc(sizeof *script * ((size_t)n + 2));
  if (script == NULL) return;
  script[0] = (char*)"/bin/sh";
  script[1] = file;
  memcpy(script + 2, argv + 1, sizeof *script * (size_t)n);
  execv(script[0], script);
  free(script);
  errno = ENOEXEC;
#endif
}

int CarrierRun(char** argv, const char* workdir) {
  char file[PATH_MAX];
  /* Where Yama lets a process trace only its descendants, the rank's parent
   * (tarvo or the agent, which started it) and the parent's children may
   * still read its call stack: `tarvo-agent --stacks` is such a child.
   * Without Yama the call fails with EINVAL, and nothing changes. */
  prctl(PR_SET_PTRACER, (unsigned long)getppid(), 0, 0, 0);
  const int found = CarrierLookup(argv[0], workdir, NULL, file, sizeof file);
  if (found == CARRIER_AS_GIVEN) {
    Exec(argv[0], argv);
  } else {
    const char* name = CarrierBareName(argv[0], workdir);
    /* A file of the working directory keeps PROGRAM as its argv[0]; one of
     * the PATH gets NAME. With a "/", execvp runs that very file (and still
     * hands a script without "#!" to the shell). */
    if (found == CARRIER_ON_PATH) argv[0] = (char*)name;
    Exec(file, argv);
    if (found == CARRIER_ON_PATH && errno == ENOENT) {
      const char* path = getenv("PATH");
      const int n = CarrierNotFound(NULL, 0, "carrier", name, workdir, path);
      char* text = n > 0 ? malloc((size_t)n + 1) : NULL;
      if (text != NULL) {
        CarrierNotFound(text, (size_t)n + 1, "carrier", name, workdir, path);
        fputs(text, stderr);
        free(text);
      }
      return 127;
    }
  }
  fprintf(stderr, "carrier: %s: %s\n", argv[0], CarrierErrorText(errno));
  return 127;
}
