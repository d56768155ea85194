/* One rank spawns N copies of itself (4 unless argv[1] says otherwise),
 * merges with them (MPI_Intercomm_merge) and sums rank + 1 over the merged
 * communicator to rank 0 (MPI_Reduce); rank 0 then says how long that took,
 * from its call of MPI_Comm_spawn to the end of the reduce (MPI_Wtime):
 *
 *   spawn of 4 and reduce: 0.123456 s, sum 15
 *
 * Built with mpicc.openmpi by bench/mpi, which runs it with -np 1. */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  const int n = argc > 1 ? atoi(argv[1]) : 4;
  MPI_Comm parent, inter, merged;
  MPI_Comm_get_parent(&parent);
  double start = 0;
  if (parent == MPI_COMM_NULL) {
    start = MPI_Wtime();
    MPI_Comm_spawn(argv[0], MPI_ARGV_NULL, n, MPI_INFO_NULL, 0, MPI_COMM_SELF, &inter, MPI_ERRCODES_IGNORE);
    MPI_Intercomm_merge(inter, 0, &merged);
  } else {
    inter = parent;
    MPI_Intercomm_merge(inter, 1, &merged);
  }
  int rank, size;
  MPI_Comm_rank(merged, &rank);
  MPI_Comm_size(merged, &size);
  int one = rank + 1, sum = 0;
  MPI_Reduce(&one, &sum, 1, MPI_INT, MPI_SUM, 0, merged);
  if (parent == MPI_COMM_NULL) {
    const double took = MPI_Wtime() - start;
    printf("spawn of %d and reduce: %.6f s, sum %d\n", size - 1, took, sum);
  }
  MPI_Comm_free(&merged);
  MPI_Comm_disconnect(&inter);
  MPI_Finalize();
  return 0;
}
