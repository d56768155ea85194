// The call stacks of a host's ranks as the launcher and the agent hold
// them, and the payload that carries them (its records are the wire
// contract's, common/wire.h): from `tarvo-agent --stacks` (which reads them)
// to the agent or tarvo that started it, and from an agent to tarvo in one
// kAgentStacks frame.
#ifndef TARVO_COMMON_STACK_WIRE_H
#define TARVO_COMMON_STACK_WIRE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/wire.h"

/// One thread's call path of a rank, or why there is none.
struct RankStack {
  int rank = 0;
  int job = 0;  // 0: the run's first job; k: its k-th spawned job
  int thread = 0;      // 0: the main thread; k: the (k+1)-th by thread id
  bool moved = false;  // the process's paths differed between two samples
  std::vector<std::string> frames;  // outermost first
  std::string why;
};

/// The path from `main` outward: the frames outside `main` (_start,
/// __libc_start_main...) dropped; without a frame named main (a thread
/// other than the main one, a stripped program), the C library's start
/// frames (a thread's clone and start_thread) are dropped, so that a
/// thread's path starts at its own start routine. Then bounded to
/// kStackMaxFrames.
std::vector<std::string> StackFromMain(const std::vector<std::string>& outermostFirst);

/// The payload of `stacks`, at most the agent protocol's largest frame.
/// Ranks whose frames no longer fit are sent without them, saying so; ranks
/// whose heads no longer fit (beyond some 13000) are left out.
std::string StackEncode(const std::vector<RankStack>& stacks);

/// Reads a payload; false (and *out as far as it was read) when it is
/// malformed: a size that does not add up, a count out of its bounds.
bool StackDecode(const std::string& payload, std::vector<RankStack>* out);

/// `AGENT --stacks [--samples 2] RANK:PID...` (agent/agent_stacks.h): the
/// reader's words for `ranks` (rank, pid), read `samples` times.
std::vector<std::string> StackReaderWords(const std::string& agent, const std::vector<std::pair<int, pid_t>>& ranks,
                                          int samples);

/// Starts the reader of StackReaderWords on this host (process_start.h),
/// its standard output on *readFd (non-blocking, close-on-exec). `agent`
/// is a path, or a name that PATH finds. Its pid, or -1 with errno the
/// reason when it cannot be started (its exec's failure among them).
pid_t StackReaderStart(const std::string& agent, const std::vector<std::pair<int, pid_t>>& ranks, int samples,
                       int* readFd);

#endif  // TARVO_COMMON_STACK_WIRE_H
