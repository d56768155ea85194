// The map of ranks onto hosts, CPUs and GPUs (common/rank_map.h): the pure
// functions on topologies made here, and on the two-socket GPU node of
// tests/topologies as the agent reads it through hwloc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/rank_map.h"
#include "common/rank_place.h"
#include "tests/run_util.h"

namespace {

cpu_set_t Cpus(const char* list) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (*list != '\0') {
    EXPECT_TRUE(CpuListRead(list, &set)) << list;
  }
  return set;
}

// A node of `units` units of two CPUs each, and GPUs beside the CPUs named.
HostTopology Node(int units, const std::vector<std::pair<int, const char*>>& gpus) {
  HostTopology t;
  for (int u = 0; u < units; ++u) t.units.push_back(Cpus((std::to_string(2 * u) + "-" + std::to_string(2 * u + 1)).c_str()));
  for (const auto& g : gpus) {
    GpuUnit unit;
    unit.kind = "cuda";
    unit.index = g.first;
    unit.near = Cpus(g.second);
    t.gpus.push_back(unit);
  }
  return t;
}

std::string Describe(const HostTopology& t, const HostMap& map) {
  std::string text;
  for (const RankSlot& slot : map.slots) {
    text += CpuListText(slot.cpus);
    if (!slot.gpus.empty()) text += "/" + GpuListText(t, slot);
    text += " ";
  }
  return text + (map.cpusWrap ? "wrap " : "") + (map.gpusShared ? "shared" : "");
}

TEST(PlaceHost, GroupsUnitsAndGivesEachRankTheGpusBesideIt) {
  // Four units; GPU 0 beside the last two units, GPU 1 beside the first
  // two, GPU 2 beside nothing (hwloc's order is not the CPUs' order).
  const HostTopology gpuNode = Node(4, {{0, "4-7"}, {1, "0-3"}, {2, ""}});
  struct Case {
    const char* what;
    HostTopology topology;
    int count, cpus, gpus;
    bool bind;
    const char* want;
  } cases[] = {
      {"one unit each", Node(4, {}), 3, 1, 0, true, "0-1 2-3 4-5 "},
      {"two units each", Node(4, {}), 2, 2, 0, true, "0-3 4-7 "},
      {"more ranks than groups wrap", Node(4, {}), 3, 2, 0, true, "0-3 4-7 0-3 wrap "},
      {"more units than the host has", Node(2, {}), 2, 3, 0, true, "0-3 0-3 wrap "},
      {"unbound: no wrap said", Node(2, {}), 3, 1, 0, false, "0-1 2-3 0-1 "},
      {"a GPU beside each rank first", gpuNode, 2, 2, 1, true, "0-3/cuda1 4-7/cuda0 "},
      {"then the one beside nothing", gpuNode, 3, 1, 1, true, "0-1/cuda1 2-3/cuda2 4-5/cuda0 "},
      {"two each cannot all be distinct", gpuNode, 2, 2, 2, true, "0-3/cuda0,cuda1 4-7/cuda2,cuda0 shared"},
      {"more than the host has", gpuNode, 1, 1, 5, true, "0-1/cuda0,cuda1,cuda2 shared"},
      {"GPUs without binding keep their order", gpuNode, 2, 2, 1, false, "0-3/cuda1 4-7/cuda0 "},
      {"no units, no CPUs", HostTopology(), 2, 1, 0, true, "  "},
  };
  for (const Case& c : cases) {
    HostPlacing placing;
    placing.bind = c.bind;
    placing.cpusPerRank = c.cpus;
    placing.gpusPerRank = c.gpus;
    EXPECT_EQ(Describe(c.topology, PlaceHost(c.topology, c.count, placing)), c.want) << c.what;
  }
}

TEST(RankMap, HostsLocalRanksAndTheirVariables) {
  // 7 ranks over 3 hosts: without TARVO_PPN in turn, with 2 per host in
  // consecutive pairs, wrapping round.
  std::string turn, pairs;
  for (int r = 0; r < 7; ++r) {
    turn += std::to_string(HostOfRank(r, 3, 0));
    pairs += std::to_string(HostOfRank(r, 3, 2));
  }
  EXPECT_EQ(turn, "0120120");
  EXPECT_EQ(pairs, "0011220");
  std::vector<int> local, size;
  LocalRanks({"a", "a", "b", "a", "b"}, &local, &size);
  EXPECT_EQ(local, (std::vector<int>{0, 1, 0, 2, 1}));
  EXPECT_EQ(size, (std::vector<int>{3, 3, 2, 3, 2}));
  EXPECT_EQ(LocalityEnvironment(3, 5, 2, 3),
            (std::vector<std::string>{"OMPI_COMM_WORLD_SIZE=5", "OMPI_COMM_WORLD_RANK=3",
                                      "OMPI_COMM_WORLD_LOCAL_RANK=2", "OMPI_COMM_WORLD_LOCAL_SIZE=3",
                                      "OMPI_COMM_WORLD_NODE_RANK=2", "MPI_LOCALNRANKS=3", "MPI_LOCALRANKID=2"}));
  const HostTopology t = Node(2, {{3, "0-1"}});
  RankSlot slot;
  slot.cpus = Cpus("0-1");
  EXPECT_TRUE(DeviceEnvironment(t, slot).empty());
  EXPECT_EQ(RankMapLine(4, "n1", t, slot), "tarvo: rank 4 on n1 bound to CPUs 0-1\n");
  slot.gpus = {0};
  EXPECT_EQ(DeviceEnvironment(t, slot),
            (std::vector<std::string>{"CUDA_VISIBLE_DEVICES=3", "ROCR_VISIBLE_DEVICES=3", "ZE_AFFINITY_MASK=3"}));
  EXPECT_EQ(RankMapLine(4, "n1", t, slot), "tarvo: rank 4 on n1 bound to CPUs 0-1; GPUs cuda3\n");
}

TEST(RankMap, TopologyTextGoesBothWaysAndRefusesJunk) {
  const HostTopology t = Node(2, {{0, "0-1"}, {5, ""}});
  HostTopology back;
  ASSERT_TRUE(TopologyRead(TopologyText(t), &back));
  EXPECT_EQ(TopologyText(back), "0-1\n2-3\ngpu cuda 0 0-1\ngpu cuda 5 \n");
  for (const char* junk : {"0-1\nx\n", "gpu cuda\n", "gpu cuda -1 0\n", "gpu cuda 1 0-z\n"}) {
    EXPECT_FALSE(TopologyRead(junk, &back)) << junk;
  }
}

// The two-socket node of tests/topologies as hwloc gives it: four GPUs,
// two beside each socket, each level's units; a build without hwloc has no
// topology to read.
TEST(RankMap, TheAgentReadsATopologyFromAFile) {
  const std::string agent = std::string(TARVO_BIN_DIR) + "/tarvo-agent";
  const std::string xml = std::string("HWLOC_XMLFILE=") + TARVO_SOURCE_DIR + "/tests/topologies/two_socket_gpus.xml ";
  testutil::RunResult probe = testutil::Run(xml + agent + " --topology core 1");
  if (probe.status != 0 && probe.err.find("hwloc") != std::string::npos) GTEST_SKIP() << probe.err;
  ASSERT_EQ(probe.status, 0) << probe.err;
  HostTopology t;
  ASSERT_TRUE(TopologyRead(probe.out, &t)) << probe.out;
  EXPECT_EQ(TopologyText(t),
            "0-1\n2-3\n4-5\n6-7\n8-9\n10-11\n12-13\n14-15\n"
            "gpu cuda 0 0-7\ngpu cuda 1 0-7\ngpu cuda 2 8-15\ngpu cuda 3 8-15\n");
  const struct {
    const char* level;
    size_t units;
    const char* first;
  } levels[] = {{"hwthread", 16, "0"}, {"core", 8, "0-1"}, {"l3cache", 2, "0-7"}, {"numa", 2, "0-7"}, {"socket", 2, "0-7"}};
  for (const auto& l : levels) {
    testutil::RunResult r = testutil::Run(xml + agent + " --topology " + l.level + " 0");
    ASSERT_EQ(r.status, 0) << l.level << r.err;
    ASSERT_TRUE(TopologyRead(r.out, &t));
    EXPECT_EQ(t.units.size(), l.units) << l.level;
    EXPECT_EQ(CpuListText(t.units[0]), l.first) << l.level;
    EXPECT_TRUE(t.gpus.empty()) << l.level;
  }
  // Two ranks of two cores each on the node: each with the GPU of its socket.
  ASSERT_TRUE(TopologyRead(probe.out, &t));
  HostPlacing placing;
  placing.bind = true;
  placing.cpusPerRank = 4;
  placing.gpusPerRank = 2;
  EXPECT_EQ(Describe(t, PlaceHost(t, 2, placing)), "0-7/cuda0,cuda1 8-15/cuda2,cuda3 ");
}

}  // namespace
