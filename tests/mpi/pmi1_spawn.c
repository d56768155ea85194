/* A PMI-1 client without MPI that spawns as MPICH's simple PMI client does,
 * on the descriptor PMI_FD that the launcher gives.
 *   pmi1_spawn parent [PROG]  spawns 2 children "PROG child" (PROG: itself)
 *                           with the preput key PARENT_ROOT_PORT_NAME, then
 *                           a program that does not exist; prints
 *                           "parent spawn rc=R" and "parent missing rc=R"
 *   pmi1_spawn child        prints "child R of N spawned=S kvs=K port=V
 *                           universe=U appnum=A"
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

static int Spawn(const char* prog, const char* arg) {
  char buf[2048], reply[2048], rc[32];
  snprintf(buf, sizeof buf,
           "mcmd=spawn\nnprocs=2\nexecname=%s\ntotspawns=1\nspawnssofar=1\nargcnt=1\narg1=%s\n"
           "preput_num=1\npreput_key_0=PARENT_ROOT_PORT_NAME\npreput_val_0=port#of#parent$\n"
           "info_num=0\nendcmd\n",
           prog, arg);
  Ask(buf, reply, sizeof reply);
  return atoi(Word(reply, "rc", rc, sizeof rc));
}

int main(int argc, char** argv) {
  const char* env = getenv("PMI_FD");
  char reply[2048], kvs[300], value[1100], universe[32], appnum[32];
  if (env == NULL || argc < 2) return 2;
  fd = atoi(env);
  trace = getenv("PMI1_SPAWN_TRACE") != NULL;
  Ask("cmd=init pmi_version=1 pmi_subversion=1\n", reply, sizeof reply);
  Ask("cmd=get_maxes\n", reply, sizeof reply);
  Ask("cmd=get_my_kvsname\n", reply, sizeof reply);
  Word(reply, "kvsname", kvs, sizeof kvs);
  Ask("cmd=get_universe_size\n", reply, sizeof reply);
  Word(reply, "size", universe, sizeof universe);
  Ask("cmd=get_appnum\n", reply, sizeof reply);
  Word(reply, "appnum", appnum, sizeof appnum);
  if (strcmp(argv[1], "parent") == 0) {
    printf("parent kvs=%s\n", kvs);
    printf("parent spawn rc=%d\n", Spawn(argc > 2 ? argv[2] : argv[0], "child"));
    fflush(stdout);
    printf("parent missing rc=%d\n", Spawn("/nonexistent/pmi1-spawn-missing", "child"));
  } else {
    char buf[600];
    const char* rank = getenv("PMI_RANK");
    const char* size = getenv("PMI_SIZE");
    const char* spawned = getenv("PMI_SPAWNED");
    snprintf(buf, sizeof buf, "cmd=get kvsname=%s key=PARENT_ROOT_PORT_NAME\n", kvs);
    Ask(buf, reply, sizeof reply);
    Word(reply, "value", value, sizeof value);
    printf("child %s of %s spawned=%s kvs=%s port=%s universe=%s appnum=%s\n", rank ? rank : "?",
           size ? size : "?", spawned ? spawned : "?", kvs, value, universe, appnum);
  }
  fflush(stdout);
  Ask("cmd=barrier_in\n", reply, sizeof reply);
  Ask("cmd=finalize\n", reply, sizeof reply);
  return 0;
}
