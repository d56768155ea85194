// What a parallel debugger finds in tarvo (the MPIR process-acquisition
// symbols), read by a real gdb: attached to a running tarvo in each launch
// mode, the table names every rank's host, program and pid, the pid being
// the rank's program itself (not carrier, its remote shell or an agent);
// started by gdb with MPIR_being_debugged set, tarvo stops in
// MPIR_Breakpoint with the table full. The Slurm cluster's run is in
// slurm_test.cpp.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/mpi_run.h"
#include "tests/support/processes.h"

namespace {

// One entry of the table as gdb printed it.
struct Entry {
  std::string host, program;
  pid_t pid = 0;
  std::string exe;  // /proc/PID/exe when gdb read it
};

// The gdb commands that print the table, one "entry HOST PROGRAM PID" line
// each, after "table SIZE STATE".
const char* const kPrintTable =
    "printf \"table %d %d\\n\", MPIR_proctable_size, MPIR_debug_state\n"
    "set $i = 0\n"
    "while $i < MPIR_proctable_size\n"
    "  printf \"entry %s %s %d\\n\", MPIR_proctable[$i].host_name, MPIR_proctable[$i].executable_name, "
    "MPIR_proctable[$i].pid\n"
    "  set $i = $i + 1\n"
    "end\n";

bool HaveGdb() { return testutil::Run("command -v gdb").status == 0; }

// "table SIZE STATE" and the entries out of gdb's output.
void ParseTable(const std::string& out, int* size, int* state, std::vector<Entry>* entries) {
  std::istringstream in(out);
  *size = *state = -1;
  entries->clear();
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string what;
    words >> what;
    if (what == "table") words >> *size >> *state;
    Entry e;
    long pid = 0;
    if (what == "entry" && words >> e.host >> e.program >> pid) {
      e.pid = static_cast<pid_t>(pid);
      entries->push_back(e);
    }
  }
}

std::string Exe(pid_t pid) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class Mpir : public ::testing::Test {
 protected:
  support::MpiRuns runs_;
};

TEST_F(Mpir, GdbAttachedToARunningTarvoFindsEveryRanksProgramInEveryMode) {
  if (!HaveGdb()) GTEST_SKIP() << "gdb not found";
  using support::LocalName;
  const std::vector<support::MpiPlacement> placements = {
      {"local", "rank", {"-np", "3"}, {}},
      {"host mode", "host", {"-np", "3"}, {LocalName(), "127.0.0.2", "127.0.0.3"}},
      {"per-rank remote shells", "rank", {"-np", "3"}, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}},
  };
  for (const support::MpiPlacement& p : placements) {
    if (!p.hosts.empty() && !runs_.Remote()) continue;
    const std::string dir = testutil::MakeTempDir();
    testutil::WriteFile(dir + "/table.gdb", kPrintTable);
    std::unique_ptr<harness::LauncherRun> run = runs_.StartIn(p, dir, {"sleep", "60"});
    int size = -1, state = -1;
    std::vector<Entry> entries;
    std::string out;
    // Until every rank has started (a remote one once its far side says so).
    for (int tries = 0; tries < 20 && state != 1; ++tries) {
      const testutil::RunResult r =
          testutil::Run("gdb -nx -batch -p " + std::to_string(run->Pid()) + " -x " + dir + "/table.gdb 2>&1", 30);
      out = r.out;
      if (out.find("ptrace: Operation not permitted") != std::string::npos) {
        kill(run->Pid(), SIGTERM);
        run->Wait(30);
        GTEST_SKIP() << "gdb may not attach here: " << out;
      }
      ParseTable(out, &size, &state, &entries);
      if (state != 1) usleep(500 * 1000);
    }
    EXPECT_EQ(size, 3) << p.name << "\n" << out;
    EXPECT_EQ(state, 1) << p.name << "\n" << out;  // MPIR_DEBUG_SPAWNED
    ASSERT_EQ(entries.size(), 3u) << p.name << "\n" << out;
    std::vector<pid_t> pids;
    for (size_t r = 0; r < entries.size(); ++r) {
      const Entry& e = entries[r];
      pids.push_back(e.pid);
      // Every host is this machine: each pid is one of this kernel's.
      const std::string host = p.hosts.empty() ? LocalName() : p.hosts[r];
      EXPECT_EQ(e.host, host) << p.name << " rank " << r;
      EXPECT_EQ(e.program, Exe(e.pid)) << p.name << " rank " << r;
      EXPECT_TRUE(EndsWith(e.program, "/sleep")) << p.name << " rank " << r << ": " << e.program;
    }
    kill(run->Pid(), SIGTERM);
    EXPECT_EQ(run->Wait(60), 128 + SIGTERM) << p.name << "\n" << run->Stderr();
    EXPECT_TRUE(support::Survivors(pids).empty()) << p.name;
  }
}

TEST(MpirStarted, GdbThatStartsTarvoStopsInTheBreakpointWithTheTableFull) {
  if (!HaveGdb()) GTEST_SKIP() << "gdb not found";
  const std::string dir = testutil::MakeTempDir();
  // The variable is set once tarvo's memory is there (at main); at the
  // breakpoint each entry's /proc/PID/exe is read while tarvo is held.
  testutil::WriteFile(dir + "/start.gdb",
                      std::string("set pagination off\n"
                                  "break main\n"
                                  "run\n"
                                  "set var MPIR_being_debugged = 1\n"
                                  "break MPIR_Breakpoint\n"
                                  "continue\n"
                                  "bt 1\n") +
                          kPrintTable +
                          "set $i = 0\n"
                          "while $i < MPIR_proctable_size\n"
                          "  eval \"shell echo exe %d $(readlink /proc/%d/exe)\", MPIR_proctable[$i].pid, "
                          "MPIR_proctable[$i].pid\n"
                          "  set $i = $i + 1\n"
                          "end\n"
                          "kill\n");
  const testutil::RunResult r = testutil::Run("cd " + dir + " && PATH=" + std::string(TARVO_BIN_DIR) +
                                                  ":/usr/bin:/bin gdb -nx -batch -x start.gdb --args " +
                                                  testutil::Tarvo() + " -np 3 sleep 60 2>&1",
                                              90);
  if (r.out.find("ptrace: Operation not permitted") != std::string::npos) GTEST_SKIP() << r.out;
  EXPECT_NE(r.out.find("#0  MPIR_Breakpoint ()"), std::string::npos) << r.out;
  int size = -1, state = -1;
  std::vector<Entry> entries;
  ParseTable(r.out, &size, &state, &entries);
  EXPECT_EQ(size, 3) << r.out;
  EXPECT_EQ(state, 1) << r.out;
  ASSERT_EQ(entries.size(), 3u) << r.out;
  std::vector<pid_t> pids;
  for (const Entry& e : entries) {
    pids.push_back(e.pid);
    EXPECT_EQ(e.host, support::LocalName());
    EXPECT_TRUE(EndsWith(e.program, "/sleep")) << e.program;
    EXPECT_NE(r.out.find("exe " + std::to_string(e.pid) + " " + e.program + "\n"), std::string::npos) << r.out;
  }
  // Killed with tarvo: its group watcher ends the ranks.
  EXPECT_TRUE(support::Survivors(pids).empty());
}

}  // namespace
