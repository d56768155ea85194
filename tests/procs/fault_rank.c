/* fault_rank: one rank of the fault and load tests, started by the real tarvo
 * through the real carrier. Every wait is bounded; a failure is named on
 * standard error and ends the process with its own status.
 *
 *   fault_rank mark
 *       Creates mark.<rank> in the working directory and exits: the cheap
 *       process of the many-process run.
 *   fault_rank meet MEETINGS DIR
 *       Waits for DIR/go (rank 0 first writes the launcher's ports to
 *       DIR/ports), registers identifier rank+1 on one endpoint and 100+rank
 *       on another, meets MEETINGS times, deregisters 100+rank, writes what it
 *       kept registered to DIR/done.<rank> and waits for DIR/release; no
 *       release may come after the last meeting.
 *
 *       The meetings are not checked against each other's progress: a
 *       request that the library repeats while its release is on the way
 *       counts in the next meeting (a request carries no meeting number), so
 *       under loss a rank can be let through one meeting early. What must
 *       hold is that every meeting releases every rank once.
 *   fault_rank victim DIR VICTIM
 *       Every rank registers and meets 3 times. Rank VICTIM then writes its
 *       pid to DIR/victim.pid and waits to be killed; the others wait for
 *       DIR/killed, then print, register, look up and deregister once more
 *       and write DIR/done.<rank>. */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "runtime/tarvo_runtime.h"

enum {
  kFailInit = 10,
  kFailUsage = 11,
  kFailWait = 12,
  kFailEndpoint = 13,
  kFailJoin = 14,
  kFailMeet = 15,
  kFailExtra = 16,
  kFailLeave = 17,
  kFailFile = 18,
  kFailConsole = 19,
  kFailNotKilled = 20,
};

static int Fail(int status, const char* what, int r) {
  fprintf(stderr, "fault_rank: %s: %d (%s)\n", what, r, trv_strerror(r));
  exit(status);
}

static void Pause(int ms) {
  struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

static char* PathIn(const char* dir, const char* name) {
  static char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  return path;
}

/* Waits up to `seconds` for the file to exist. */
static void WaitFor(const char* path, int seconds) {
  struct stat st;
  for (int k = 0; k < seconds * 100; ++k) {
    if (stat(path, &st) == 0) return;
    Pause(10);
  }
  fprintf(stderr, "fault_rank: no %s\n", path);
  exit(kFailWait);
}

/* Writes `text` to DIR/name through a temporary name, so that a reader never
 * sees half of it. */
static void Publish(const char* dir, const char* name, const char* text) {
  char tmp[512], final[512];
  snprintf(tmp, sizeof tmp, "%s/.%s.tmp", dir, name);
  snprintf(final, sizeof final, "%s/%s", dir, name);
  FILE* f = fopen(tmp, "w");
  if (!f || fputs(text, f) < 0 || fclose(f) != 0 || rename(tmp, final) != 0) {
    fprintf(stderr, "fault_rank: cannot write %s\n", final);
    exit(kFailFile);
  }
}

/* The settings of a run with a hostile neighbour: datagrams to the launcher
 * may be dropped while its receive queues are full, so requests are repeated
 * often and for long. */
static void Init(trv_ctx* ctx) {
  int r = trv_init(ctx);
  if (r != TRV_OK) Fail(kFailInit, ctx->problem, r);
  ctx->timeout = 0.5;
  ctx->attempts = 120;
  ctx->sync_repeat = 0.5;
}

typedef struct {
  int sock;
  int port;
  char ip[128];
} Endpoint;

static void JoinAs(trv_ctx* ctx, int id, Endpoint* e) {
  int r = trv_open_endpoint(&e->sock, &e->port);
  if (r != TRV_OK) Fail(kFailEndpoint, "endpoint", r);
  r = trv_local_address(ctx, e->ip);
  if (r != TRV_OK) Fail(kFailEndpoint, "local address", r);
  char name[32];
  snprintf(name, sizeof name, "rank%d", ctx->rank);
  r = trv_join(ctx, id, 1000 + id, e->ip, name, e->port, NULL);
  if (r != TRV_OK) Fail(kFailJoin, "JOIN", r);
}

static void Meet(trv_ctx* ctx, int meeting) {
  int r = trv_collective(ctx, TRV_BROADCAST + meeting % 4, 120.0);
  if (r != TRV_OK) Fail(kFailMeet, "meeting", r);
}

static int Mark(void) {
  trv_ctx ctx;
  int r = trv_init(&ctx);
  if (r != TRV_OK) Fail(kFailInit, ctx.problem, r);
  char name[32];
  snprintf(name, sizeof name, "mark.%d", ctx.rank);
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0 || close(fd) != 0) Fail(kFailFile, name, 0);
  return 0;
}

static int MeetMany(int meetings, const char* dir) {
  trv_ctx ctx;
  Init(&ctx);
  if (ctx.rank == 0) {
    char ports[256];
    snprintf(ports, sizeof ports, "%d %d %d %d %s\n", ctx.address_port, ctx.visual_port, ctx.sync_port,
             ctx.console_port, ctx.host);
    Publish(dir, "ports", ports);
  }
  WaitFor(PathIn(dir, "go"), 60);
  Endpoint kept, dropped;
  JoinAs(&ctx, ctx.rank + 1, &kept);
  JoinAs(&ctx, 100 + ctx.rank, &dropped);
  for (int m = 1; m <= meetings; ++m) Meet(&ctx, m);

  int r = trv_leave(&ctx, 100 + ctx.rank);
  if (r != TRV_OK) Fail(kFailLeave, "LEAVE", r);
  char done[256];
  snprintf(done, sizeof done, "%s %d\n", kept.ip, kept.port);
  char name[32];
  snprintf(name, sizeof name, "done.%d", ctx.rank);
  Publish(dir, name, done);
  WaitFor(PathIn(dir, "release"), 120);
  /* Every rank has passed the last meeting by now: nothing more may come. */
  char extra[sizeof(int32_t) * 64];
  if (ctx.sync_sock >= 0 && recv(ctx.sync_sock, extra, sizeof extra, MSG_DONTWAIT) >= 0) {
    fprintf(stderr, "fault_rank: rank %d got a release after its last meeting\n", ctx.rank);
    exit(kFailExtra);
  }
  close(kept.sock);
  close(dropped.sock);
  trv_finish(&ctx);
  return 0;
}

static int Victim(const char* dir, int victim) {
  trv_ctx ctx;
  Init(&ctx);
  Endpoint self;
  JoinAs(&ctx, ctx.rank + 1, &self);
  for (int m = 1; m <= 3; ++m) Meet(&ctx, m);
  char text[64];
  if (ctx.rank == victim) {
    snprintf(text, sizeof text, "%ld\n", (long)getpid());
    Publish(dir, "victim.pid", text);
    Pause(60000);
    return kFailNotKilled;
  }
  WaitFor(PathIn(dir, "killed"), 60);
  int r = trv_printf(&ctx, "rank %d goes on\n", ctx.rank);
  if (r != TRV_OK) Fail(kFailConsole, "console", r);
  Endpoint later;
  JoinAs(&ctx, 100 + ctx.rank, &later);
  char ip[128];
  int port = 0;
  r = trv_address(&ctx, 100 + ctx.rank, ip, &port);
  if (r != TRV_OK || port != later.port) Fail(kFailJoin, "ADDRESS", r);
  r = trv_leave(&ctx, 100 + ctx.rank);
  if (r != TRV_OK) Fail(kFailLeave, "LEAVE", r);
  char name[32];
  snprintf(name, sizeof name, "done.%d", ctx.rank);
  Publish(dir, name, "ok\n");
  close(self.sock);
  close(later.sock);
  trv_finish(&ctx);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "mark") == 0) return Mark();
  if (argc == 4 && strcmp(argv[1], "meet") == 0) return MeetMany(atoi(argv[2]), argv[3]);
  if (argc == 4 && strcmp(argv[1], "victim") == 0) return Victim(argv[2], atoi(argv[3]));
  fputs("usage: fault_rank mark | meet MEETINGS DIR | victim DIR VICTIM\n", stderr);
  return kFailUsage;
}
