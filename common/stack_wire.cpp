#include "common/stack_wire.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/agent_wire.h"
#include "common/process_start.h"
#include "common/textfield.h"

namespace {

bool StartFrame(const std::string& name) {
  return name == "_start" || name == "__libc_start_main" || name == "__libc_start_call_main" ||
         name == "__libc_start_main_impl" || name == "clone" || name == "clone3" || name == "__clone" ||
         name == "__clone3" || name == "__clone_internal" || name == "start_thread";
}

}  // namespace

std::vector<std::string> StackFromMain(const std::vector<std::string>& outermostFirst) {
  size_t from = 0;
  while (from < outermostFirst.size() && outermostFirst[from] != "main") ++from;
  if (from == outermostFirst.size()) {
    // No main by name (a stripped program): what the C library's start
    // calls, which is main.
    from = 0;
    for (size_t i = 0; i < outermostFirst.size(); ++i) {
      if (StartFrame(outermostFirst[i])) from = i + 1;
    }
  }
  std::vector<std::string> path(outermostFirst.begin() + static_cast<std::ptrdiff_t>(from), outermostFirst.end());
  if (path.size() > static_cast<size_t>(kStackMaxFrames)) {
    const size_t half = static_cast<size_t>(kStackMaxFrames) / 2;
    std::vector<std::string> cut(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(half));
    cut.push_back("...");
    cut.insert(cut.end(), path.end() - static_cast<std::ptrdiff_t>(half - 1), path.end());
    path.swap(cut);
  }
  return path;
}

std::string StackEncode(const std::vector<RankStack>& stacks) {
  std::string out;
  const size_t limit = static_cast<size_t>(kAgentMaxPayload);
  for (size_t i = 0; i < stacks.size(); ++i) {
    const RankStack& s = stacks[i];
    // Room for this rank's head and the heads of every rank after it; the
    // ranks beyond some 13000 heads are left out.
    if (out.size() + sizeof(StackRankHead) > limit) break;
    const size_t heads = std::min((stacks.size() - i) * sizeof(StackRankHead), limit - out.size());
    size_t frames = std::min(s.frames.size(), static_cast<size_t>(kStackMaxFrames));
    const char* why = s.why.c_str();
    if (s.why.empty() && out.size() + heads + frames * sizeof(StackFrameName) > limit) {
      frames = 0;
      why = "too many ranks on its host to send";
    }
    if (!s.why.empty()) frames = 0;
    StackRankHead head{};
    head.rank = s.rank;
    head.job = s.job;
    head.frames = static_cast<int32_t>(frames);
    head.thread = s.thread;
    head.moved = s.moved ? 1 : 0;
    CopyTextField(head.why, sizeof head.why, why);
    out.append(reinterpret_cast<const char*>(&head), sizeof head);
    for (size_t f = 0; f < frames; ++f) {
      StackFrameName name{};
      CopyTextField(name.name, sizeof name.name, s.frames[f].c_str());
      out.append(reinterpret_cast<const char*>(&name), sizeof name);
    }
  }
  return out;
}

bool StackDecode(const std::string& payload, std::vector<RankStack>* out) {
  size_t at = 0;
  while (at < payload.size()) {
    if (payload.size() - at < sizeof(StackRankHead)) return false;
    StackRankHead head;
    memcpy(&head, payload.data() + at, sizeof head);
    at += sizeof head;
    if (head.rank < 0 || head.job < 0 || head.frames < 0 || head.frames > kStackMaxFrames || head.thread < 0 ||
        head.thread > kStackMaxThreads) {
      return false;
    }
    const size_t frames = static_cast<size_t>(head.frames);
    if ((payload.size() - at) / sizeof(StackFrameName) < frames) return false;
    RankStack s;
    s.rank = head.rank;
    s.job = head.job;
    s.thread = head.thread;
    s.moved = head.moved != 0;
    s.why.assign(head.why, TextFieldLength(head.why, sizeof head.why));
    for (size_t f = 0; f < frames; ++f) {
      StackFrameName name;
      memcpy(&name, payload.data() + at, sizeof name);
      at += sizeof name;
      s.frames.emplace_back(name.name, TextFieldLength(name.name, sizeof name.name));
    }
    if (s.why.empty() && s.frames.empty()) s.why = "no frames";
    out->push_back(std::move(s));
  }
  return true;
}

std::vector<std::string> StackReaderWords(const std::string& agent, const std::vector<std::pair<int, pid_t>>& ranks,
                                          int samples) {
  std::vector<std::string> words{agent, "--stacks"};
  if (samples != 1) words.insert(words.end(), {"--samples", std::to_string(samples)});
  for (const auto& r : ranks) words.push_back(std::to_string(r.first) + ":" + std::to_string(r.second));
  return words;
}

pid_t StackReaderStart(const std::string& agent, const std::vector<std::pair<int, pid_t>>& ranks, int samples,
                       int* readFd) {
  std::vector<std::string> words = StackReaderWords(agent, ranks, samples);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  extern char** environ;
  ChildExec exec;
  exec.file = argv[0];
  exec.argv = argv.data();
  exec.envp = environ;
  exec.failure = nullptr;  // the caller's to report
  std::string err;
  return ProcessStartReading(
      [&](int out) {
        ChildSetup setup;
        setup.stdFds[1] = out;
        return ProcessStart(setup, exec, true, &err);
      },
      true, readFd);
}
