// The agent's third form, which tarvo and the agent start to read the call
// stacks of their ranks (through elfutils' libdw, in the module
// tarvo-stacks.so, agent/stack_reader.cpp, which only this form loads):
//
//   tarvo-agent --stacks RANK:PID...
//       attaches to each PID in turn, walks its main thread's stack, detaches
//       (the rank goes on), and writes the stacks on standard output as a
//       common/stack_wire.h payload; a rank that cannot be read says why.
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
