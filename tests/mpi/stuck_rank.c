/* An MPI program that never ends, for the call-stack tests; built with both
 * mpicc.mpich and mpicc.openmpi.
 *   stuck_rank DIR     every rank writes its pid into DIR/R.pid once MPI is
 *                      up; rank 1 waits for a message that nobody sends, the
 *                      others wait in a barrier that rank 1 never enters. */
#include <mpi.h>
#include <stdio.h>
#include <unistd.h>

static void WritePid(const char* dir, int rank) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%d.pid", dir, rank);
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
}

/* Not inlined: the tests look for these names in the ranks' call paths. */
__attribute__((noinline)) void waiting_in_barrier(void) { MPI_Barrier(MPI_COMM_WORLD); }

__attribute__((noinline)) void stuck_in_recv(void) {
  int value;
  MPI_Recv(&value, 1, MPI_INT, 0, 99, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (argc > 1) WritePid(argv[1], rank);
  if (rank == 1) {
    stuck_in_recv();
  } else {
    waiting_in_barrier();
  }
  MPI_Finalize();
  return 0;
}
