// PlanSpawn: what a rank's MPI_Comm_spawn becomes, or why it is refused;
// the launch modes' planners: what a run becomes.
#include <gtest/gtest.h>

#include "launcher/spawn/Planners.h"
#include "launcher/spawn/SpawnPlan.h"

namespace {

using spawn::PlanSpawn;
using spawn::SpawnChild;
using spawn::SpawnRules;

pmi::PmixSpawnApp App(const std::string& command, int count, std::vector<std::string> hosts = {}) {
  pmi::PmixSpawnApp a;
  a.command = command;
  a.argv = {command, "x"};
  a.count = count;
  a.hosts = std::move(hosts);
  a.env = {"OMPI_PARENT_PORT=p"};
  return a;
}

TEST(PlanSpawn, NumbersTheChildrenOrRefusesOnOneLine) {
  SpawnRules rules;
  rules.running = 1990;
  rules.limit = 2000;
  rules.thisHost = "vm";
  rules.runnable = [](const std::string& program, const std::string&) { return program != "gone"; };
  const struct {
    std::vector<pmi::PmixSpawnApp> apps;
    std::vector<std::vector<std::string>> hostfiles;
    std::string refusal;
    std::vector<int> appnums;  // of the children, in rank order
  } cases[] = {
      {{App("a", 2), App("b", 1, {"localhost", "vm"})}, {}, "", {0, 0, 1}},
      {{App("a", 1)}, {{"127.0.0.1"}}, "", {0}},
      {{App("a", 0)}, {}, "maxprocs 0 for a", {}},
      {{App("gone", 1)}, {}, "no such program: gone", {}},
      {{App("a", 1, {"other"})}, {}, "host other is not this run's host vm", {}},
      {{App("a", 1)}, {{"other"}}, "host other is not this run's host vm", {}},
      {{App("a", 10)}, {}, "", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {{App("a", 10), App("b", 1)}, {}, "the run would hold more than 2000 processes", {}},
      {{}, {}, "no program to start", {}},
  };
  for (const auto& c : cases) {
    pmi::PmixSpawnRequest r;
    r.apps = c.apps;
    std::vector<SpawnChild> children;
    EXPECT_EQ(PlanSpawn(r, rules, c.hostfiles, &children), c.refusal);
    ASSERT_EQ(children.size(), c.appnums.size()) << c.refusal;
    for (size_t i = 0; i < children.size(); ++i) {
      EXPECT_EQ(children[i].rank, static_cast<int>(i));
      EXPECT_EQ(children[i].appnum, c.appnums[i]);
      EXPECT_EQ(children[i].words, (std::vector<std::string>{c.appnums[i] == 0 ? "a" : "b", "x"}));
      EXPECT_EQ(children[i].env, std::vector<std::string>{"OMPI_PARENT_PORT=p"});
      EXPECT_EQ(children[i].host, "vm");
    }
  }
}

// Host mode: the machine file's hosts and slots, the children placed by
// the keys or, without them, after the slots in use, wrapping around (with
// TARVO_PPN, as the first job's ranks are).
TEST(PlanSpawn, PlacesChildrenOnTheRunsHostsBySlots) {
  const std::vector<spawn::HostSlots> slots = spawn::ReadMachineSlots("a:2\nb slots=3 # c\nc\na\n");
  ASSERT_EQ(slots.size(), 3u);
  EXPECT_EQ(slots[0].slots, 3);  // a:2, then a again
  EXPECT_EQ(slots[1].slots, 3);
  EXPECT_EQ(slots[2].slots, 1);
  EXPECT_EQ(spawn::UniverseSize(slots, 4), 7);
  EXPECT_EQ(spawn::UniverseSize(slots, 9), 9);
  EXPECT_EQ(spawn::SlurmSlots("2(x3),1"), 7);
  EXPECT_EQ(spawn::SlurmSlots("2(x"), 0);
  SpawnRules rules;
  rules.limit = 2000;
  rules.hosts = slots;
  const struct {
    std::vector<int> used;  // of a, b, c
    pmi::PmixSpawnApp app;
    std::string refusal;
    std::vector<std::string> hosts;
    int ppn = 0;  // TARVO_PPN: without keys, consecutive ranks per host, wrapping
  } cases[] = {
      {{3, 1, 0}, App("p", 4), "", {"b", "b", "c", "a"}},
      {{3, 3, 1}, App("p", 4), "", {"a", "b", "c", "a"}},
      {{0, 0, 0}, App("p", 2, {"c"}), "", {"c", "c"}},
      {{0, 0, 0}, App("p", 3, {"c", "b"}), "", {"b", "b", "b"}},
      {{0, 0, 0}, App("p", 1, {"d"}), "host d is not a host of this run", {}},
      {{3, 1, 0}, App("p", 7), "", {"a", "a", "b", "b", "c", "c", "a"}, 2},
      {{0, 0, 0}, App("p", 2, {"c"}), "", {"c", "c"}, 2},
  };
  for (const auto& c : cases) {
    rules.used = c.used;
    rules.ppn = c.ppn;
    pmi::PmixSpawnRequest r;
    r.apps = {c.app};
    std::vector<SpawnChild> children;
    EXPECT_EQ(PlanSpawn(r, rules, {}, &children), c.refusal);
    std::vector<std::string> hosts;
    for (const SpawnChild& child : children) hosts.push_back(child.host);
    EXPECT_EQ(hosts, c.hosts) << c.refusal;
  }
}

// Each launch mode's planner on one small run: which ranks get an agent,
// where every process goes, and the first words of what starts it.
TEST(Planners, EachModeTurnsARunIntoItsLaunches) {
  using Words = std::vector<std::string>;
  spawn::LauncherParams params;
  params.address = "127.0.0.1";
  params.count = 3;
  params.workdir = "/w";
  const int lines[3] = {1, 2, 3};
  spawn::RankForm form;
  form.ssh = true;
  form.rsh = {"ssh", "-p", "2222"};
  form.lines = lines;
  form.closeFds = {7, -1, 9};
  const Words hosts = {"a", "me", "a"};
  const std::vector<bool> remote = {true, true, true};
  auto own = [](const std::string& h) { return h == "me"; };
  const struct {
    const char* mode;
    Words slurmNodes;
    int ppn;
    Words hosts;
    std::vector<int> agentOf;
    Words agentHosts;
  } cases[] = {
      {"host", {}, 0, {"a", "me", "a"}, {0, -1, 0}, {"a"}},
      {"slurm", {"n1", "n2"}, 0, {"n1", "n2", "n1"}, {0, 1, 0}, {"n1", "n2"}},
      {"slurm, more nodes than ranks", {"n1", "n2", "n3", "n4"}, 0, {"n1", "n2", "n3"}, {0, 1, 2}, {"n1", "n2", "n3"}},
      {"slurm, 2 per node", {"n1", "n2", "n3"}, 2, {"n1", "n1", "n2"}, {0, 0, 1}, {"n1", "n2"}},
      {"slurm, 1 per node, wrapping", {"n1", "n2"}, 1, {"n1", "n2", "n1"}, {0, 1, 0}, {"n1", "n2"}},
  };
  for (const auto& c : cases) {
    const spawn::AgentLayout layout = spawn::PlanAgents(remote, hosts, c.slurmNodes, own, c.ppn);
    EXPECT_EQ(layout.hosts, c.hosts) << c.mode;
    EXPECT_EQ(layout.agentOf, c.agentOf) << c.mode;
    EXPECT_EQ(layout.agentHosts, c.agentHosts) << c.mode;
  }

  // Per-rank remote shells: TARVO_RSH's words, the rank's PMI_ID, the far
  // side's words quoted; a local rank is carrier, untouched.
  std::vector<spawn::ExecPlan> plans = {spawn::PlanRank(true, "a", {"/p", "x y"}, params, 0, form),
                                        spawn::PlanRank(false, "me", {"/p", "x y"}, params, 1, form)};
  spawn::PlanRankShells(plans, {"7", ""});
  EXPECT_EQ(Words(plans[0].vector.begin(), plans[0].vector.begin() + 9),
            (Words{"ssh", "-p", "2222", "a", "env", "PMI_ID=7", "carrier", "/p", "'x y'"}));
  EXPECT_EQ(plans[0].errorAt, "Error at 2 Control");
  EXPECT_EQ(Words(plans[1].vector.begin(), plans[1].vector.begin() + 3), (Words{"carrier", "/p", "x y"}));
  EXPECT_EQ(plans[1].file, "carrier");
  EXPECT_EQ(std::vector<int>(plans[1].closeFds, plans[1].closeFds + plans[1].closeCount), (std::vector<int>{7, 9}));

  // Quoting makes a quote four characters: 256 arguments of 127 quotes fit
  // the one argument that the far side's shell takes, 257 do not.
  Words quotes(1 + 256, std::string(127, '\''));
  quotes[0] = "/p";
  std::vector<spawn::ExecPlan> big = {spawn::PlanRank(true, "a", quotes, params, 0, form)};
  EXPECT_EQ(spawn::PlanRankShells(big, {"7"}), "");
  quotes.push_back(quotes[1]);
  big = {spawn::PlanRank(true, "a", quotes, params, 0, form)};
  EXPECT_EQ(spawn::PlanRankShells(big, {"7"}),
            "ERROR-Control Process: the remote command of rank 0 is longer than 131071 characters, the most that the "
            "far side's shell takes\n");

  // Host mode's agent shell and Slurm's step.
  EXPECT_EQ(spawn::PlanAgentShell(plans[0], "a", "127.0.0.1", 5000, 0).vector,
            (Words{"ssh", "-p", "2222", "a", "tarvo-agent", "127.0.0.1", "5000", "0"}));
  const spawn::ExecPlan step = spawn::PlanSlurmStep(plans[1], 2, "127.0.0.1", 5000);
  EXPECT_TRUE(step.remote);
  EXPECT_EQ(step.vector, (Words{"srun", "--nodes=2", "--ntasks=2", "--ntasks-per-node=1", "--kill-on-bad-exit=1",
                                "tarvo-agent", "127.0.0.1", "5000", "-"}));
}

}  // namespace
