/* An Open MPI program for the PMIx host's tests: writes its pid into
 * DIR/<rank>.pid (DIR from argv[1]), then does what argv[2] says:
 *   report  prints "rank R of N sum S shared L appnum A session E": S from
 *           an allreduce of the ranks, L the size of the shared-memory group,
 *           E "own" when the rank leads a session, else "shared"
 *   abort   rank 1 calls MPI_Abort with status 7, the others wait in a barrier
 *   nofinalize  rank 0 exits 0 after MPI_Init without MPI_Finalize (the others
 *           wait in a barrier)
 *   kill    rank 1 (PMIX_RANK) writes its pid and is killed by SIGKILL before
 *           MPI_Init ends
 *   killlate  rank 1 is killed by SIGKILL after MPI_Init (the others wait in a
 *           barrier)
 *   hold    every rank waits after MPI_Init until it is ended
 *   put:N   every rank puts N bytes for the job through libpmix's client
 *           (PMIx_Put, PMIx_Commit) and gathers every rank's in a fence of
 *           the job: prints "fence STATUS"; exits 0 when it succeeds, else 3
 *   subset  ranks 0 and 1 put "from R", fence between the two of them alone
 *           and get each other's: "rank R fence STATUS got VALUE"; then every
 *           rank fences with the job: "rank R job fence STATUS"
 *   dmodex  ranks 0, 1 and 2 put "early from R" and, before any fence, get
 *           the next one's (2's, 0's): "rank R got VALUE"; then every rank
 *           fences with the job
 *   deadwaiter  rank 1 and then rank 2 wait for the name "tarvo.late"
 *           (PMIx_Lookup with PMIX_WAIT, each writing DIR/R.asked some time
 *           after asking); rank 1 is then killed by SIGKILL; once it is
 *           gone rank 0 publishes the name to be read once: rank 2 prints
 *           "rank 2 got VALUE" (or "rank 2 got nothing" after 20 s)
 *   twofences  two fences of the whole job at once, without waiting for the
 *           first (PMIx_Fence_nb over the job's wildcard, then over every
 *           rank named): prints "fences STATUS STATUS" once both are
 *           complete (or after 15 s, "fences pending")
 */
#include <mpi.h>
#include <pmix.h>
#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Puts FORMAT with RANK as the string of KEY and commits it. */
static bool PutFrom(const char* key, const char* format, unsigned rank) {
  char mine[32];
  snprintf(mine, sizeof mine, format, rank);
  pmix_value_t v;
  v.type = PMIX_STRING;
  v.data.string = mine;
  return PMIx_Put(PMIX_GLOBAL, key, &v) == PMIX_SUCCESS && PMIx_Commit() == PMIX_SUCCESS;
}

struct Pending {
  int done;
  pmix_status_t status;
};

static void Released(pmix_status_t status, void* cbdata) {
  struct Pending* p = cbdata;
  p->status = status;
  __atomic_store_n(&p->done, 1, __ATOMIC_RELEASE);
}

struct Found {
  int done;
  char value[64];
};

static void LookedUp(pmix_status_t status, pmix_pdata_t data[], size_t ndata, void* cbdata) {
  struct Found* f = cbdata;
  if (status == PMIX_SUCCESS && ndata == 1 && data[0].value.type == PMIX_STRING)
    snprintf(f->value, sizeof f->value, "%s", data[0].value.data.string);
  __atomic_store_n(&f->done, 1, __ATOMIC_RELEASE);
}

/* Waits up to 20 s for DIR/NAME to exist. */
static bool Appears(const char* dir, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  for (int i = 0; i < 2000; ++i) {
    if (access(path, F_OK) == 0) return true;
    usleep(10000);
  }
  return false;
}

static void Touch(const char* dir, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "w");
  if (f != NULL) fclose(f);
}

static int DeadWaiter(const char* dir) {
  pmix_proc_t me;
  if (PMIx_Init(&me, NULL, 0) != PMIX_SUCCESS) return 4;
  char name[32];
  snprintf(name, sizeof name, "%u.pid", me.rank);
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
  if (me.rank == 1 || me.rank == 2) {
    if (me.rank == 2 && !Appears(dir, "1.asked")) return 5;
    static struct Found found;
    char* keys[] = {"tarvo.late", NULL};
    bool wait = true;
    pmix_info_t info;
    PMIX_INFO_LOAD(&info, PMIX_WAIT, &wait, PMIX_BOOL);
    if (PMIx_Lookup_nb(keys, &info, 1, LookedUp, &found) != PMIX_SUCCESS) return 6;
    usleep(300000);  /* the request has reached the server */
    snprintf(name, sizeof name, "%u.asked", me.rank);
    Touch(dir, name);
    if (me.rank == 1) {
      Appears(dir, "2.asked");
      raise(SIGKILL);
    }
    for (int i = 0; i < 2000 && !__atomic_load_n(&found.done, __ATOMIC_ACQUIRE); ++i) usleep(10000);
    printf("rank 2 got %s\n", __atomic_load_n(&found.done, __ATOMIC_ACQUIRE) && found.value[0] ? found.value : "nothing");
    fflush(stdout);
  }
  if (me.rank == 0) {
    if (!Appears(dir, "2.asked")) return 5;
    /* Rank 1 is gone once tarvo has reaped it. */
    snprintf(path, sizeof path, "%s/1.pid", dir);
    f = fopen(path, "r");
    int pid = 0;
    if (f == NULL || fscanf(f, "%d", &pid) != 1) return 7;
    fclose(f);
    for (int i = 0; i < 2000 && kill(pid, 0) == 0; ++i) usleep(10000);
    pmix_info_t info[2];
    pmix_persistence_t once = PMIX_PERSIST_FIRST_READ;
    PMIX_INFO_LOAD(&info[0], "tarvo.late", "here", PMIX_STRING);
    PMIX_INFO_LOAD(&info[1], PMIX_PERSISTENCE, &once, PMIX_PERSIST);
    if (PMIx_Publish(info, 2) != PMIX_SUCCESS) return 8;
    Appears(dir, "2.done");
  }
  if (me.rank == 2) Touch(dir, "2.done");
  PMIx_Finalize(NULL, 0);
  return 0;
}

static int TwoFences(void) {
  pmix_proc_t me;
  if (PMIx_Init(&me, NULL, 0) != PMIX_SUCCESS) return 4;
  pmix_proc_t wild;
  PMIX_LOAD_PROCID(&wild, me.nspace, PMIX_RANK_WILDCARD);
  pmix_value_t* size = NULL;
  if (PMIx_Get(&wild, PMIX_JOB_SIZE, NULL, 0, &size) != PMIX_SUCCESS || size->type != PMIX_UINT32) return 5;
  const uint32_t n = size->data.uint32;
  pmix_proc_t* all = calloc(n, sizeof *all);
  if (all == NULL) return 6;
  for (uint32_t r = 0; r < n; ++r) PMIX_LOAD_PROCID(&all[r], me.nspace, r);
  struct Pending first = {0, PMIX_SUCCESS}, second = {0, PMIX_SUCCESS};
  if (PMIx_Fence_nb(&wild, 1, NULL, 0, Released, &first) != PMIX_SUCCESS ||
      PMIx_Fence_nb(all, n, NULL, 0, Released, &second) != PMIX_SUCCESS)
    return 7;
  for (int i = 0; i < 1500 && !(__atomic_load_n(&first.done, __ATOMIC_ACQUIRE) &&
                                __atomic_load_n(&second.done, __ATOMIC_ACQUIRE)); ++i)
    usleep(10000);
  if (__atomic_load_n(&first.done, __ATOMIC_ACQUIRE) && __atomic_load_n(&second.done, __ATOMIC_ACQUIRE))
    printf("fences %s %s\n", PMIx_Error_string(first.status), PMIx_Error_string(second.status));
  else
    printf("fences pending\n");
  fflush(stdout);
  free(all);
  PMIx_Finalize(NULL, 0);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* envRank = getenv("PMIX_RANK");
  if (strcmp(argv[2], "kill") == 0 && envRank != NULL && strcmp(envRank, "1") == 0) {
    char path[4096];
    snprintf(path, sizeof path, "%s/1.pid", argv[1]);
    FILE* f = fopen(path, "w");
    if (f != NULL) {
      fprintf(f, "%d\n", (int)getpid());
      fclose(f);
    }
    raise(SIGKILL);
  }
  if (strcmp(argv[2], "subset") == 0 || strcmp(argv[2], "dmodex") == 0) {
    pmix_proc_t me;
    if (PMIx_Init(&me, NULL, 0) != PMIX_SUCCESS) return 4;
    char path[4096];
    snprintf(path, sizeof path, "%s/%u.pid", argv[1], me.rank);
    FILE* f = fopen(path, "w");
    if (f != NULL) {
      fprintf(f, "%d\n", (int)getpid());
      fclose(f);
    }
    if (strcmp(argv[2], "dmodex") == 0 && me.rank <= 2) {
      if (!PutFrom("tarvo.early", "early from %u", me.rank)) return 5;
      pmix_proc_t next;
      PMIX_LOAD_PROCID(&next, me.nspace, (me.rank + 1) % 3);
      pmix_value_t* got = NULL;
      pmix_status_t gotRc = PMIx_Get(&next, "tarvo.early", NULL, 0, &got);
      printf("rank %u got %s\n", me.rank,
             gotRc == PMIX_SUCCESS && got->type == PMIX_STRING ? got->data.string : PMIx_Error_string(gotRc));
      fflush(stdout);
    }
    if (strcmp(argv[2], "subset") == 0 && me.rank <= 1) {
      if (!PutFrom("tarvo.sub", "from %u", me.rank)) return 5;
      pmix_proc_t two[2];
      PMIX_LOAD_PROCID(&two[0], me.nspace, 0);
      PMIX_LOAD_PROCID(&two[1], me.nspace, 1);
      bool collect = true;
      pmix_info_t info;
      PMIX_INFO_LOAD(&info, PMIX_COLLECT_DATA, &collect, PMIX_BOOL);
      pmix_status_t rc = PMIx_Fence(two, 2, &info, 1);
      pmix_value_t* got = NULL;
      pmix_status_t gotRc = PMIx_Get(&two[1 - me.rank], "tarvo.sub", NULL, 0, &got);
      printf("rank %u fence %s got %s\n", me.rank, PMIx_Error_string(rc),
             gotRc == PMIX_SUCCESS && got->type == PMIX_STRING ? got->data.string : "nothing");
      fflush(stdout);
    }
    pmix_status_t rc = PMIx_Fence(NULL, 0, NULL, 0);
    printf("rank %u job fence %s\n", me.rank, PMIx_Error_string(rc));
    fflush(stdout);
    PMIx_Finalize(NULL, 0);
    return 0;
  }
  if (strcmp(argv[2], "twofences") == 0) return TwoFences();
  if (strcmp(argv[2], "deadwaiter") == 0) return DeadWaiter(argv[1]);
  if (strncmp(argv[2], "put:", 4) == 0) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s.pid", argv[1], envRank != NULL ? envRank : "x");
    FILE* f = fopen(path, "w");
    if (f != NULL) {
      fprintf(f, "%d\n", (int)getpid());
      fclose(f);
    }
    pmix_proc_t me;
    if (PMIx_Init(&me, NULL, 0) != PMIX_SUCCESS) return 4;
    const size_t size = strtoul(argv[2] + 4, NULL, 10);
    char* big = malloc(size);
    if (big == NULL) return 6;
    memset(big, 'x', size);
    pmix_value_t v;
    v.type = PMIX_BYTE_OBJECT;
    v.data.bo.bytes = big;
    v.data.bo.size = size;
    if (PMIx_Put(PMIX_GLOBAL, "tarvo.big", &v) != PMIX_SUCCESS || PMIx_Commit() != PMIX_SUCCESS) return 5;
    bool collect = true;
    pmix_info_t info;
    PMIX_INFO_LOAD(&info, PMIX_COLLECT_DATA, &collect, PMIX_BOOL);
    pmix_status_t rc = PMIx_Fence(NULL, 0, &info, 1);
    printf("fence %s\n", PMIx_Error_string(rc));
    fflush(stdout);
    free(big);
    PMIx_Finalize(NULL, 0);
    return rc == PMIX_SUCCESS ? 0 : 3;
  }
  MPI_Init(&argc, &argv);
  int rank = 0, size = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  char path[4096];
  snprintf(path, sizeof path, "%s/%d.pid", argv[1], rank);
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
  if (strcmp(argv[2], "abort") == 0 && rank == 1) MPI_Abort(MPI_COMM_WORLD, 7);
  if (strcmp(argv[2], "nofinalize") == 0 && rank == 0) _exit(0);
  if (strcmp(argv[2], "killlate") == 0 && rank == 1) raise(SIGKILL);
  if (strcmp(argv[2], "hold") == 0) {
    for (;;) pause();
  }
  if (strcmp(argv[2], "report") != 0) MPI_Barrier(MPI_COMM_WORLD);
  int sum = 0;
  MPI_Allreduce(&rank, &sum, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  MPI_Comm shared;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &shared);
  int local = 0;
  MPI_Comm_size(shared, &local);
  int* appnum = NULL;
  int found = 0;
  MPI_Comm_get_attr(MPI_COMM_WORLD, MPI_APPNUM, &appnum, &found);
  printf("rank %d of %d sum %d shared %d appnum %d session %s\n", rank, size, sum, local, found ? *appnum : -1,
         getsid(0) == getpid() ? "own" : "shared");
  fflush(stdout);
  MPI_Comm_free(&shared);
  MPI_Finalize();
  return 0;
}
