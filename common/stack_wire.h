// The call stacks of a host's ranks as they travel: from `tarvo-agent
// --stacks` (which reads them) to the agent or tarvo that started it, and
// from an agent to tarvo in one kAgentStacks frame. The payload is, for each
// rank, a StackRankHead and then `frames` StackFrameName records, the call
// path from `main` outward (the outermost frame first). Every size is
// bounded: a rank's path by kStackMaxFrames, a name by its field, the whole
// payload by the agent protocol's largest frame.
#ifndef TARVO_COMMON_STACK_WIRE_H
#define TARVO_COMMON_STACK_WIRE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

/// Frames kept of one rank's path: deeper paths keep their outer half and
/// their inner half, with one "..." frame between.
const int32_t kStackMaxFrames = 48;

/// Threads read of one process, its main thread first; the others, in the
/// order of their thread ids, are named as not read.
const int32_t kStackMaxThreads = 64;
/// Milliseconds between the two samples.
const int kStackSampleGapMs = 200;

// One thread's path: a process has one head per thread read.
struct StackRankHead {
  int32_t rank;
  int32_t job;     // 0: the run's first job; k: its k-th spawned job
  int32_t frames;  // StackFrameName records that follow; 0 when `why` is set
  char why[64];    // why the stack could not be read ("gone", ...); empty when it was
  int32_t thread;  // 0: the main thread; k: the process's (k+1)-th thread by thread id
  int32_t moved;   // 1: the process's paths differed between the two samples (a thread's, or which threads ran)
};
static_assert(sizeof(StackRankHead) == 84 && offsetof(StackRankHead, job) == 4 && offsetof(StackRankHead, frames) == 8 &&
                  offsetof(StackRankHead, why) == 12 && offsetof(StackRankHead, thread) == 76 &&
                  offsetof(StackRankHead, moved) == 80,
              "stack head layout");

struct StackFrameName {
  char name[64];  // a function's name, or "library+0xOFFSET"; cut to the field
};
static_assert(sizeof(StackFrameName) == 64, "frame name layout");
static_assert(std::is_trivially_copyable<StackRankHead>::value, "copied with memcpy");

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
