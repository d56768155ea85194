#include "launcher/run/ReportText.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>

namespace runloop {

std::string RankList(const std::vector<int>& ranks) {
  std::string text;
  for (size_t i = 0; i < ranks.size();) {
    size_t j = i;
    while (j + 1 < ranks.size() && ranks[j + 1] == ranks[j] + 1) ++j;
    if (!text.empty()) text += ",";
    text += std::to_string(ranks[i]);
    if (j > i) text += "-" + std::to_string(ranks[j]);
    i = j + 1;
  }
  return text;
}

std::string Describe(int waitStatus) {
  char text[160];
  if (WIFSIGNALED(waitStatus)) {
    const int sig = WTERMSIG(waitStatus);
    snprintf(text, sizeof text, "was killed by signal %d (%s)", sig, strsignal(sig));
  } else {
    snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(waitStatus));
  }
  return text;
}

}  // namespace runloop
