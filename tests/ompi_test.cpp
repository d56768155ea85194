// Unmodified Open MPI programs under tarvo (its PMIx server and the agents'):
// tests/procs/ompi_probe.c, built with mpicc.openmpi, locally and in host
// mode over the loopback sshd (hosts 127.0.0.2 and up: several nodes of one
// machine, each with its own shared-memory directory). The Slurm cluster's
// run is in slurm_test.cpp.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/mpi/MpiServer.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/processes.h"
#include "tests/support/mpi_run.h"
#include "tests/support/wait.h"

namespace {

using support::LocalName;
using support::SortedLines;

const std::string kProbe = TARVO_OMPI_PROBE;  // empty: no mpicc.openmpi or no libpmix

// A placement and the ranks that share a node in it.
// The PMIx servers' directories that were not there `before`, once they
// are gone or 10 s have passed: an agent removes its own after tarvo has
// ended, and its finalize may take 3 s.
std::set<std::string> PmixDirsLeft(const std::set<std::string>& before) {
  std::set<std::string> left;
  support::WaitUntil(10000, [&] {
    left.clear();
    for (const std::string& name : support::PmixPrivateDirs()) {
      if (before.count(name) == 0) left.insert(name);
    }
    return left.empty();
  });
  return left;
}

struct Placement {
  support::MpiPlacement where;
  int ranks;
  int shared;
};

const std::vector<Placement>& Placements() {
  static const std::vector<Placement> all = {
      {{"local", "rank", {"-np", "4"}, {}}, 4, 4},
      {{"host mode", "host", {"-np", "6"}, {LocalName(), "127.0.0.2", "127.0.0.3"}}, 6, 2},
  };
  return all;
}

class OmpiRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kProbe.empty()) GTEST_SKIP() << "mpicc.openmpi or libpmix not found: the Open MPI tests need libopenmpi-dev and libpmix-dev";
  }

  bool Remote() { return runs_.Remote(); }

  // Runs the probe (or `program`, or python3 with `script`) as `p` places
  // it, in a directory of its own, and checks that no rank and no private
  // directory is left.
  int Run(const Placement& p, const std::string& mode, std::string* out, std::string* err,
          const std::string& program = kProbe, const std::map<std::string, std::string>& env = {},
          const std::string& script = std::string()) {
    const std::set<std::string> before = support::PmixPrivateDirs();
    std::string dir;
    std::unique_ptr<harness::LauncherRun> run;
    if (script.empty()) {
      run = runs_.Start(p.where, program, mode, &dir, env);
    } else {
      dir = testutil::MakeTempDir();
      testutil::WriteFile(dir + "/script.py", script + "\nopen('%s/%d.pid' % (sys.argv[1], os.getpid()), 'w').write('%d\\n' % os.getpid())\n");
      run = runs_.StartIn(p.where, dir, {"/usr/bin/python3", dir + "/script.py", dir}, env);
    }
    const int status = run->Wait(90);
    *out = run->Stdout();
    *err = run->Stderr();
    const std::vector<pid_t> pids = support::PidsIn(dir);
    EXPECT_FALSE(pids.empty()) << p.where.name << " " << mode;
    EXPECT_TRUE(support::Survivors(pids).empty()) << p.where.name << " " << mode;
    // An agent removes its server's directories after tarvo has ended: its
    // finalize may take its 3 s (HACKING, "The PMIx host"), more under the
    // sanitizers.
    const std::set<std::string> left = PmixDirsLeft(before);
    EXPECT_TRUE(left.empty()) << p.where.name << " " << mode << ": " << *left.begin() << "\n" << *err;
    testutil::Run("rm -rf " + dir);
    return status;
  }

  support::MpiRuns runs_;
};

TEST_F(OmpiRun, RanksSizesAllreduceAndSharedMemoryGroupsFollowThePlacement) {
  for (const Placement& p : Placements()) {
    if (!p.where.hosts.empty() && !Remote()) continue;
    std::string out, err;
    EXPECT_EQ(Run(p, "report", &out, &err), 0) << p.where.name << "\n" << err;
    std::string want;
    for (int r = 0; r < p.ranks; ++r) {
      want += "rank " + std::to_string(r) + " of " + std::to_string(p.ranks) + " sum " +
              std::to_string(p.ranks * (p.ranks - 1) / 2) + " shared " + std::to_string(p.shared) + " appnum 0 session shared\n";
    }
    EXPECT_EQ(SortedLines(out), SortedLines(want)) << p.where.name << "\n" << err;
  }
}

// The PMIx server's libraries come from the system's directories alone:
// libraries of their names in the run's working directory (junk here; a
// planted one would run inside tarvo) are never looked at.
TEST_F(OmpiRun, LibrariesInTheWorkingDirectoryAreNotLoaded) {
  const std::string dir = testutil::MakeTempDir();
  for (const char* name : {"libstdc++.so.6", "libgcc_s.so.1", "libhwloc.so.15", "libpmix.so.2"}) {
    testutil::WriteFile(dir + "/" + name, "junk\n");
  }
  std::unique_ptr<harness::LauncherRun> run = runs_.StartIn(Placements()[0].where, dir, {kProbe, dir, "report"});
  EXPECT_EQ(run->Wait(90), 0) << run->Stderr();
  EXPECT_EQ(run->Stderr(), "");
  std::string want;
  for (int r = 0; r < 4; ++r) want += "rank " + std::to_string(r) + " of 4 sum 6 shared 4 appnum 0 session shared\n";
  EXPECT_EQ(SortedLines(run->Stdout()), want);
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
  testutil::Run("rm -rf " + dir);
}

// mpi4py (Debian's, on Open MPI) under python3, which names no MPI library
// itself: served by default, its ranks are one job.
TEST_F(OmpiRun, PythonRanksAreOneJobByDefault) {
  if (system("/usr/bin/python3 -c 'import mpi4py' 2>/dev/null") != 0) GTEST_SKIP() << "no python3-mpi4py";
  for (const Placement& p : Placements()) {
    if (!p.where.hosts.empty() && !Remote()) continue;
    std::string out, err;
    EXPECT_EQ(Run(p, "", &out, &err, kProbe, {}, R"(import os, sys
from mpi4py import MPI
c = MPI.COMM_WORLD
sys.stdout.write("rank %d of %d sum %d\n" % (c.Get_rank(), c.Get_size(), c.allreduce(c.Get_rank())))
sys.stdout.flush())"),
              0)
        << p.where.name << "\n" << err;
    std::string want;
    for (int r = 0; r < p.ranks; ++r) {
      want += "rank " + std::to_string(r) + " of " + std::to_string(p.ranks) + " sum " +
              std::to_string(p.ranks * (p.ranks - 1) / 2) + "\n";
    }
    EXPECT_EQ(SortedLines(out), SortedLines(want)) << p.where.name << "\n" << err;
  }
}

// MPI_Abort from rank 1 ends the run with its status; a rank killed before
// its MPI_Init is over or after it, and one that ends without MPI_Finalize
// while the others wait, end it too, each reported by how it ended. Rank 1
// is on 127.0.0.2 in host mode (an agent's), rank 0 on tarvo's host.
TEST_F(OmpiRun, AbortAKilledRankAndARankThatSkipsFinalizeEndTheRun) {
  struct Case {
    const char* mode;
    int status;
    std::string report;
  } cases[] = {
      {"abort", 7, "tarvo: rank 1 (pid * on H1) called abort with status 7; ending the run\n"},
      {"kill", 137, "tarvo: rank 1 (pid * on H1) was killed by signal 9 (Killed); ending the run\n"},
      {"killlate", 137, "tarvo: rank 1 (pid * on H1) was killed by signal 9 (Killed); ending the run\n"},
      {"nofinalize", 1, "tarvo: rank 0 (pid * on H0) ended without MPI_Finalize; ending the run\n"},
  };
  for (const Placement& p : Placements()) {
    if (!p.where.hosts.empty() && !Remote()) continue;
    for (const Case& c : cases) {
#if defined(__SANITIZE_THREAD__)
      // A rank killed in its connection handshake leaves libpmix (not built
      // with the sanitizer) taking a lock in memory that it has freed
      // (HACKING, "The PMIx host"), which ThreadSanitizer reports from the
      // library's own frames now and then; the other builds run this case.
      if (std::string(c.mode) == "kill") continue;
#endif
      std::string out, err;
      EXPECT_EQ(Run(p, c.mode, &out, &err), c.status) << p.where.name << " " << c.mode << "\n" << err;
      std::string want = c.report;
      auto put = [&want](const std::string& key, const std::string& value) {
        const size_t at = want.find(key);
        if (at != std::string::npos) want.replace(at, key.size(), value);
      };
      put("H1", p.where.hosts.empty() ? LocalName() : "127.0.0.2");
      put("H0", LocalName());
      put("N", std::to_string(p.ranks - 1));
      const size_t star = want.find('*');
      const size_t from = err.find(want.substr(0, star));
      ASSERT_NE(from, std::string::npos) << p.where.name << " " << c.mode << "\n" << err;
      EXPECT_NE(err.find(want.substr(star + 1), from), std::string::npos) << p.where.name << " " << c.mode << "\n" << err;
    }
  }
}

// The data of a PMIx fence across hosts counts against the run's key-value
// space (TARVO_KVS_LIMIT, MiB): past it the fence fails for every rank, and
// tarvo names the host whose part went over, once. 400 kB a rank: a host's
// part fits in 1 MiB, the union of three does not (tarvo's count); 600 kB: a
// host's part alone is over (the agent's count, and tarvo's of its own).
// (On one node libpmix completes the fence itself, out of tarvo's reach.)
TEST_F(OmpiRun, FenceDataOverTheKeyValueBoundFailsTheFenceNamingTheHost) {
  if (!Remote()) GTEST_SKIP() << "no sshd";
  const Placement& p = Placements()[1];
  const std::string said = "TARVO_KVS_LIMIT) with its part of a PMIx fence; the fence fails\n";
  struct Case {
    const char* mode;
    const char* limitMiB;
    int status;
  } cases[] = {{"put:400000", "64", 0}, {"put:400000", "1", 3}, {"put:600000", "1", 3}};
  for (const Case& c : cases) {
    std::string out, err;
    const std::string what = std::string(c.mode) + " in " + c.limitMiB + " MiB\n";
    EXPECT_EQ(Run(p, c.mode, &out, &err, kProbe, {{"TARVO_KVS_LIMIT", c.limitMiB}}), c.status) << what << err;
    if (c.status == 0) {
      std::string six;
      for (int i = 0; i < 6; ++i) six += "fence SUCCESS\n";
      EXPECT_EQ(out, six) << what << err;
      EXPECT_EQ(err.find(said), std::string::npos) << what << err;
      continue;
    }
    EXPECT_EQ(out.find("fence SUCCESS"), std::string::npos) << what << out;
    const size_t at = err.find(said);
    ASSERT_NE(at, std::string::npos) << what << err;
    EXPECT_EQ(err.find(said, at + 1), std::string::npos) << "said once\n" << what << err;
    const size_t line = err.rfind('\n', at) == std::string::npos ? 0 : err.rfind('\n', at) + 1;
    EXPECT_EQ(err.compare(line, 11, "tarvo: host"), 0) << what << err;
  }
}

// A fence of ranks 0 and 1 alone (PMIx_Fence over two processes) is kept
// apart from the job's, which the other ranks enter meanwhile, and completes
// with the nodes that hold them (tarvo's and 127.0.0.2's in host mode) only.
TEST_F(OmpiRun, AFenceOfSomeRanksIsKeptApartFromTheJobs) {
  for (const Placement& p : Placements()) {
    if (!p.where.hosts.empty() && !Remote()) continue;
    std::string out, err;
    EXPECT_EQ(Run(p, "subset", &out, &err), 0) << p.where.name << "\n" << err;
    std::string want = "rank 0 fence SUCCESS got from 1\nrank 1 fence SUCCESS got from 0\n";
    for (int r = 0; r < p.ranks; ++r) want += "rank " + std::to_string(r) + " job fence SUCCESS\n";
    EXPECT_EQ(SortedLines(out), SortedLines(want)) << p.where.name << "\n" << err;
  }
}

// A rank's get of another host's rank's key before any fence (the direct
// modex) is answered by the host that holds it, through tarvo: ranks 0, 1
// and 2 are on three hosts (tarvo's, 127.0.0.2, 127.0.0.3), each gets the
// next one's.
TEST_F(OmpiRun, AGetBeforeAnyFenceIsAnsweredByTheHostThatHoldsTheKey) {
  if (!Remote()) GTEST_SKIP() << "no sshd";
  const Placement& p = Placements()[1];
  std::string out, err;
  EXPECT_EQ(Run(p, "dmodex", &out, &err), 0) << err;
  std::string want = "rank 0 got early from 1\nrank 1 got early from 2\nrank 2 got early from 0\n";
  for (int r = 0; r < p.ranks; ++r) want += "rank " + std::to_string(r) + " job fence SUCCESS\n";
  EXPECT_EQ(SortedLines(out), SortedLines(want)) << err;
}

// An agent killed by SIGKILL leaves no PMIx directory on its host: its
// watcher removes them, as tarvo's does for its own server's.
TEST_F(OmpiRun, AKilledAgentLeavesNoPmixDirectory) {
  const Placement& p = Placements()[1];
  if (!Remote()) GTEST_SKIP() << "no sshd";
  const std::set<std::string> before = support::PmixPrivateDirs();
  std::string dir;
  std::unique_ptr<harness::LauncherRun> run = runs_.Start(p.where, kProbe, "hold", &dir);
  // Rank 1 is the agent's on 127.0.0.2, and the agent its parent.
  pid_t agent = 0;
  ASSERT_TRUE(support::WaitUntil(60000, [&] {
    const int rank1 = atoi(testutil::ReadFile(dir + "/1.pid").c_str());
    const std::string stat = rank1 > 0 ? testutil::ReadFile("/proc/" + std::to_string(rank1) + "/stat") : "";
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(stat.substr(close + 2));
    std::string state;
    rest >> state >> agent;
    return agent > 1;
  })) << run->Stderr();
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  EXPECT_NE(run->Wait(90), 0);
  const std::set<std::string> left = PmixDirsLeft(before);
  EXPECT_TRUE(left.empty()) << *left.begin() << "\n" << run->Stderr();
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
  testutil::Run("rm -rf " + dir);
}

// Per-rank remote shells cannot serve PMIx: a program that links Open MPI's
// library is said to run as singletons there, once, before the start; one
// that does not is not (the remote shells are the recording stand-ins).
TEST_F(OmpiRun, PerRankRemoteShellsSayWhenRanksWillRunAlone) {
  const struct {
    std::string program;
    int lines;
  } cases[] = {{kProbe, 1}, {"/bin/true", 0}};
  for (const auto& c : cases) {
    harness::Options opts;
    opts.hold = false;
    harness::LauncherRun run({"-ssh", "-np", "3", "-mf", "hosts", c.program}, [&] {
      opts.workdir = testutil::MakeTempDir();
      testutil::WriteFile(opts.workdir + "/hosts", "127.0.0.2\n127.0.0.3\n");
      return opts;
    }());
    EXPECT_EQ(run.Wait(30), 0) << run.Stderr();
    const std::string err = run.Stderr();
    size_t lines = 0;
    for (size_t at = err.find("links Open MPI's library"); at != std::string::npos;
         at = err.find("links Open MPI's library", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, static_cast<size_t>(c.lines)) << c.program << "\n" << err;
  }
}

// MPI_Publish_name, MPI_Lookup_name, MPI_Unpublish_name and a port's
// MPI_Comm_accept/MPI_Comm_connect between two ranks of one job, through
// the run's name table (tests/procs/ompi_names.c, built beside the probe).
// Locally, and in host mode with rank 0 on tarvo's host and rank 1 on an
// agent's.
TEST_F(OmpiRun, PublishLookupAcceptAndConnectBetweenTwoRanks) {
  const std::string names = kProbe.substr(0, kProbe.rfind('/')) + "/ompi_names";
  const std::vector<Placement> placements = {
      {{"local", "rank", {"-np", "2"}, {}}, 2, 2},
      {{"host mode", "host", {"-np", "2"}, {LocalName(), "127.0.0.2"}}, 2, 1},
  };
  for (const Placement& p : placements) {
    if (!p.where.hosts.empty() && !Remote()) continue;
    std::string out, err;
    EXPECT_EQ(Run(p, "", &out, &err, names, {{"TARVO_PMIX", "1"}, {"TARVO_TIMEOUT", "60"}}), 0) << p.where.name << "\n" << err;
    EXPECT_EQ(out, "names ok\n") << p.where.name << "\n" << err;
  }
}

// A rank that ends while its lookup waits (PMIX_WAIT) is forgotten: the
// name, published to be read once after its end, goes to the live rank that
// waits behind it (ompi_probe's deadwaiter; the others go on past the
// killed rank with TARVO_KILL_ON_BAD_EXIT=0).
TEST_F(OmpiRun, ANameGoesToTheLiveWaiterNotToOneThatEnded) {
  const Placement p{{"local", "rank", {"-np", "3"}, {}}, 3, 3};
  std::string out, err;
  EXPECT_EQ(Run(p, "deadwaiter", &out, &err, kProbe,
                {{"TARVO_PMIX", "1"}, {"TARVO_KILL_ON_BAD_EXIT", "0"}, {"TARVO_TIMEOUT", "60"}}),
            137)
      << err;
  EXPECT_EQ(out, "rank 2 got here\n") << err;
}

// MPI_Comm_spawn (tests/procs/ompi_spawn.c), locally and in host mode
// (parents on an agent's host and tarvo's, the machine file's order;
// children on either by the `host` key, or one on each by the slots): two
// parents spawn two children and all four sum over their merged
// communicator, the children labelled as job 1; a child killed after the
// merge, one that calls MPI_Abort and one that ends without MPI_Finalize
// end the run, named by its job and rank; a program that does not exist
// (on tarvo's host, or where an agent would start it) fails the call of a
// job of one rank alone, with one line, and the run goes on; in a job of
// two, whose other rank waits in the collective call, the line ends the
// run with status 1.
TEST_F(OmpiRun, SpawnedJobsMergeFailAndAreRefused) {
  const std::string spawn = kProbe.substr(0, kProbe.rfind('/')) + "/ompi_spawn";
  const std::string host = LocalName();
  const std::string merged =
      "[0] parent 0 of 4: sum 10\n[1:0] child 2 of 4: sum 10\n[1:1] child 3 of 4: sum 10\n[1] parent 1 of 4: sum 10\n";
  const struct {
    std::string mode;
    const char* np;
    int status;
    std::string out;  // sorted lines; empty: not checked
    std::string err;  // what stderr holds, '*' standing for a pid
  } cases[] = {
      {"merge", "2", 0, merged, ""},
      {"merge@127.0.0.2", "2", 0, merged, ""},
      {"merge@" + host, "2", 0, merged, ""},
      {"merge@", "2", 0, merged, ""},
      {"kill@127.0.0.2", "2", 137, "", "tarvo: job 1 rank 1 (pid * on 127.0.0.2) was killed by signal 9 (Killed); ending the run\n"},
      {"kill", "2", 137, "", "tarvo: job 1 rank 1 (pid * on " + host + ") was killed by signal 9 (Killed); ending the run\n"},
      {"abort", "2", 7, "", "tarvo: job 1 rank 1 (pid * on " + host + ") called abort with status 7; ending the run\n"},
      {"nofinalize", "2", 1, "", "tarvo: job 1 rank 1 (pid * on " + host + ") ended without MPI_Finalize; ending the run\n"},
      {"missing", "1", 0, "[0] spawn failed with MPI_ERR_SPAWN\n",
       "tarvo: MPI_Comm_spawn of rank 0 refused: no such program: /nonexistent/tarvo-spawn-test\n"},
      {"missing@127.0.0.2", "1", 0, "[0] spawn failed with MPI_ERR_SPAWN\n",
       "tarvo: MPI_Comm_spawn of rank 0 refused: no such program: /nonexistent/tarvo-spawn-test on 127.0.0.2\n"},
      {"missing", "2", 1, "",
       "tarvo: MPI_Comm_spawn of rank 0 refused: no such program: /nonexistent/tarvo-spawn-test; ending the run\n"},
      {"missing@127.0.0.2", "2", 1, "",
       "tarvo: MPI_Comm_spawn of rank 0 refused: no such program: /nonexistent/tarvo-spawn-test on 127.0.0.2; "
       "ending the run\n"},
  };
  for (const auto& c : cases) {
    const bool remote = c.mode.find('@') != std::string::npos;
    if (remote && !Remote()) continue;
    const Placement p = remote ? Placement{{"host mode", "host", {"-np", c.np}, {"127.0.0.2", host}}, 0, 0}
                               : Placement{{"local", "rank", {"-np", c.np}, {}}, 0, 0};
    std::string out, err;
    EXPECT_EQ(Run(p, c.mode, &out, &err, spawn, {{"TARVO_PMIX", "1"}, {"TARVO_LABEL", "1"}, {"TARVO_TIMEOUT", "60"}}),
              c.status)
        << c.mode << "\n" << err;
    if (!c.out.empty()) {
      EXPECT_EQ(SortedLines(out), c.out) << c.mode << "\n" << err;
    }
    if (c.err.empty()) {
      EXPECT_EQ(err, "") << c.mode;
      continue;
    }
    const size_t star = c.err.find('*');
    const size_t from = err.find(c.err.substr(0, star));
    ASSERT_NE(from, std::string::npos) << c.mode << "\n" << err;
    if (star != std::string::npos) {
      EXPECT_NE(err.find(c.err.substr(star + 1), from), std::string::npos) << c.mode << "\n" << err;
    } else {
      EXPECT_EQ(err, c.err) << c.mode;
    }
  }
}

// mpi4py's MPIPoolExecutor spawns its three workers, more than this
// machine's processors, from one rank; every worker is gone at the end.
// (Each process writes its pid file once it has read its script.)
TEST_F(OmpiRun, PoolExecutorMapsOverSpawnedWorkers) {
  if (system("/usr/bin/python3 -c 'import mpi4py.futures' 2>/dev/null") != 0) GTEST_SKIP() << "no python3-mpi4py";
  const Placement p{{"local", "rank", {"-np", "1"}, {}}, 1, 1};
  std::string out, err;
  EXPECT_EQ(Run(p, "", &out, &err, kProbe, {{"TARVO_TIMEOUT", "60"}}, R"(import os, sys
from mpi4py.futures import MPIPoolExecutor

# The workers run this file too (not as __main__): each writes its pid
# into the script's directory at the end.
sys.argv[1:] = [os.path.dirname(os.path.abspath(__file__))]

def square(x):
    return x * x

if __name__ == "__main__":
    with MPIPoolExecutor(max_workers=3) as pool:
        sys.stdout.write("sum %d\n" % sum(pool.map(square, range(100))))
        sys.stdout.flush())"),
            0)
      << err;
  EXPECT_EQ(out, "sum 328350\n") << err;
}

// tarvo's side of the PMIx fences between hosts, driven directly: two
// agents each send two fences of the whole job, the second before the
// first is complete (PMIx_Fence_nb); each fence completes apart, in order,
// with its own parts.
TEST(PmixFences, TwoOfTheSameRanksInFlightCompleteApartInOrder) {
  MpiLinks links;
  links.makeRelay = [](std::string*) { return std::unique_ptr<pmi::PmixRelay>(); };  // no rank is tarvo's
  MpiServer server({"h0", "h1"}, {0, 0}, {0, 1}, 2, links);
  pmi::PmixJob job;
  job.nspace = "tarvo-fences";
  job.hosts = {"h0", "h1"};
  std::string why;
  ASSERT_TRUE(server.ServePmix(job, &why)) << why;
  auto part = [&server](int agent, const std::string& bytes) {
    server.AgentPmixSet(agent, {});
    EXPECT_FALSE(server.AgentPmixPart(agent, bytes));
    server.AgentPmixDone(agent);
  };
  // What completes now: the parts that each send carries, and to whom.
  auto complete = [&server]() {
    std::vector<MpiServer::PmixSend> sends;
    server.TakePmixFences(&sends);
    std::string seen;
    for (const MpiServer::PmixSend& s : sends) {
      seen += "to";
      for (int a : s.agents) seen += " " + std::to_string(a);
      for (const char* p : {"<a1>", "<a2>", "<b1>", "<b2>"}) {
        if (s.frames.find(p) != std::string::npos) seen += std::string(" ") + p;
      }
      seen += ";";
    }
    return seen;
  };
  part(0, "<a1>");
  part(0, "<a2>");
  EXPECT_EQ(complete(), "");
  part(1, "<b1>");
  EXPECT_EQ(complete(), "to 0 1 <a1> <b1>;");
  part(1, "<b2>");
  EXPECT_EQ(complete(), "to 0 1 <a2> <b2>;");
  EXPECT_EQ(complete(), "");
}

}  // namespace
