// The launcher's reader of an agent's connection, for any byte stream.
//
// Input: one byte that cuts the stream into pieces of that many bytes (as
// the receives may deliver it), then the stream. Agent 1 of three hosts
// ranks 1, 4 and 7; the secret is fixed. Whatever arrives: no report before
// a hello with the secret, reports only for the connection's own ranks, a
// rank ends at most once, and the count of live ranks always matches; PMI
// fence puts are whole pairs, aborts and waiting ranks the agent's own, a
// host's topology has units unless it says why not. It
// also holds process 0 of spawned job 1, reported by job.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/agent_wire.h"
#include "fuzz/fuzz_util.h"
#include "launcher/run/AgentHub.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kSecret = "0123456789abcdef0123456789abcdef";
  if (size == 0) return 0;
  const size_t piece = data[0] == 0 ? 1 : data[0];
  std::vector<AgentLinkState> agents(3);
  agents[1].ranks = {1, 4, 7};
  agents[1].ended = {0, 0, 0};
  agents[1].children = {{1, 0}};
  agents[1].given = {{1, 0}};
  agents[1].live = 4;
  AgentFrameReader reader(true);
  int self = -1;
  std::vector<AgentEvent> events;
  for (size_t at = 1; at < size; at += piece) {
    std::vector<AgentMessage> messages;
    const bool framed = reader.Feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at), &messages);
    bool open = true;
    for (const AgentMessage& m : messages) {
      FUZZ_CHECK(m.payload.size() <= static_cast<size_t>(kAgentMaxPayload));
      const int before = self;
      const size_t had = events.size();
      if (!AgentTakeMessage(m, kSecret, &agents, &self, &events)) {
        open = false;
        break;
      }
      if (before < 0) {
        FUZZ_CHECK(m.type == kAgentHello && memcmp(m.payload.data(), kSecret.data(), kSecret.size()) == 0);
        FUZZ_CHECK(self >= 0 && self < 3);
      }
      FUZZ_CHECK(events.size() == had + 1);
      const AgentEvent& e = events.back();
      auto own = [](int rank) { return rank == 1 || rank == 4 || rank == 7; };
      auto ours = [&](const AgentEvent& x) { return self == 1 && (x.job == 0 ? own(x.rank) : x.job == 1 && x.rank == 0); };
      if (e.kind == AgentEvent::kStarted || e.kind == AgentEvent::kEnded) {
        FUZZ_CHECK(ours(e) && e.pid > 0);
      }
      // The PMI fence: puts that are key, value pairs with a key; waiting
      // and aborting ranks only of this agent.
      if (e.kind == AgentEvent::kAbort || e.kind == AgentEvent::kUnfinalized || e.kind == AgentEvent::kBroke) {
        FUZZ_CHECK(ours(e) && (e.kind != AgentEvent::kBroke || e.job == 0));
      }
      if (e.kind == AgentEvent::kJobReady || e.kind == AgentEvent::kPmi1Barrier) FUZZ_CHECK(e.job > 0);
      if (e.kind == AgentEvent::kPmixNspace) FUZZ_CHECK(!e.why.empty());
      if (e.kind == AgentEvent::kWaiting) {
        for (int rank : e.ranks) FUZZ_CHECK(self == 1 && own(rank));
      }
      // Call stacks: ranks of this agent only, each once, bounded.
      if (e.kind == AgentEvent::kStacks) {
        std::vector<std::pair<int, int>> seen;
        for (const RankStack& s : e.stacks) {
          FUZZ_CHECK(self == 1 && (s.job == 0 ? own(s.rank) : s.job == 1 && s.rank == 0));
          FUZZ_CHECK(std::count(seen.begin(), seen.end(), std::make_pair(s.job, s.rank)) == 0);
          FUZZ_CHECK(s.frames.size() <= static_cast<size_t>(kStackMaxFrames));
          for (const std::string& f : s.frames) FUZZ_CHECK(f.size() <= sizeof(StackFrameName::name));
          seen.emplace_back(s.job, s.rank);
        }
      }
      // A host's topology: units when told, nothing with why it is not.
      if (e.kind == AgentEvent::kTopology) FUZZ_CHECK(e.why.empty() != e.topology.units.empty());
      if (e.kind == AgentEvent::kFencePuts) {
        std::map<std::string, std::string> puts;
        FUZZ_CHECK(AgentTakeFencePuts(e.payload, &puts));
        for (const auto& kv : puts) FUZZ_CHECK(!kv.first.empty());
      }
    }
    int ended = 0;
    for (char k : agents[1].ended) ended += k;
    FUZZ_CHECK(agents[1].live == 3 - ended + static_cast<int>(agents[1].children.size()));
    if (!open || !framed) break;  // the connection ends
  }
  return 0;
}
