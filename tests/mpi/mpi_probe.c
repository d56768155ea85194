/* An MPI program for the end-to-end tests, built with mpicc.mpich.
 *   mpi_probe [DIR]        every rank writes its pid into DIR/R.pid, then prints
 *                          "rank R of N shm S sum T ring P session E", E "own"
 *                          when the rank leads a session, else "shared"
 *   mpi_probe DIR abort    rank 1 calls MPI_Abort with 7
 *   mpi_probe DIR kill     rank 1 is killed by SIGKILL before MPI_Init ends
 *   mpi_probe DIR nofinalize  rank 1 returns 0 from main after a first barrier,
 *                          without MPI_Finalize, while the others wait in a second
 *   mpi_probe DIR names    rank 1 publishes a name, which every rank looks up and
 *                          rank 2 cannot publish again; after rank 1 unpublishes it,
 *                          a lookup fails; each rank prints "rank R names ok" (or
 *                          exits with 9)
 *   mpi_probe DIR pmix     every rank prints "rank R pmix P", P "served" when its
 *                          environment names a PMIx server, else "none" */
#include <mpi.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void WritePid(const char* dir, const char* rank) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s.pid", dir, rank);
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : NULL;
  const char* mode = argc > 2 ? argv[2] : "";
  const char* envRank = getenv("PMI_RANK") ? getenv("PMI_RANK") : getenv("PMI_ID");
  if (dir != NULL && envRank != NULL) WritePid(dir, envRank);
  if (strcmp(mode, "kill") == 0 && envRank != NULL && strcmp(envRank, "1") == 0) raise(SIGKILL);
  MPI_Init(&argc, &argv);
  int rank, size;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (strcmp(mode, "abort") == 0 && rank == 1) MPI_Abort(MPI_COMM_WORLD, 7);
  if (strcmp(mode, "pmix") == 0) {
    printf("rank %d pmix %s\n", rank, getenv("PMIX_RANK") != NULL ? "served" : "none");
    MPI_Finalize();
    return 0;
  }
  if (strcmp(mode, "names") == 0) {
    char port[MPI_MAX_PORT_NAME] = "";
    int bad = 0;
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
    if (rank == 1) bad |= MPI_Publish_name("tarvo-probe", MPI_INFO_NULL, "port-of-1") != MPI_SUCCESS;
    MPI_Barrier(MPI_COMM_WORLD);
    bad |= MPI_Lookup_name("tarvo-probe", MPI_INFO_NULL, port) != MPI_SUCCESS || strcmp(port, "port-of-1") != 0;
    if (rank == 2) bad |= MPI_Publish_name("tarvo-probe", MPI_INFO_NULL, "port-of-2") == MPI_SUCCESS;
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 1) bad |= MPI_Unpublish_name("tarvo-probe", MPI_INFO_NULL, "port-of-1") != MPI_SUCCESS;
    MPI_Barrier(MPI_COMM_WORLD);
    bad |= MPI_Lookup_name("tarvo-probe", MPI_INFO_NULL, port) == MPI_SUCCESS;
    MPI_Barrier(MPI_COMM_WORLD);
    if (bad) return 9;
    printf("rank %d names ok\n", rank);
    MPI_Finalize();
    return 0;
  }
  if (strcmp(mode, "nofinalize") == 0) {
    /* Every rank is past its start-up first: a rank that leaves while a
     * peer of its node still sets up shared memory breaks that peer's init. */
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 1) return 0;
    MPI_Barrier(MPI_COMM_WORLD);
  }
  MPI_Comm shm;
  int shmSize;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &shm);
  MPI_Comm_size(shm, &shmSize);
  int one = rank + 1, sum = 0;
  MPI_Allreduce(&one, &sum, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  /* The ring: each rank sends its number on, and takes its left neighbour's. */
  int left = -1;
  MPI_Sendrecv(&rank, 1, MPI_INT, (rank + 1) % size, 0, &left, 1, MPI_INT, (rank + size - 1) % size, 0,
               MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  if (strcmp(mode, "abort") == 0) MPI_Barrier(MPI_COMM_WORLD);
  printf("rank %d of %d shm %d sum %d ring %s session %s\n", rank, size, shmSize, sum,
         left == (rank + size - 1) % size ? "ok" : "broken", getsid(0) == getpid() ? "own" : "shared");
  MPI_Comm_free(&shm);
  MPI_Finalize();
  return 0;
}
