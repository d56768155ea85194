#include "launcher/mpi/PmixConnects.h"

#include <algorithm>

#include "common/agent_wire.h"
#include "pmi/spawn_wire.h"

void PmixConnects::AgentConnect(int agent, const std::string& payload) {
  int32_t ticket = 0;
  bool disconnect = false;
  pmi::PmixCallbacks::Procs procs;
  if (!pmi::DecodeConnect(payload, &ticket, &disconnect, &procs)) return;
  Connect(agent, static_cast<uint32_t>(ticket), procs, disconnect);
}

void PmixConnects::Answer(int node, uint64_t ticket, bool done) {
  if (node < 0) {
    if (node_.Relay() != nullptr) node_.Relay()->AnswerConnect(ticket, done);
    return;
  }
  AgentConnected c{static_cast<int32_t>(ticket), done ? 1 : 0};
  toAgents_->emplace_back(node, AgentEncode(kAgentConnected, &c, sizeof c));
}

void PmixConnects::Connect(int node, uint64_t ticket, const pmi::PmixCallbacks::Procs& procs, bool disconnect) {
  const std::string& first = node_.Job().nspace;
  std::vector<std::pair<std::string, int>> sorted;
  for (const auto& p : procs) sorted.emplace_back(p.first == first ? std::string() : p.first, p.second);
  std::sort(sorted.begin(), sorted.end());
  std::string key = disconnect ? "d" : "c";
  std::set<int> need;
  bool ok = !sorted.empty();
  for (const auto& p : sorted) {
    key += " " + p.first + ":" + std::to_string(p.second);
    if (p.second < 0) {
      const std::vector<int>* holders = node_.Holders(p.first);
      if (holders == nullptr) ok = false;
      else need.insert(holders->begin(), holders->end());
      continue;
    }
    const int holder = node_.Holder(p.first, p.second);
    if (holder < -1) ok = false;
    else need.insert(holder);
  }
  if (!ok || need.count(node) == 0) {
    Answer(node, ticket, false);
    return;
  }
  Connecting& c = connects_[key];
  c.need = need;
  c.in[node].push_back(ticket);
  for (int n : c.need) {
    if (c.in.count(n) == 0) return;
  }
  for (const auto& in : c.in) {
    for (uint64_t t : in.second) Answer(in.first, t, true);
  }
  connects_.erase(key);
}
