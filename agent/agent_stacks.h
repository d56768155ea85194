// The agent's third form, which tarvo and the agent start to read the call
// stacks of their ranks (through elfutils' libdw, in the module
// tarvo-stacks.so, agent/stack_reader.cpp, which only this form loads):
//
//   tarvo-agent --stacks [--samples 2] RANK:PID...
//       stops every thread of each PID, walks each thread's stack, lets them
//       go (the ranks go on), and writes the stacks on standard output as a
//       common/stack_wire.h payload; a rank that cannot be read says why.
//       With two samples it reads them again kStackSampleGapMs later and
//       marks each thread whose path differed between the two (the paths
//       sent are the first sample's).
//
// It is a process of its own rather than a thread of tarvo or the agent: a
// tracer's stops would be reported to the same process's waitpid(-1), which
// reaps the run's ranks, and a walk that hangs on one process can be killed
// without stopping the run. Its parent started the ranks, so the ranks let
// it trace them also where Yama restricts ptrace to descendants (carrier
// names its parent as the rank's tracer, common/carrier_exec.c).
#ifndef TARVO_AGENT_AGENT_STACKS_H
#define TARVO_AGENT_AGENT_STACKS_H

/// The --stacks form: its exit status, or -1 when argv is another form.
int StacksMain(int argc, char** argv);

#endif  // TARVO_AGENT_AGENT_STACKS_H
