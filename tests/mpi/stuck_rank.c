/* An MPI program that never ends, for the call-stack tests; built with both
 * mpicc.mpich and mpicc.openmpi.
 *   stuck_rank DIR     every rank writes its pid into DIR/R.pid once MPI is
 *                      up; rank 1 waits for a message that nobody sends, the
 *                      others wait in a barrier that rank 1 never enters.
 *   stuck_rank DIR spawn
 *                      (Open MPI, one rank) the rank spawns two copies of
 *                      itself and merges with them; the children (pids in
 *                      DIR/1-R.pid) wait for a message that nobody sends, the
 *                      parent in a barrier of the merged communicator. */
#include <mpi.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void WritePid(const char* dir, const char* prefix, int rank) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s%d.pid", dir, prefix, rank);
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
}

/* Not inlined: the tests look for these names in the ranks' call paths. */
__attribute__((noinline)) void waiting_in_barrier(MPI_Comm comm) { MPI_Barrier(comm); }

__attribute__((noinline)) void stuck_in_recv(MPI_Comm comm) {
  int value;
  MPI_Recv(&value, 1, MPI_INT, 0, 99, comm, MPI_STATUS_IGNORE);
}

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (argc > 2 && strcmp(argv[2], "spawn") == 0) {
    MPI_Comm parent, inter, merged;
    MPI_Comm_get_parent(&parent);
    if (parent == MPI_COMM_NULL) {
      WritePid(argv[1], "", rank);
      char* args[] = {argv[1], argv[2], NULL};
      MPI_Comm_spawn(argv[0], args, 2, MPI_INFO_NULL, 0, MPI_COMM_WORLD, &inter, MPI_ERRCODES_IGNORE);
      MPI_Intercomm_merge(inter, 0, &merged);
      waiting_in_barrier(merged);
    } else {
      WritePid(argv[1], "1-", rank);
      MPI_Intercomm_merge(parent, 1, &merged);
      stuck_in_recv(merged);
    }
  } else {
    if (argc > 1) WritePid(argv[1], "", rank);
    if (rank == 1) {
      stuck_in_recv(MPI_COMM_WORLD);
    } else {
      waiting_in_barrier(MPI_COMM_WORLD);
    }
  }
  MPI_Finalize();
  return 0;
}
