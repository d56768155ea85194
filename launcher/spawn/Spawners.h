// The two spawners, as other programs know them (launcher/Control.h includes
// this header). Each describes every process of the run, hands them to the
// run control and returns the run's status: the run control's, or 255 when
// the run is refused before anything starts (the refusal already printed).
#ifndef TARVO_LAUNCHER_SPAWN_SPAWNERS_H
#define TARVO_LAUNCHER_SPAWN_SPAWNERS_H

int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args);
int spawn_processes1(const char* machinefile, const char* programfile);

#endif  // TARVO_LAUNCHER_SPAWN_SPAWNERS_H
