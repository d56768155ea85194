/* A PMI-1 client without MPI that spawns as MPICH's simple PMI client does,
 * on the descriptor PMI_FD that the launcher gives (the wire of
 * tests/mpi/pmi1_spawn.transcript). Every process writes its pid into
 * DIR/PID.pid.
 *   pmi1_spawn DIR parent [MODE [HOSTS]]  rank 0 spawns 2 children "pmi1_spawn DIR child MODE"
 *                           with the preput key PARENT_ROOT_PORT_NAME (and
 *                           the info key host=HOSTS), then a program that
 *                           does not exist (not with MODE one); prints
 *                           "parent spawn ANSWER" and "parent missing ANSWER"
 *                           (the reply's words after cmd=spawn_result)
 *   pmi1_spawn DIR child MODE  prints "child R of N spawned=S port=V appnum=A";
 *                           with MODE abort child 1 then calls abort with 7
 * Both then barrier and finalize. PMI1_SPAWN_TRACE=1 writes every line sent
 * ("> ") and received ("< ") to stderr. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int fd = -1;
static int trace = 0;

static void Send(const char* text) {
  size_t len = strlen(text);
  if (trace) fprintf(stderr, "[%d] > %s", (int)getpid(), text);
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n <= 0) exit(3);
    text += n;
    len -= (size_t)n;
  }
}

static void Receive(char* line, size_t size) {
  size_t at = 0;
  for (;;) {
    char c;
    if (read(fd, &c, 1) != 1) exit(4);
    if (c == '\n' || at + 1 == size) break;
    line[at++] = c;
  }
  line[at] = '\0';
  if (trace) fprintf(stderr, "[%d] < %s\n", (int)getpid(), line);
}

/* The value of key= in line, or "" (copied into out). */
static const char* Word(const char* line, const char* key, char* out, size_t size) {
  size_t klen = strlen(key);
  out[0] = '\0';
  for (const char* p = line; p != NULL && *p != '\0'; p = strchr(p, ' '), p = p ? p + 1 : NULL) {
    if (strncmp(p, key, klen) == 0 && p[klen] == '=') {
      const char* v = p + klen + 1;
      size_t n = strcspn(v, " ");
      if (n >= size) n = size - 1;
      memcpy(out, v, n);
      out[n] = '\0';
      break;
    }
  }
  return out;
}

static void Ask(const char* text, char* reply, size_t size) {
  Send(text);
  Receive(reply, size);
}

static void Spawn(const char* prog, const char* dir, const char* mode, const char* hosts, char* reply, size_t size) {
  char buf[8192], info[1100] = "info_num=0\n";
  if (hosts != NULL) snprintf(info, sizeof info, "info_num=1\ninfo_key_0=host\ninfo_val_0=%s\n", hosts);
  snprintf(buf, sizeof buf,
           "mcmd=spawn\nnprocs=2\nexecname=%s\ntotspawns=1\nspawnssofar=1\nargcnt=3\narg1=%s\narg2=child\n"
           "arg3=%s\npreput_num=1\npreput_key_0=PARENT_ROOT_PORT_NAME\npreput_val_0=port#of#parent$\n"
           "%sendcmd\n",
           prog, dir, mode, info);
  Ask(buf, reply, size);
}

int main(int argc, char** argv) {
  const char* env = getenv("PMI_FD");
  char reply[2048], kvs[300], value[1100], appnum[32], path[4096];
  if (env == NULL || argc < 3) return 2;
  snprintf(path, sizeof path, "%s/%d.pid", argv[1], (int)getpid());
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
  const char* mode = argc > 3 ? argv[3] : "plain";
  fd = atoi(env);
  trace = getenv("PMI1_SPAWN_TRACE") != NULL;
  Ask("cmd=init pmi_version=1 pmi_subversion=1\n", reply, sizeof reply);
  Ask("cmd=get_maxes\n", reply, sizeof reply);
  Ask("cmd=get_my_kvsname\n", reply, sizeof reply);
  Word(reply, "kvsname", kvs, sizeof kvs);
  Ask("cmd=get_appnum\n", reply, sizeof reply);
  Word(reply, "appnum", appnum, sizeof appnum);
  const char* hosts = argc > 4 ? argv[4] : NULL;
  /* The parents' barrier of MPI_Init: every rank (and host) is up. */
  if (strcmp(argv[2], "parent") == 0) Ask("cmd=barrier_in\n", reply, sizeof reply);
  const char* own = getenv("PMI_RANK");
  if (strcmp(argv[2], "parent") == 0 && (own == NULL || strcmp(own, "0") == 0)) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    Spawn(self, argv[1], mode, hosts, reply, sizeof reply);
    printf("parent spawn %s\n", strncmp(reply, "cmd=spawn_result ", 17) == 0 ? reply + 17 : reply);
    fflush(stdout);
    if (strcmp(mode, "one") != 0) {
      Spawn("/nonexistent/pmi1-spawn-missing", argv[1], mode, hosts, reply, sizeof reply);
      printf("parent missing %s\n", strncmp(reply, "cmd=spawn_result ", 17) == 0 ? reply + 17 : reply);
    }
  } else if (strcmp(argv[2], "child") == 0) {
    char buf[600];
    const char* rank = getenv("PMI_RANK");
    const char* size = getenv("PMI_SIZE");
    const char* spawned = getenv("PMI_SPAWNED");
    snprintf(buf, sizeof buf, "cmd=get kvsname=%s key=PARENT_ROOT_PORT_NAME\n", kvs);
    Ask(buf, reply, sizeof reply);
    Word(reply, "value", value, sizeof value);
    printf("child %s of %s spawned=%s port=%s appnum=%s\n", rank ? rank : "?", size ? size : "?",
           spawned ? spawned : "?", value, appnum);
    if (strcmp(mode, "abort") == 0 && rank != NULL && strcmp(rank, "1") == 0) {
      fflush(stdout);
      Send("cmd=abort exitcode=7\n");
      sleep(30); /* until the launcher ends the run */
      return 1;
    }
  }
  fflush(stdout);
  Ask("cmd=barrier_in\n", reply, sizeof reply);
  Ask("cmd=finalize\n", reply, sizeof reply);
  return 0;
}
