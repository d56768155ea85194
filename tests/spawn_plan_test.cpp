// PlanSpawn: what a rank's MPI_Comm_spawn becomes, or why it is refused.
#include <gtest/gtest.h>

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
// the keys or, without them, after the slots in use, wrapping around.
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
  } cases[] = {
      {{3, 1, 0}, App("p", 4), "", {"b", "b", "c", "a"}},
      {{3, 3, 1}, App("p", 4), "", {"a", "b", "c", "a"}},
      {{0, 0, 0}, App("p", 2, {"c"}), "", {"c", "c"}},
      {{0, 0, 0}, App("p", 3, {"c", "b"}), "", {"b", "b", "b"}},
      {{0, 0, 0}, App("p", 1, {"d"}), "host d is not a host of this run", {}},
  };
  for (const auto& c : cases) {
    rules.used = c.used;
    pmi::PmixSpawnRequest r;
    r.apps = {c.app};
    std::vector<SpawnChild> children;
    EXPECT_EQ(PlanSpawn(r, rules, {}, &children), c.refusal);
    std::vector<std::string> hosts;
    for (const SpawnChild& child : children) hosts.push_back(child.host);
    EXPECT_EQ(hosts, c.hosts) << c.refusal;
  }
}

}  // namespace
