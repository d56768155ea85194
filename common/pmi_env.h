/* The environment through which a rank finds its PMI-1 server: carrier, the
 * launcher and the agents set it, the servers document it, MPICH's client
 * reads it. For C and C++. */
#ifndef TARVO_COMMON_PMI_ENV_H
#define TARVO_COMMON_PMI_ENV_H

#define TARVO_PMI_FD "PMI_FD"     /* the rank's end of a socket pair with its server */
#define TARVO_PMI_RANK "PMI_RANK" /* its rank */
#define TARVO_PMI_SIZE "PMI_SIZE" /* the job's size */
#define TARVO_PMI_PORT "PMI_PORT" /* host:port of the launcher's TCP server, for a rank without PMI_FD */
#define TARVO_PMI_ID "PMI_ID"     /* the number that such a rank names itself by on connecting */

#endif /* TARVO_COMMON_PMI_ENV_H */
