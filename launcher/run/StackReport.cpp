#include "launcher/run/StackReport.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "launcher/run/ReportText.h"

namespace {

// A thread of a process: (job, rank, thread), the first job's ranks being
// job 0, a process's main thread thread 0.
using Proc = std::tuple<int, int, int>;

struct Node {
  std::string frame;
  std::vector<Proc> ranks;  // ascending once sorted
  std::vector<std::unique_ptr<Node>> children;
  std::vector<Proc> ending;  // the threads whose path ends at this frame
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
  std::sort(node->ending.begin(), node->ending.end());
  int paths = node->ending.empty() ? 0 : 1;
  for (auto& c : node->children) paths += Sort(c.get());
  std::sort(node->children.begin(), node->children.end(), MoreRanks);
  return paths;
}

// "ranks 0-3", a spawned job's after the first job's as the other reports
// name them ("rank 0, job 1 ranks 0-1"), and threads other than the main
// one by their number, counted from 1 as debuggers do ("ranks 0-1
// (thread 2)"). `procs` ascending.
std::string Ranks(const std::vector<Proc>& procs) {
  std::map<std::pair<int, int>, std::vector<int>> groups;  // (job, thread) -> ranks
  for (const Proc& p : procs) groups[{std::get<0>(p), std::get<2>(p)}].push_back(std::get<1>(p));
  std::string text;
  for (auto& g : groups) {
    std::vector<int>& ranks = g.second;
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    if (!text.empty()) text += ", ";
    if (g.first.first > 0) text += "job " + std::to_string(g.first.first) + " ";
    text += (ranks.size() == 1 ? "rank " : "ranks ") + runloop::RankList(ranks);
    if (g.first.second > 0) text += " (thread " + std::to_string(g.first.second + 1) + ")";
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
  while (node->ending.empty() && node->children.size() == 1) {
    node = node->children.front().get();
    frames.push_back(node->frame);
  }
  lines->push_back("tarvo: " + std::string(2 * depth, ' ') + Ranks(node->ranks) + ": " + Joined(frames) + "\n");
  // Where some ranks go on, those that stop here have a line of their own
  // beside the branches, so that every rank's path ends on its own line.
  std::vector<std::pair<const std::vector<Proc>*, std::string>> branches;
  if (!node->ending.empty() && !node->children.empty()) branches.emplace_back(&node->ending, "");
  for (const auto& c : node->children) branches.emplace_back(&c->ranks, "");
  std::stable_sort(branches.begin(), branches.end(), [](const auto& a, const auto& b) {
    return a.first->size() != b.first->size() ? a.first->size() > b.first->size() : a.first->front() < b.first->front();
  });
  for (const auto& b : branches) {
    if (b.first == &node->ending) {
      lines->push_back("tarvo: " + std::string(2 * (depth + 1), ' ') + Ranks(node->ending) + ": in " + node->frame +
                       "\n");
      continue;
    }
    for (const auto& c : node->children) {
      if (&c->ranks == b.first) Print(c.get(), depth + 1, lines);
    }
  }
}

// The tree of every path read, and the threads not read grouped by why.
struct Tree {
  Node root;
  int paths = 0;
  std::vector<std::pair<std::string, std::vector<Proc>>> unread;
};

void Build(const std::vector<RankStack>& stacks, Tree* tree) {
  std::map<std::string, std::vector<Proc>> unread;
  for (const RankStack& s : stacks) {
    const std::vector<std::string> path = s.why.empty() ? StackFromMain(s.frames) : std::vector<std::string>();
    const Proc proc{s.job, s.rank, s.thread};
    if (path.empty()) {
      unread[s.why.empty() ? "no frames" : s.why].push_back(proc);
      continue;
    }
    Node* node = &tree->root;
    for (const std::string& frame : path) {
      node = Child(node, frame);
      node->ranks.push_back(proc);
    }
    node->ending.push_back(proc);
  }
  tree->paths = Sort(&tree->root);
  tree->unread.assign(unread.begin(), unread.end());
  for (auto& g : tree->unread) std::sort(g.second.begin(), g.second.end());
  std::stable_sort(tree->unread.begin(), tree->unread.end(), [](const auto& a, const auto& b) {
    return a.second.size() != b.second.size() ? a.second.size() > b.second.size()
                                              : a.second.front() < b.second.front();
  });
}

// A text as a quoted string of the DOT language.
std::string Quoted(const std::string& text) {
  std::string q = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') q += '\\';
    if (c == '\n') {
      q += "\\n";
      continue;
    }
    q += c;
  }
  return q + "\"";
}

void Graph(const Node* node, const std::string& parent, int* next, std::string* out) {
  for (const auto& c : node->children) {
    const std::string id = "n" + std::to_string((*next)++);
    *out += "  " + id + " [label=" + Quoted(c->frame + "\n" + Ranks(c->ranks) + "\n" + std::to_string(c->ranks.size())) +
            "];\n";
    *out += "  " + parent + " -> " + id + ";\n";
    Graph(c.get(), id, next, out);
  }
}

size_t Processes(const std::vector<RankStack>& stacks) {
  std::set<std::pair<int, int>> procs;
  for (const RankStack& s : stacks) procs.insert({s.job, s.rank});
  return procs.size();
}

}  // namespace

std::vector<std::string> StackReport(const std::vector<RankStack>& stacks, bool sampledTwice) {
  Tree tree;
  Build(stacks, &tree);
  std::vector<std::string> lines;
  const size_t n = Processes(stacks);
  const int paths = tree.paths;
  lines.push_back("tarvo: where the " + std::to_string(n) + (n == 1 ? " rank is (" : " ranks are (") +
                  std::to_string(paths) + (paths == 1 ? " call path):\n" : " call paths):\n"));
  for (const auto& c : tree.root.children) Print(c.get(), 1, &lines);
  for (const auto& g : tree.unread) lines.push_back("tarvo:   " + Ranks(g.second) + ": not read: " + g.first + "\n");
  if (sampledTwice && paths > 0) {
    std::vector<Proc> moved;
    for (const RankStack& s : stacks) {
      if (s.moved) moved.emplace_back(s.job, s.rank, 0);
    }
    std::sort(moved.begin(), moved.end());
    moved.erase(std::unique(moved.begin(), moved.end()), moved.end());
    lines.push_back("tarvo:   moving between the two samples: " + (moved.empty() ? std::string("none") : Ranks(moved)) +
                    "\n");
  }
  return lines;
}

std::string StackGraph(const std::vector<RankStack>& stacks) {
  Tree tree;
  Build(stacks, &tree);
  const size_t n = Processes(stacks);
  std::string out = "digraph stacks {\n  node [shape=box];\n";
  out += "  root [label=" + Quoted(std::to_string(n) + (n == 1 ? " rank" : " ranks")) + "];\n";
  int next = 0;
  Graph(&tree.root, "root", &next, &out);
  for (const auto& g : tree.unread) {
    const std::string id = "n" + std::to_string(next++);
    out += "  " + id + " [style=dashed, label=" +
           Quoted("not read: " + g.first + "\n" + Ranks(g.second) + "\n" + std::to_string(g.second.size())) + "];\n";
    out += "  root -> " + id + " [style=dashed];\n";
  }
  return out + "}\n";
}
