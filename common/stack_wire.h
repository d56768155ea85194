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

struct StackRankHead {
  int32_t rank;
  int32_t job;     // 0: the run's first job; k: its k-th spawned job
  int32_t frames;  // StackFrameName records that follow; 0 when `why` is set
  char why[64];    // why the stack could not be read ("gone", ...); empty when it was
};
static_assert(sizeof(StackRankHead) == 76 && offsetof(StackRankHead, job) == 4 && offsetof(StackRankHead, frames) == 8 &&
                  offsetof(StackRankHead, why) == 12,
              "stack head layout");

struct StackFrameName {
  char name[64];  // a function's name, or "library+0xOFFSET"; cut to the field
};
static_assert(sizeof(StackFrameName) == 64, "frame name layout");
static_assert(std::is_trivially_copyable<StackRankHead>::value, "copied with memcpy");

/// One rank's call path, or why there is none.
struct RankStack {
  int rank = 0;
  int job = 0;  // 0: the run's first job; k: its k-th spawned job
  std::vector<std::string> frames;  // outermost first
  std::string why;
};

/// The path from `main` outward: the frames outside `main` (_start,
/// __libc_start_main...) dropped; without a frame named main, only the C
/// library's start frames are dropped. Then bounded to kStackMaxFrames.
std::vector<std::string> StackFromMain(const std::vector<std::string>& outermostFirst);

/// The payload of `stacks`, at most the agent protocol's largest frame.
/// Ranks whose frames no longer fit are sent without them, saying so; ranks
/// whose heads no longer fit (beyond some 13000) are left out.
std::string StackEncode(const std::vector<RankStack>& stacks);

/// Reads a payload; false (and *out as far as it was read) when it is
/// malformed: a size that does not add up, a count out of its bounds.
bool StackDecode(const std::string& payload, std::vector<RankStack>* out);

/// Starts `AGENT --stacks RANK:PID...` (agent/agent_stacks.h) for `ranks`
/// (rank, pid) with posix_spawn (safe in a threaded process), its standard
/// output on *readFd (non-blocking, close-on-exec). `agent` is a path, or
/// a name that PATH finds. Its pid, or -1.
pid_t StackReaderStart(const std::string& agent, const std::vector<std::pair<int, pid_t>>& ranks, int* readFd);

#endif  // TARVO_COMMON_STACK_WIRE_H
