// The agent's answer to the launcher's kAgentStacksAsk: the call stacks of
// this host's ranks, read by `tarvo-agent --stacks` (agent_stacks.h) while
// the agent's loop goes on; one answer per question, within
// kStacksAgentWait, so that tarvo (which waits kStacksWait) has it.
#ifndef TARVO_AGENT_AGENT_STACKS_ANSWER_H
#define TARVO_AGENT_AGENT_STACKS_ANSWER_H

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

/// A process that the agent started: a rank of the run's first job (job 0)
/// or of its job-th spawned job.
struct AgentProc {
  int job;
  int rank;
  int out[2] = {-1, -1};  // the agent's ends of its output and error streams (-1: none)
};

class StacksAnswer {
 public:
  /// `self`: the agent's own program, which reads the stacks.
  explicit StacksAnswer(std::string self) : self_(std::move(self)) {}

  /// The reader's output while one runs, else -1; the loop polls it and
  /// calls Take at least every PollMs() milliseconds (-1: not at all).
  int Fd() const { return fd_; }
  int PollMs() const { return fd_ >= 0 ? kPollMs : -1; }

  /// A question about `ranks` (the processes running, by pid): starts the
  /// reader, or answers at once into *frame (a kAgentStacks frame) when
  /// there is nothing to read or no reader. A question while an answer is
  /// under way is answered by that answer.
  void Ask(int samples, const std::map<pid_t, AgentProc>& ranks, std::string* frame);
  /// Takes what the reader wrote; its answer into *frame once it has ended
  /// or taken too long.
  void Take(std::string* frame);

 private:
  std::string Answer(const char* why) const;

  static constexpr int kPollMs = 100;
  const std::string self_;
  pid_t reader_ = -1;
  int fd_ = -1;
  double since_ = 0;
  std::vector<std::pair<int, pid_t>> asked_;  // (place in the question, pid)
  std::vector<AgentProc> of_;                 // by place in the question
  std::string bytes_;
};

#endif  // TARVO_AGENT_AGENT_STACKS_ANSWER_H
