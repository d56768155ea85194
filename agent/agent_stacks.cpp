#include "agent/agent_stacks.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/child_io.h"
#include "common/modules.h"
#include "common/stack_wire.h"



int StacksMain(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--stacks") != 0) return -1;
  // Gone with the process that asked: the tracees are let go with us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::vector<std::pair<int, pid_t>> ranks;
  int samples = 1;
  int first = 2;
  if (argc > 3 && strcmp(argv[2], "--samples") == 0) {
    if (strcmp(argv[3], "1") != 0 && strcmp(argv[3], "2") != 0) {
      fprintf(stderr, "tarvo-agent --stacks: --samples is 1 or 2, not %s\n", argv[3]);
      return 2;
    }
    samples = argv[3][0] - '0';
    first = 4;
  }
  for (int i = first; i < argc; ++i) {
    int rank = -1;
    long pid = -1;
    char end = 0;
    if (sscanf(argv[i], "%d:%ld%c", &rank, &pid, &end) != 2 || rank < 0 || pid <= 0) {
      fprintf(stderr, "tarvo-agent --stacks: not RANK:PID: %s\n", argv[i]);
      return 2;
    }
    ranks.emplace_back(rank, static_cast<pid_t>(pid));
  }
  std::vector<RankStack> stacks;
  std::string why = "call stacks are not available in this build (no libdw)";
#ifdef TARVO_HAVE_LIBDW
  // libdw and what it needs are loaded only here, not at every start of
  // the agent.
  void* entry = TarvoModuleEntry("tarvo-stacks.so", "tarvo_stacks_read", &why);
  if (entry != nullptr) {
    reinterpret_cast<void (*)(const std::vector<std::pair<int, pid_t>>*, int, std::vector<RankStack>*)>(entry)(
        &ranks, samples, &stacks);
    for (RankStack& s : stacks) {
      if (s.why.empty()) s.frames = StackFromMain(s.frames);
    }
  }
#else
  (void)samples;  // nothing to sample with in a build without libdw
#endif
  if (stacks.empty()) {
    for (const auto& r : ranks) {
      RankStack s;
      s.rank = r.first;
      s.why = why;
      stacks.push_back(s);
    }
  }
  const std::string out = StackEncode(stacks);
  return ChildWrite(STDOUT_FILENO, out) ? 0 : 1;
}
