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
  for (int i = 2; i < argc; ++i) {
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
    reinterpret_cast<void (*)(const std::vector<std::pair<int, pid_t>>*, std::vector<RankStack>*)>(entry)(&ranks,
                                                                                                     &stacks);
    for (RankStack& s : stacks) {
      if (s.why.empty()) s.frames = StackFromMain(s.frames);
    }
  }
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
