/* What carrier does to turn itself into a rank's program, shared with the
 * launch agent, so that a rank that an agent starts gets exactly what a rank
 * started through carrier gets: the same working directory, environment,
 * arguments and program lookup. */
#ifndef TARVO_COMMON_CARRIER_EXEC_H
#define TARVO_COMMON_CARRIER_EXEC_H

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

/* The bare name that PROGRAM stands for, or NULL: PROGRAM itself when it has
 * no "/", or NAME when PROGRAM is WORKDIR "/" NAME and NAME has no "/". Such
 * a name is run from WORKDIR when it is a file there, else from the PATH. */
const char* CarrierBareName(const char* program, const char* workdir);

/* Runs PROGRAM with argv[0] and ARGS from ARGV: a file of the working
 * directory first, then the PATH of this host. Returns only on failure,
 * after its report, with the exit status. */
int CarrierRun(char** argv, const char* workdir);

#ifdef __cplusplus
}
#endif

#endif
