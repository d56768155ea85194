#include "launcher/run/StackReport.h"

#include <algorithm>
#include <map>
#include <memory>

#include "launcher/run/RunLoop.h"

namespace {

// A process: (job, rank), the first job's ranks being job 0.
using Proc = std::pair<int, int>;

struct Node {
  std::string frame;
  std::vector<Proc> ranks;  // ascending once sorted
  std::vector<std::unique_ptr<Node>> children;
  bool endsHere = false;  // some rank's path ends at this frame
};

Node* Child(Node* node, const std::string& frame) {
  for (auto& c : node->children) {
    if (c->frame == frame) return c.get();
  }
  node->children.push_back(std::make_unique<Node>());
  node->children.back()->frame = frame;
  return node->children.back().get();
}

bool MoreRanks(const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
  if (a->ranks.size() != b->ranks.size()) return a->ranks.size() > b->ranks.size();
  return a->ranks.front() < b->ranks.front();
}

int Sort(Node* node) {
  std::sort(node->ranks.begin(), node->ranks.end());
  int paths = node->endsHere ? 1 : 0;
  for (auto& c : node->children) paths += Sort(c.get());
  std::sort(node->children.begin(), node->children.end(), MoreRanks);
  return paths;
}

// "ranks 0-3", and a spawned job's after the first job's as the other
// reports name them: "rank 0, job 1 ranks 0-1". `procs` ascending.
std::string Ranks(const std::vector<Proc>& procs) {
  std::string text;
  for (size_t from = 0; from < procs.size();) {
    const int job = procs[from].first;
    std::vector<int> ranks;
    for (; from < procs.size() && procs[from].first == job; ++from) ranks.push_back(procs[from].second);
    if (!text.empty()) text += ", ";
    if (job > 0) text += "job " + std::to_string(job) + " ";
    text += (ranks.size() == 1 ? "rank " : "ranks ") + runloop::RankList(ranks);
  }
  return text;
}

std::string Joined(const std::vector<std::string>& frames) {
  std::string text;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i > 0) text += " > ";
    if (frames.size() > kStackLineFrames && i == 2) {
      text += "... > " + frames.back();
      break;
    }
    text += frames[i];
  }
  return text;
}

void Print(const Node* node, size_t depth, std::vector<std::string>* lines) {
  // A stretch without a branch: every rank goes on to the one next frame.
  std::vector<std::string> frames{node->frame};
  while (!node->endsHere && node->children.size() == 1) {
    node = node->children.front().get();
    frames.push_back(node->frame);
  }
  lines->push_back("tarvo: " + std::string(2 * depth, ' ') + Ranks(node->ranks) + ": " + Joined(frames) + "\n");
  for (const auto& c : node->children) Print(c.get(), depth + 1, lines);
}

}  // namespace

std::vector<std::string> StackReport(const std::vector<RankStack>& stacks) {
  Node root;
  std::map<std::string, std::vector<Proc>> unread;
  for (const RankStack& s : stacks) {
    const std::vector<std::string> path = s.why.empty() ? StackFromMain(s.frames) : std::vector<std::string>();
    if (path.empty()) {
      unread[s.why.empty() ? "no frames" : s.why].push_back({s.job, s.rank});
      continue;
    }
    Node* node = &root;
    for (const std::string& frame : path) {
      node = Child(node, frame);
      node->ranks.push_back({s.job, s.rank});
    }
    node->endsHere = true;
  }
  const int paths = Sort(&root);
  std::vector<std::string> lines;
  const size_t n = stacks.size();
  lines.push_back("tarvo: where the " + std::to_string(n) + (n == 1 ? " rank is (" : " ranks are (") +
                  std::to_string(paths) + (paths == 1 ? " call path):\n" : " call paths):\n"));
  for (const auto& c : root.children) Print(c.get(), 1, &lines);
  std::vector<std::pair<std::string, std::vector<Proc>>> groups(unread.begin(), unread.end());
  for (auto& g : groups) std::sort(g.second.begin(), g.second.end());
  std::stable_sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
    return a.second.size() != b.second.size() ? a.second.size() > b.second.size()
                                              : a.second.front() < b.second.front();
  });
  for (const auto& g : groups) lines.push_back("tarvo:   " + Ranks(g.second) + ": not read: " + g.first + "\n");
  return lines;
}
