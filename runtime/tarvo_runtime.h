/* tarvo runtime: the process side of a tarvo run.
 *
 * A program started by tarvo (through carrier) links this library to reach
 * the launcher's three services over UDP:
 *   - the address registry: register an endpoint (JOIN), look one process up
 *     or fetch the whole table (ADDRESS), deregister (LEAVE);
 *   - the synchronisation point: enter a collective operation and wait until
 *     every rank of the run has entered it;
 *   - the console: print text on the launcher's standard output.
 *
 * Every function returns TRV_OK (0) or a negative TRV_E* code; trv_strerror
 * turns a code into a message. Nothing is printed by the library itself.
 *
 * Address and console requests wait for their answer ctx->timeout seconds
 * and are sent at most ctx->attempts times in all; a service that never
 * answers gives TRV_ETIMEOUT. A collective operation waits as long as the
 * caller says (or for ever) and repeats its request every
 * ctx->sync_repeat seconds.
 *
 * A context is not safe for use by two threads at once. The header includes
 * nothing and can be used from C and C++. */
#ifndef TARVO_RUNTIME_H
#define TARVO_RUNTIME_H

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define TRV_OK 0
#define TRV_ENOTTARVO (-1)  /* the environment of carrier is missing or malformed */
#define TRV_ESOCKET (-2)    /* a socket could not be made, bound or used */
#define TRV_ETIMEOUT (-3)   /* the service did not answer in time */
#define TRV_ENOTFOUND (-4)  /* the address service answered 997: no such entry */
#define TRV_ECONFLICT (-5)  /* the identifier is registered from another address */
#define TRV_EINVAL (-6)     /* an argument out of range */
#define TRV_EPROTO (-7)     /* an answer that breaks the protocol */

/* Identifiers with a meaning in the address protocol. */
#define TRV_ANY_ID 999   /* in trv_join: let the registry choose */
#define TRV_TABLE_ID 998 /* the whole table: use trv_table */
#define TRV_NONE_ID 997  /* the registry's "nothing found" / "already there" */

/* The collective operations that the synchronisation service holds. */
#define TRV_BROADCAST 29
#define TRV_GATHER 30
#define TRV_REDUCE 31
#define TRV_SCATTER 32

/* Console datagrams carry at most this many bytes; trv_print splits. */
#define TRV_CONSOLE_CHUNK 2048

/* What carrier hands over, and the library's settings. */
typedef struct trv_ctx {
  int rank;              /* 0 .. size-1 */
  int size;              /* process count of the run */
  char host[128];        /* launcher's address, dotted text, NUL-terminated */
  int console_port;
  int sync_port;
  int address_port;
  int visual_port;
  char workdir[512];     /* launcher's working directory (may be empty) */

  double timeout;        /* seconds to wait for one answer (default 1.0) */
  int attempts;          /* sends of one request in all (default 5) */
  double sync_repeat;    /* seconds between repeats of a collective
                            request; 0 sends it once (default 5.0) */

  int sync_sock;         /* the socket collective operations use, or -1 */
  char problem[64];      /* after TRV_ENOTTARVO: what was missing or bad */
} trv_ctx;

/* One entry of the registry, texts NUL-terminated. */
typedef struct trv_entry {
  int id;
  int tag;
  char ip[129];
  char hostname[33];
  int port;
} trv_entry;

/* Reads carrier's environment (TARVO_RANK, TARVO_SIZE, TARVO_HOST and the
 * TARVO_*_PORT variables, TARVO_WORKDIR) and sets the defaults. Returns
 * TRV_ENOTTARVO when the program was not started by tarvo; ctx->problem
 * then names the variable that is missing or malformed. */
int trv_init(trv_ctx* ctx);

/* Closes the library's sockets. The context may be initialised again. */
void trv_finish(trv_ctx* ctx);

/* The address of this host from which the launcher is reached: the
 * natural address text to register for an endpoint. out holds 128 bytes. */
int trv_local_address(const trv_ctx* ctx, char* out);

/* Opens a UDP socket bound to a port chosen by the system; its descriptor
 * goes to *sock and its port to *port. Close it with close(). */
int trv_open_endpoint(int* sock, int* port);

/* Registers the endpoint ip:port under identifier id (0 or more but 997
 * and 998, which mean something else in the protocol; TRV_ANY_ID lets the
 * registry choose; the chosen identifier is written
 * to *got_id when got_id is not null). hostname and tag are stored with
 * the entry; a null hostname means this host's name. An answer 997 means
 * that this very registration is already there: success. When the
 * identifier is held by another address the registry keeps that one and
 * the result is TRV_ECONFLICT. */
int trv_join(trv_ctx* ctx, int id, int tag, const char* ip, const char* hostname, int port,
             int* got_id);

/* Identifiers of trv_address and trv_leave: 0 or more but 997 and 998.
 * Looks identifier id up: its address text (out_ip, 128 bytes, NUL
 * terminated) and port. TRV_ENOTFOUND when it is not registered. */
int trv_address(trv_ctx* ctx, int id, char* out_ip, int* out_port);

/* Fetches the whole registry: the first max entries go to out, the number
 * of entries to *count (which may exceed max). */
int trv_table(trv_ctx* ctx, trv_entry* out, int max, int* count);

/* Deregisters identifier id. TRV_ENOTFOUND when the first answer is 997;
 * a 997 to a repeated request counts as success (the first one was
 * served and its answer lost). */
int trv_leave(trv_ctx* ctx, int id);

/* Enters a collective operation (TRV_BROADCAST .. TRV_SCATTER) and waits
 * for the release, which comes when every rank has entered one. seconds
 * < 0 waits for ever; otherwise TRV_ETIMEOUT after that long. */
int trv_collective(trv_ctx* ctx, int code, double seconds);

/* Prints len bytes of text (fewer when a NUL comes first) on the
 * launcher's console and waits for each acknowledgement. A text longer than
 * TRV_CONSOLE_CHUNK goes in several datagrams, and the console shows its
 * prefix before each of them; it adds no line end. An empty text sends
 * nothing. */
int trv_print(trv_ctx* ctx, const char* text, int len);

/* printf into the console (up to 64 KiB of output). */
int trv_printf(trv_ctx* ctx, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* A short English text for a result code. */
const char* trv_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TARVO_RUNTIME_H */
