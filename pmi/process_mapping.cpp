#include "pmi/process_mapping.h"

#include <cstddef>
#include <unordered_map>

namespace pmi {
namespace {

struct Tuple {
  int firstNode;
  int nodeCount;
  std::size_t ranksPerNode;
};

// The tuples that spell node[0 .. length) exactly: runs of one node, and
// runs of equal length on consecutive nodes merged into one tuple.
std::vector<Tuple> Spell(const std::vector<int>& node, std::size_t length) {
  std::vector<Tuple> tuples;
  std::size_t at = 0;
  while (at < length) {
    std::size_t end = at;
    while (end < length && node[end] == node[at]) ++end;
    const std::size_t run = end - at;
    Tuple* last = tuples.empty() ? nullptr : &tuples.back();
    if (last != nullptr && last->ranksPerNode == run && last->firstNode + last->nodeCount == node[at])
      ++last->nodeCount;
    else
      tuples.push_back(Tuple{node[at], 1, run});
    at = end;
  }
  return tuples;
}

// The length of the shortest prefix whose repetition gives the whole
// sequence (the sequence's shortest period, from its longest border).
std::size_t ShortestPeriod(const std::vector<int>& node) {
  const std::size_t n = node.size();
  std::vector<std::size_t> border(n, 0);  // border[i]: longest proper border of node[0 .. i]
  for (std::size_t i = 1; i < n; ++i) {
    std::size_t k = border[i - 1];
    while (k > 0 && node[i] != node[k]) k = border[k - 1];
    if (node[i] == node[k]) ++k;
    border[i] = k;
  }
  return n - border[n - 1];
}

}  // namespace

std::string ProcessMapping(const std::vector<std::string>& hostOfRank) {
  if (hostOfRank.empty()) return std::string();
  std::unordered_map<std::string, int> number;
  std::vector<int> node;
  node.reserve(hostOfRank.size());
  for (const std::string& host : hostOfRank) {
    const auto it = number.emplace(host, static_cast<int>(number.size())).first;
    node.push_back(it->second);
  }
  std::vector<Tuple> tuples = Spell(node, node.size());
  const std::vector<Tuple> periodic = Spell(node, ShortestPeriod(node));
  if (periodic.size() < tuples.size()) tuples = periodic;
  std::string out = "(vector";
  for (const Tuple& t : tuples)
    out += ",(" + std::to_string(t.firstNode) + "," + std::to_string(t.nodeCount) + "," +
           std::to_string(t.ranksPerNode) + ")";
  out += ")";
  return out;
}

}  // namespace pmi
