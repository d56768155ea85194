// MPICH's spawn at the wire (Debian's MPICH cannot spawn itself): the PMI-1
// client tests/mpi/pmi1_spawn.c under real tarvo, its answers checked
// against tests/mpi/pmi1_spawn.transcript, recorded under mpiexec.hydra.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/mpi_run.h"
#include "tests/support/processes.h"

namespace {

using support::SortedLines;

// The answer that follows `request` in the transcript ("< " cut off).
std::string HydraAnswer(const std::string& request) {
  std::ifstream in(std::string(TARVO_SOURCE_DIR) + "/tests/mpi/pmi1_spawn.transcript");
  std::string line;
  bool seen = false;
  while (std::getline(in, line)) {
    if (line == "> " + request) seen = true;
    if (seen && line.compare(0, 2, "< ") == 0) return line.substr(2);
  }
  return "(not in the transcript: " + request + ")";
}

// A rank's spawn starts a job of two children with the parent's preput
// key, labelled [1:R]: locally, and in host mode from an agent's rank with
// the children on the hosts that the host key names; locally a missing
// program is refused alone, and a child's abort ends the run, named by its
// job. A refused spawn of a rank whose job has another rank ends the run
// with the refusal's line and status 1, locally and from an agent's rank.
// No process is left.
TEST(Pmi1Spawn, ChildrenGetTheirJobAndThePreputKeyAsUnderHydra) {
  const std::string spawned = HydraAnswer("endcmd").substr(std::string("cmd=spawn_result ").size());
  const std::string port = HydraAnswer("cmd=get kvsname=kvs_6691_1_1047322760_vm key=PARENT_ROOT_PORT_NAME");
  const std::string value = port.substr(port.find("value=") + 6);
  ASSERT_EQ(spawned, "rc=0");
  const std::string missing = "/nonexistent/pmi1-spawn-missing";
  const std::string refused = "tarvo: MPI_Comm_spawn of rank 0 refused: no such program: " + missing + "\n";
  const support::MpiPlacement local{"local", "rank", {"-np", "1"}, {}};
  const std::string children = "[0] parent spawn " + spawned + "\n" + "[1:0] child 0 of 2 spawned=1 port=" + value +
                               " appnum=0\n" + "[1:1] child 1 of 2 spawned=1 port=" + value + " appnum=0\n";
  const std::string elsewhere = "host_elsewhere_is_not_a_host_of_this_run";
  const struct {
    support::MpiPlacement where;
    std::string mode;
    std::string hosts;  // the spawn's host key
    int status;
    size_t processes;   // that the run started (at least, for a run that a child ends)
    std::string out;  // sorted lines; empty: not checked
    std::string err;  // '*' stands for a pid
  } rows[] = {
      {local, "plain", "", 0, 3, "[0] parent missing rc=-1 msg=no_such_program:_" + missing + "\n" + children, refused},
      {local, "abort", "", 7, 2, "",
       refused + "tarvo: job 1 rank 1 (pid * on " + support::LocalName() + ") called abort with status 7; ending the run\n"},
      // Rank 0 on 127.0.0.2 spawns; its children's barrier spans two
      // agents' hosts, or an agent's and tarvo's.
      {{"host mode", "host", {"-np", "2"}, {"127.0.0.2", "127.0.0.3"}}, "one", "127.0.0.2,127.0.0.3", 0, 4, children, ""},
      {{"host mode", "host", {"-np", "2"}, {"127.0.0.2", support::LocalName()}}, "one", "127.0.0.2," + support::LocalName(),
       0, 4, children, ""},
      {{"local", "rank", {"-np", "2"}, {}}, "plain", "", 1, 2, "", refused.substr(0, refused.size() - 1) +
       "; ending the run\n"},
      // An agent's rank alone in its job is told why its spawn is refused.
      {{"host mode", "host", {"-np", "1"}, {"127.0.0.2"}}, "plain", "elsewhere", 0, 1,
       "[0] parent missing rc=-1 msg=" + elsewhere + "\n[0] parent spawn rc=-1 msg=" + elsewhere + "\n",
       "tarvo: MPI_Comm_spawn of rank 0 refused: host elsewhere is not a host of this run\n"
       "tarvo: MPI_Comm_spawn of rank 0 refused: host elsewhere is not a host of this run\n"},
      {{"host mode", "host", {"-np", "2"}, {"127.0.0.2", "127.0.0.3"}}, "plain", "elsewhere", 1, 2, "",
       "tarvo: MPI_Comm_spawn of rank 0 refused: host elsewhere is not a host of this run; ending the run\n"},
  };
  support::MpiRuns runs;
  for (const auto& row : rows) {
    if (!row.where.hosts.empty() && !runs.Remote()) continue;
    const std::string name = std::string(row.where.name) + " " + row.mode + " " + row.hosts;
    const std::string dir = testutil::MakeTempDir();
    std::vector<std::string> command = {std::string(TARVO_TEST_BIN_DIR) + "/pmi1_spawn", dir, "parent", row.mode};
    if (!row.hosts.empty()) command.push_back(row.hosts);
    auto run = runs.StartIn(row.where, dir, command, {{"TARVO_LABEL", "1"}, {"TARVO_TIMEOUT", "60"}});
    EXPECT_EQ(run->Wait(90), row.status) << name << "\n" << run->Stderr();
    if (!row.out.empty()) {
      EXPECT_EQ(SortedLines(run->Stdout()), row.out) << name;
    }
    const std::string err = run->Stderr();
    const size_t star = row.err.find('*');
    const size_t pid = star < err.size() ? err.find_first_not_of("0123456789", star) : std::string::npos;
    EXPECT_EQ(pid == std::string::npos ? err : err.substr(0, star) + "*" + err.substr(pid), row.err) << name;
    const std::vector<pid_t> pids = support::PidsIn(dir);
    // A child's abort may end the run before its sibling has said it started.
    if (row.status == 0) {
      EXPECT_EQ(pids.size(), row.processes) << name;
    } else {
      EXPECT_GE(pids.size(), row.processes) << name;
    }
    EXPECT_TRUE(support::Survivors(pids).empty()) << name;
    testutil::Run("rm -rf " + dir);
  }
}

}  // namespace
