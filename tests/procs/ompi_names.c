/* Names and ports between two ranks of one job: rank 0 opens a port,
 * publishes it and accepts; rank 1 looks it up (retrying until it is
 * published) and connects; rank 1 sends a value over the
 * intercommunicator, rank 0 sends it back doubled; then rank 0 unpublishes
 * and a second lookup must fail. Prints "names ok" on rank 0. Each rank
 * first writes its pid into DIR/<rank>.pid (DIR from argv[1]). */
#include <mpi.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int rank, value = 0;
  char port[MPI_MAX_PORT_NAME];
  MPI_Comm inter;
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (argc > 1) {
    char path[4096];
    FILE* f;
    snprintf(path, sizeof path, "%s/%d.pid", argv[1], rank);
    f = fopen(path, "w");
    if (f != NULL) {
      fprintf(f, "%d\n", (int)getpid());
      fclose(f);
    }
  }
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  if (rank == 0) {
    MPI_Open_port(MPI_INFO_NULL, port);
    if (MPI_Publish_name("tarvo-ocean", MPI_INFO_NULL, port) != MPI_SUCCESS) {
      fprintf(stderr, "publish failed\n");
      MPI_Abort(MPI_COMM_WORLD, 3);
    }
    /* A second publish of the same name fails. */
    if (MPI_Publish_name("tarvo-ocean", MPI_INFO_NULL, port) == MPI_SUCCESS) {
      fprintf(stderr, "second publish succeeded\n");
      MPI_Abort(MPI_COMM_WORLD, 4);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    MPI_Comm_accept(port, MPI_INFO_NULL, 0, MPI_COMM_SELF, &inter);
    MPI_Recv(&value, 1, MPI_INT, 0, 0, inter, MPI_STATUS_IGNORE);
    value *= 2;
    MPI_Send(&value, 1, MPI_INT, 0, 0, inter);
    MPI_Unpublish_name("tarvo-ocean", MPI_INFO_NULL, port);
    MPI_Close_port(port);
  } else if (rank == 1) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (MPI_Lookup_name("tarvo-ocean", MPI_INFO_NULL, port) != MPI_SUCCESS) {
      fprintf(stderr, "lookup failed\n");
      MPI_Abort(MPI_COMM_WORLD, 5);
    }
    MPI_Comm_connect(port, MPI_INFO_NULL, 0, MPI_COMM_SELF, &inter);
    value = 21;
    MPI_Send(&value, 1, MPI_INT, 0, 0, inter);
    MPI_Recv(&value, 1, MPI_INT, 0, 0, inter, MPI_STATUS_IGNORE);
    if (value != 42) {
      fprintf(stderr, "got %d\n", value);
      MPI_Abort(MPI_COMM_WORLD, 6);
    }
  } else {
    MPI_Barrier(MPI_COMM_WORLD);
  }
  if (rank < 2) MPI_Comm_disconnect(&inter);
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 1) {
    MPI_Comm_set_errhandler(MPI_COMM_SELF, MPI_ERRORS_RETURN);
    if (MPI_Lookup_name("tarvo-ocean", MPI_INFO_NULL, port) == MPI_SUCCESS) {
      fprintf(stderr, "lookup after unpublish succeeded\n");
      MPI_Abort(MPI_COMM_WORLD, 7);
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) printf("names ok\n");
  MPI_Finalize();
  return 0;
}
