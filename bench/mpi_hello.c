/* The MPI hello of bench/mpi: init, one allreduce, finalize. */
#include <mpi.h>
#include <stdio.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank, size, one = 1, sum = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  MPI_Allreduce(&one, &sum, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  printf("hello from rank %d of %d, sum %d\n", rank, size, sum);
  MPI_Finalize();
  return 0;
}
