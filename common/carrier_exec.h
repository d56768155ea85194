/* What carrier does to turn itself into a rank's program, shared with the
 * launch agent, so that a rank that an agent starts gets exactly what a rank
 * started through carrier gets: the same working directory, environment,
 * arguments and program lookup. */
#ifndef TARVO_COMMON_CARRIER_EXEC_H
#define TARVO_COMMON_CARRIER_EXEC_H

#include <stddef.h>

#include "common/carrier_params.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ARGV holds PROGRAM [ARGS...] and the TARVO_PARAMS parameters, ARGC entries.
 * Checks the parameters, enters WORKDIR and puts the parameters in the
 * environment (TARVO_CONSOLE_PORT ... TARVO_WORKDIR). Returns 0 with the
 * parameters' slot of ARGV set to NULL (so that ARGV is PROGRAM and ARGS),
 * or carrier's exit status after its report on standard error. */
int CarrierPrepare(int argc, char** argv);

/* CarrierPrepare's check of ARGV (ARGC entries): -1 when it holds, else the
 * parameter (its TARVO_PARAMS index) that is not a number, or TARVO_PARAMS
 * when ARGV is too short for the parameters. */
int CarrierBadParameter(int argc, char* const* argv);

/* carrier's report of that check's failure BAD, with its line end, written as
 * snprintf writes into TEXT (SIZE bytes): returns its length. carrier ends
 * with status 2 after it. */
int CarrierRefusal(char* text, size_t size, int bad, int argc, char* const* argv);

/* The bare name that PROGRAM stands for, or NULL: PROGRAM itself when it has
 * no "/", or NAME when PROGRAM is WORKDIR "/" NAME and NAME has no "/". Such
 * a name is run from WORKDIR when it is a file there, else from the PATH. */
const char* CarrierBareName(const char* program, const char* workdir);

/* Where carrier finds PROGRAM of WORKDIR. */
enum {
  CARRIER_AS_GIVEN = 0,   /* no bare name: PROGRAM as it stands, for execvp */
  CARRIER_IN_WORKDIR = 1, /* "./NAME": NAME is a file (not a directory) of WORKDIR */
  CARRIER_ON_PATH = 2     /* the first regular executable file NAME in a directory of
                           * the PATH ("/bin:/usr/bin" without one), or NAME itself
                           * when there is none: execvp then fails as it would */
};

/* carrier's program lookup, as execvp will see it once in WORKDIR; HERE is
 * the working directory as the caller sees it (NULL once inside it), from
 * which relative PATH directories are taken. Writes into FILE (SIZE bytes)
 * the file to hand execvp for CARRIER_IN_WORKDIR and CARRIER_ON_PATH, and
 * returns which. The launcher's direct starts look up a rank's program with
 * it before their child starts. */
int CarrierLookup(const char* program, const char* workdir, const char* here, char* file, size_t size);
/* The same lookup with DIRS for the PATH (NULL: unset), for a child whose
 * environment is not the caller's own. */
int CarrierLookupOn(const char* program, const char* workdir, const char* here, const char* dirs, char* file,
                    size_t size);

/* execvp's search of DIRS (NULL: unset) for NAME, a bare name: 1, with the
 * first regular executable file in FILE (SIZE bytes), or 0 for none. A
 * relative directory is taken from HERE (NULL: the caller's own working
 * directory). */
int CarrierOnPath(const char* name, const char* here, const char* dirs, char* file, size_t size);

/* The report of WHO (the program that starts it: "carrier", "tarvo") that
 * NAME is neither in WORKDIR nor on PATH (the PATH's value, NULL: unset),
 * with its line end, written as snprintf writes into TEXT (SIZE bytes):
 * returns its length. */
int CarrierNotFound(char* text, size_t size, const char* who, const char* name, const char* workdir,
                    const char* path);

/* The reason for errno E, worded as the launcher's C library words it. */
const char* CarrierErrorText(int e);

/* Runs PROGRAM with argv[0] and ARGS from ARGV (argv[0] NAME when it runs
 * from the PATH). Returns only on failure, after its report, with the exit
 * status. */
int CarrierRun(char** argv, const char* workdir);

#ifdef __cplusplus
}
#endif

#endif
