// The agent's reader of the launcher's connection, for any byte stream.
//
// Input: the stream, cut into pieces of the first byte's size. Every order
// taken is one the agent can carry out: a rank has its program and the
// eight launcher parameters naming that rank, known flags only; a rank's place has a known
// binding, a host and file names of a vector element at most; the question
// of the host's topology a known level; a window size what a terminal
// holds; a signal is
// a signal; every environment entry has a name; a PMI job has distinct
// ranks within its size, fence puts have keys.
#include <csignal>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "common/agent_wire.h"
#include "common/carrier_params.h"
#include "common/rank_place.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] == 0 ? 1 : data[0];
  AgentFrameReader reader(false);
  for (size_t at = 1; at < size; at += piece) {
    std::vector<AgentMessage> messages;
    const bool framed = reader.Feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at), &messages);
    for (const AgentMessage& m : messages) {
      AgentOrder order;
      if (!AgentReadOrder(m, &order)) return 0;  // the agent ends
      switch (order.kind) {
        case AgentOrder::kRank:
          FUZZ_CHECK(order.strings.size() >= 9 && order.rank >= 0);
          FUZZ_CHECK(order.strings[order.strings.size() - TARVO_PARAMS + TARVO_PARAM_RANK] == std::to_string(order.rank));
          FUZZ_CHECK((order.flags & ~(kAgentRankStdin | kAgentRankLabel | kAgentRankOwnSession | kAgentRankStdinCopy |
                                      kAgentRankPty)) == 0);
          break;
        case AgentOrder::kSignal:
          FUZZ_CHECK(order.sig > 0 && order.sig < NSIG);
          break;
        case AgentOrder::kEnv:
          for (const std::string& e : order.strings) FUZZ_CHECK(e.find('=') != std::string::npos && e[0] != '=');
          break;
        case AgentOrder::kAllSent:
        case AgentOrder::kFenceDone:
        case AgentOrder::kPmixDone:
        case AgentOrder::kPmixFailed:
          FUZZ_CHECK(m.payload.empty());
          break;
        case AgentOrder::kStacksAsk:  // one sample or two
          FUZZ_CHECK(m.payload.size() == sizeof(int32_t) && (order.samples == 1 || order.samples == 2));
          break;
        case AgentOrder::kPmixSet:
          for (int r : order.pmixRanks) FUZZ_CHECK(r >= -1);
          break;
        case AgentOrder::kPmixServe:
        case AgentOrder::kPmixFetched:
          FUZZ_CHECK(m.payload.size() >= sizeof(AgentPmixModex) && order.bytes == m.payload.substr(sizeof(AgentPmixModex)));
          break;
        case AgentOrder::kPmixPart:
        case AgentOrder::kNamesAnswer:  // read by pmi::DecodeNameAnswer, which checks it
          FUZZ_CHECK(order.bytes == m.payload);
          break;
        case AgentOrder::kConnected:
          FUZZ_CHECK(m.payload.size() == sizeof(AgentConnected));
          break;
        case AgentOrder::kSpawnRank:
          // A spawned job's process: a rank's words, its own variables.
          FUZZ_CHECK(order.job > 0 && order.strings.size() >= 9 && order.rank >= 0);
          FUZZ_CHECK(order.strings[order.strings.size() - TARVO_PARAMS + TARVO_PARAM_RANK] == std::to_string(order.rank));
          FUZZ_CHECK((order.flags & ~(kAgentRankLabel | kAgentRankPty)) == 0);
          for (const std::string& e : order.env) FUZZ_CHECK(e.find('=') != std::string::npos && e[0] != '=');
          break;
        case AgentOrder::kJobGo:
          FUZZ_CHECK(order.job > 0 && m.payload.size() == sizeof(AgentJobRank));
          break;
        case AgentOrder::kSpawned:
        case AgentOrder::kPmixNspace:
          // One namespace (an empty one refuses a spawn, perhaps with why;
          // never a fence's).
          FUZZ_CHECK(order.strings.size() == 1 || (order.kind == AgentOrder::kSpawned && order.strings.size() == 2 &&
                                                   order.strings[0].empty()));
          FUZZ_CHECK(order.strings[0].size() <= 255);
          FUZZ_CHECK(order.kind == AgentOrder::kSpawned || !order.strings[0].empty());
          break;
        case AgentOrder::kPmi1Barrier:
          FUZZ_CHECK(order.job > 0 && m.payload.size() == sizeof(int32_t));
          break;
        case AgentOrder::kPmi1Job:
          // An MPICH rank's job: a kvsname, this node, a host per process,
          // preput keys that are not empty.
          FUZZ_CHECK(order.job > 0 && order.size > 0 && order.appnums.size() == static_cast<size_t>(order.size));
          FUZZ_CHECK(order.strings.size() == order.appnums.size() + 2 && order.strings[0].size() <= 255);
          for (const std::string& text : order.strings) FUZZ_CHECK(!text.empty());
          for (const auto& kv : order.puts) FUZZ_CHECK(!kv.first.empty());
          break;
        case AgentOrder::kSpawnJob:
        case AgentOrder::kPmixJob:
          // A job for the PMIx host: an appnum and a host for every rank,
          // a namespace and this node's name, none of them empty.
          FUZZ_CHECK(order.kind == AgentOrder::kPmixJob || order.job > 0);
          FUZZ_CHECK(order.universeSize >= 0);
          FUZZ_CHECK(order.size > 0 && order.appnums.size() == static_cast<size_t>(order.size));
          FUZZ_CHECK(order.strings.size() == order.appnums.size() + 2 && order.strings[0].size() <= 255);
          for (int appnum : order.appnums) FUZZ_CHECK(appnum >= 0);
          for (const std::string& text : order.strings) FUZZ_CHECK(!text.empty());
          break;
        case AgentOrder::kFencePuts:
          for (const auto& kv : order.puts) FUZZ_CHECK(!kv.first.empty());
          break;
        case AgentOrder::kWindow:  // what a terminal's size holds
          FUZZ_CHECK(m.payload.size() == sizeof(AgentWindow));
          for (int32_t v : {order.window.rows, order.window.cols, order.window.xpixel, order.window.ypixel}) {
            FUZZ_CHECK(v >= 0 && v <= 65535);
          }
          break;
        case AgentOrder::kTopologyAsk:  // a level that the agent knows
          FUZZ_CHECK(m.payload.size() == sizeof(AgentTopologyAsk) && order.bind >= 0 && order.bind <= kBindLast);
          break;
        case AgentOrder::kPlace:
          FUZZ_CHECK(order.rank >= 0 && order.bind >= 0 && order.bind <= kBindLast && order.strings.size() == 3);
          FUZZ_CHECK(!order.strings[0].empty() && (order.flags & ~(kAgentPlaceReport | kAgentPlaceThreads)) == 0);
          for (const std::string& s : order.strings) FUZZ_CHECK(s.size() <= 127);
          break;
        case AgentOrder::kJob: {
          // A job the agent's PMI-1 server can serve: distinct ranks of the
          // job, a kvsname as the protocol names one.
          FUZZ_CHECK(order.size > 0 && order.universeSize >= order.size && order.strings.size() == 2);
          FUZZ_CHECK(!order.strings[0].empty() && order.strings[0].size() <= 256);
          std::set<int> ranks;
          for (const AgentJobClient& c : order.clients) {
            FUZZ_CHECK(c.rank >= 0 && c.rank < order.size && c.appnum >= 0 && ranks.insert(c.rank).second);
          }
          break;
        }
      }
    }
    if (!framed) return 0;
  }
  return 0;
}
