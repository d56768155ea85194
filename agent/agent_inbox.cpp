#include "agent/agent_inbox.h"

#include <signal.h>

#include <cstring>

#include "common/carrier_params.h"
#include "common/protocol.h"

namespace {

// carrier's vector: the program, its arguments, then the parameters.
const size_t kParams = TARVO_PARAMS;
// The most that the launcher sends: the words of a program-file line and
// the parameters.
const size_t kMaxWords = kMaxProgramWords + kParams;

}  // namespace

bool AgentReadOrder(const AgentMessage& m, AgentOrder* order) {
  *order = AgentOrder();
  switch (m.type) {
    case kAgentEnv:
      order->kind = AgentOrder::kEnv;
      if (!AgentSplitStrings(m.payload.data(), m.payload.size(), &order->strings)) return false;
      for (const std::string& s : order->strings) {
        const size_t eq = s.find('=');
        if (eq == 0 || eq == std::string::npos) return false;
      }
      return true;
    case kAgentRank: {
      order->kind = AgentOrder::kRank;
      AgentRankHead head;
      if (m.payload.size() < sizeof head) return false;
      memcpy(&head, m.payload.data(), sizeof head);
      if (!AgentSplitStrings(m.payload.data() + sizeof head, m.payload.size() - sizeof head, &order->strings)) {
        return false;
      }
      const size_t n = order->strings.size();
      if (head.rank < 0 || head.words < 0 || static_cast<size_t>(head.words) != n || n < kParams + 1 ||
          n > kMaxWords || (head.flags & ~(kAgentRankStdin | kAgentRankLabel)) != 0) {
        return false;
      }
      if (order->strings[n - kParams + TARVO_PARAM_RANK] != std::to_string(head.rank)) return false;
      order->rank = head.rank;
      order->flags = head.flags;
      return true;
    }
    case kAgentSignal: {
      order->kind = AgentOrder::kSignal;
      AgentSignal s;
      if (m.payload.size() != sizeof s) return false;
      memcpy(&s, m.payload.data(), sizeof s);
      if (s.sig <= 0 || s.sig >= NSIG) return false;
      order->sig = s.sig;
      return true;
    }
    case kAgentAllSent:
      order->kind = AgentOrder::kAllSent;
      return m.payload.empty();
    default:
      return false;
  }
}
