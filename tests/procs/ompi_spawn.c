/* MPI_Comm_spawn under tarvo: ompi_spawn DIR MODE; every process writes
 * its pid into DIR/<pid>.pid. "merge": the parents spawn two children, all
 * merge and sum rank+1 over the merged communicator, each printing the sum.
 * "kill": the same, but the children's rank 1 kills itself after the merge;
 * "abort": it calls MPI_Abort with 7; "nofinalize": it ends without
 * MPI_Finalize.
 * "missing": the parents spawn a program that does not exist; the call
 * fails and they go on. "MODE@HOST": the children go to HOST (the `host`
 * info key); "MODE@": where the launcher places them. */
#include <mpi.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  if (argc < 3) return 2;
  char path[4096];
  snprintf(path, sizeof path, "%s/%d.pid", argv[1], (int)getpid());
  FILE* f = fopen(path, "w");
  if (f != NULL) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
  }
  char mode[64];
  snprintf(mode, sizeof mode, "%s", argv[2]);
  char* host = strchr(mode, '@');
  if (host != NULL) *host++ = '\0';
  MPI_Comm parent, inter, merged;
  MPI_Comm_get_parent(&parent);
  int rank, size;
  if (parent == MPI_COMM_NULL) {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (strcmp(mode, "missing") == 0) {
      MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
      int errs[1];
      MPI_Info where = MPI_INFO_NULL;
      if (host != NULL && *host != '\0') {
        MPI_Info_create(&where);
        MPI_Info_set(where, "host", host);
      }
      int rc = MPI_Comm_spawn("/nonexistent/tarvo-spawn-test", MPI_ARGV_NULL, 1, where, 0, MPI_COMM_WORLD, &inter, errs);
      if (where != MPI_INFO_NULL) MPI_Info_free(&where);
      int cls = 0;
      MPI_Error_class(rc, &cls);
      printf("spawn %s\n", rc == MPI_SUCCESS ? "succeeded" : cls == MPI_ERR_SPAWN ? "failed with MPI_ERR_SPAWN" : "failed");
      MPI_Barrier(MPI_COMM_WORLD);
      MPI_Finalize();
      return 0;
    }
    char* args[] = {argv[1], mode, NULL};
    MPI_Info info = MPI_INFO_NULL;
    if (host != NULL && *host != '\0') {
      MPI_Info_create(&info);
      MPI_Info_set(info, "host", host);
    }
    MPI_Comm_spawn(argv[0], args, 2, info, 0, MPI_COMM_WORLD, &inter, MPI_ERRCODES_IGNORE);
    if (info != MPI_INFO_NULL) MPI_Info_free(&info);
    MPI_Intercomm_merge(inter, 0, &merged);
  } else {
    inter = parent;
    MPI_Intercomm_merge(inter, 1, &merged);
  }
  MPI_Comm_rank(merged, &rank);
  MPI_Comm_size(merged, &size);
  int childRank = -1;
  if (parent != MPI_COMM_NULL) MPI_Comm_rank(MPI_COMM_WORLD, &childRank);
  if (childRank == 1 && strcmp(mode, "kill") == 0) raise(SIGKILL);
  if (childRank == 1 && strcmp(mode, "abort") == 0) MPI_Abort(MPI_COMM_WORLD, 7);
  if (childRank == 1 && strcmp(mode, "nofinalize") == 0) return 0;
  int one = rank + 1, sum = 0;
  MPI_Allreduce(&one, &sum, 1, MPI_INT, MPI_SUM, merged);
  printf("%s %d of %d: sum %d\n", parent == MPI_COMM_NULL ? "parent" : "child", rank, size, sum);
  MPI_Comm_free(&merged);
  MPI_Comm_disconnect(&inter);
  MPI_Finalize();
  return 0;
}
