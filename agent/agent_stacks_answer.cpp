#include "agent/agent_stacks_answer.h"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "common/agent_wire.h"
#include "common/stack_wire.h"

namespace {

double Clock() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

void StacksAnswer::Ask(int samples, const std::map<pid_t, AgentProc>& ranks, std::string* frame) {
  if (fd_ >= 0) return;
  asked_.clear();
  of_.clear();
  // The reader knows each process by its place in the question: a
  // spawned job's ranks count from 0 again.
  for (const auto& r : ranks) {
    asked_.emplace_back(static_cast<int>(of_.size()), r.first);
    of_.push_back(r.second);
  }
  bytes_.clear();
  since_ = Clock();
  reader_ = asked_.empty() ? -1 : StackReaderStart(self_, asked_, samples, &fd_);
  if (reader_ < 0) *frame += Answer(asked_.empty() ? "" : "tarvo-agent --stacks could not be started");
}

void StacksAnswer::Take(std::string* frame) {
  while (fd_ >= 0) {
    char buffer[65536];
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    if (got > 0) {
      if (bytes_.size() < static_cast<size_t>(kAgentMaxPayload)) bytes_.append(buffer, static_cast<size_t>(got));
      continue;
    }
    close(fd_);
    fd_ = -1;
    *frame += Answer("tarvo-agent --stacks said nothing of it");
    return;
  }
  // A reader stuck on a rank: tarvo stops waiting after kStacksWait;
  // answer before, with what there is.
  if (fd_ >= 0 && Clock() - since_ >= kStacksAgentWait) {
    kill(reader_, SIGKILL);
    close(fd_);
    fd_ = -1;
    *frame += Answer("not read in time");
  }
}

// What the reader wrote of each rank asked (a path per thread, each thread
// once), `why` for those that it did not write.
std::string StacksAnswer::Answer(const char* why) const {
  std::vector<RankStack> read, answer;
  StackDecode(bytes_, &read);
  for (const auto& r : asked_) {
    std::set<int> threads;
    for (const RankStack& s : read) {
      if (s.rank != r.first || !threads.insert(s.thread).second) continue;
      answer.push_back(s);
    }
    if (threads.empty()) {
      answer.emplace_back();
      answer.back().why = why;
    }
    for (size_t k = answer.size() - std::max<size_t>(threads.size(), 1); k < answer.size(); ++k) {
      answer[k].rank = of_[static_cast<size_t>(r.first)].rank;
      answer[k].job = of_[static_cast<size_t>(r.first)].job;
    }
  }
  const std::string payload = StackEncode(answer);
  return AgentEncode(kAgentStacks, payload.data(), payload.size());
}
