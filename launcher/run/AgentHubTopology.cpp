// The hub's wait for the agents' topologies: before any rank goes out,
// every agent is asked its host's topology, and once all have told, the
// judge's verdict sends every agent its ranks or refuses the run.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "launcher/run/AgentHub.h"

void AgentHub::AwaitTopologies(int bind, bool gpus, TopologyJudge judge) {
  const AgentTopologyAsk ask{bind, gpus ? 1 : 0};
  ask_ = AgentEncode(kAgentTopologyAsk, &ask, sizeof ask);
  judge_ = std::move(judge);
}

// An agent's answer; once every agent has answered, the judge's verdict:
// the ranks go out, or none does.
void AgentHub::TakeTopology(const AgentEvent& e, std::vector<AgentEvent>* out) {
  Agent& told = agents_[static_cast<size_t>(e.agent)];
  if (!Holding() || told.answered) return;  // only the answer to the question counts
  told.answered = true;
  told.told.told = e.why.empty();
  told.told.topology = e.topology;
  told.told.why = e.why;
  for (const Agent& a : agents_) {
    if (!a.answered) return;
  }
  const TopologyJudge judge = std::move(judge_);
  judge_ = nullptr;
  std::vector<AgentHostTopology> answers;
  for (Agent& a : agents_) answers.push_back(std::move(a.told));
  const std::string refusal = judge(answers);
  if (!refusal.empty()) {
    AgentEvent r;
    r.kind = AgentEvent::kRefused;
    r.why = refusal;
    out->push_back(r);
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    Agent& a = agents_[i];
    if (!refusal.empty()) {
      // Nothing is sent: the agent ends at "all sent", none of its ranks started.
      a.outbox.clear();
      links_[i].live = 0;
    }
    if (a.conn < 0) continue;
    Queue(static_cast<size_t>(a.conn), std::make_shared<const std::string>(a.outbox + AgentEncode(kAgentAllSent, nullptr, 0)),
          now_);
    a.outbox.clear();
    a.outbox.shrink_to_fit();
    (void)Flush(static_cast<size_t>(a.conn), now_);  // a failed write closes it at the next Tick
  }
}
