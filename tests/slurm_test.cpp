// TARVO_LAUNCH=slurm in a real two-node Slurm cluster on this machine
// (tests/slurm/start-slurm.sh: slurmctld, two slurmd and munged, on free
// ports and with a munge key of their own), started for each test and
// stopped whatever happens; skipped where it cannot start. Every command is
// pointed at the cluster's own configuration, so nothing here reaches another
// Slurm of the machine or its jobs.
// Both nodes are this host: a rank tells its node by SLURMD_NODENAME. The
// nodes' names are in the cluster's own /etc/hosts, which its daemons and
// the commands run through its `enter` see, so that resolving them asks no
// name server.
#include <errno.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/spawn/Inputs.h"
#include "tests/run_util.h"
#include "tests/support/loopback.h"
#include "tests/support/processes.h"

namespace {

const bool kHaveHwloc = TARVO_TESTS_HWLOC;  // false: the build refuses TARVO_BIND

const std::string kScripts = std::string(TARVO_SOURCE_DIR) + "/tests/slurm";

bool WaitUntil(double seconds, const std::function<bool()>& done) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done()) return true;
    usleep(50000);
  }
  return done();
}

class SlurmMode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/usr/sbin/slurmctld", X_OK) != 0 || access("/usr/sbin/munged", X_OK) != 0) {
      GTEST_SKIP() << "needs root and slurmctld, slurmd, slurm-client and munge";
    }
    dir_ = testutil::MakeTempDir();
    cluster_ = dir_ + "/cluster";
    std::string why;
    if (!StartCluster(cluster_, "", &why)) GTEST_SKIP() << why;
    started_ = true;
    conf_ = cluster_ + "/slurm.conf";
    testutil::WriteFile(dir_ + "/rank",
                        "#!/bin/sh\n"
                        "echo $$ > pid.$TARVO_RANK.tmp && mv pid.$TARVO_RANK.tmp pid.$TARVO_RANK\n"
                        "echo \"$TARVO_RANK $SLURMD_NODENAME $SLURM_STEP_ID\"\n"
                        "case \"$1\" in hold) exec sleep 60 ;; fail) [ $TARVO_RANK = 3 ] && exit 3 ;;\n"
                        "  task) echo \"task $SLURM_PROCID $SLURM_LOCALID $SLURM_NTASKS $SLURM_NODEID\" ;;\n"
                        "  local) echo \"local $OMPI_COMM_WORLD_LOCAL_RANK/$MPI_LOCALNRANKS\" ;;\n"
                        "  report) exec " TARVO_TEST_BIN_DIR "/report_rank . 300 1 abort ;; esac\n"
                        "exit 0\n");
    chmod((dir_ + "/rank").c_str(), 0755);
  }

  // Starts a cluster in `dir`: false with one line (refused: its directory
  // or ports are taken) or the scripts' whole report (it failed).
  static bool StartCluster(const std::string& dir, const std::string& env, std::string* why) {
    testutil::RunResult up =
        testutil::Run("SLURM_CI_DIR=" + dir + " " + env + " bash " + kScripts + "/start-slurm.sh", 60);
    if (up.status == 0) {
      const size_t line = up.err.find("start-slurm: no private /etc/hosts");
      if (line != std::string::npos) std::cerr << up.err.substr(line, up.err.find('\n', line) - line) << "\n";
      return true;
    }
    *why = up.status == 2 ? up.err.substr(0, up.err.find('\n')) : "the Slurm cluster did not start:\n" + up.err;
    return false;
  }
  static void StopCluster(const std::string& dir) {
    testutil::Run("SLURM_CI_DIR=" + dir + " bash " + kScripts + "/stop-slurm.sh", 60);
  }

  void TearDown() override {
    if (started_) StopCluster(cluster_);
    for (pid_t pid : Pids()) kill(pid, SIGKILL);
    if (!dir_.empty()) testutil::Run("rm -rf " + dir_);
  }

  // tarvo -np 4 rank MODE inside an allocation of both nodes, in Slurm mode
  // unless `launch` says otherwise (empty: no TARVO_LAUNCH). Open MPI's
  // ranks on the two nodes talk over loopback, not over this machine's own
  // address on its network interface.
  std::string Command(const std::string& mode, const std::string& env = "", const std::string& launch = "slurm") const {
    return InAllocation("env -u TARVO_LAUNCH " + (launch.empty() ? "" : "TARVO_LAUNCH=" + launch) +
                        " TARVO_KILL_GRACE=1 OMPI_MCA_btl_tcp_if_include=lo " + env + " " + TARVO_BIN_DIR +
                        "/tarvo -np 4 rank " + mode);
  }
  std::string InAllocation(const std::string& command) const {
    return "cd " + dir_ + " && SLURM_CONF=" + conf_ + " PATH=" + TARVO_BIN_DIR + ":$PATH " + cluster_ +
           "/enter salloc -N2 -n2 " + command;
  }

  std::vector<pid_t> Pids() const {
    std::vector<pid_t> pids;
    for (int r = 0; r < 4 && !dir_.empty(); ++r) {
      const std::string text = testutil::ReadFile(dir_ + "/pid." + std::to_string(r));
      if (!text.empty()) pids.push_back(static_cast<pid_t>(std::atol(text.c_str())));
    }
    return pids;
  }

  bool AllGone() const {
    return WaitUntil(5, [&] {
      for (pid_t pid : Pids()) {
        if (kill(pid, 0) == 0 || errno != ESRCH) return false;
      }
      return true;
    });
  }

  std::string dir_, cluster_, conf_;
  bool started_ = false;
};

// Inside an allocation Slurm mode is the default; TARVO_LAUNCH=rank keeps
// the ranks on the launcher's host, outside any step.
TEST_F(SlurmMode, RanksGoRoundTheNodesInOneStepAndTheStatusIsTheirs) {
  testutil::RunResult ok = testutil::Run(Command("", "", "") + " | sort", 60);
  EXPECT_EQ(ok.out, "0 n1 0\n1 n2 0\n2 n1 0\n3 n2 0\n") << ok.err;
  testutil::RunResult local = testutil::Run(Command("", "", "rank") + " | sort", 60);
  EXPECT_EQ(local.out, "0  \n1  \n2  \n3  \n") << local.err;
  // The nodes' names, where tarvo and its agents resolve them, come from the
  // cluster's hosts file (the name server would know none of them).
  if (access((cluster_ + "/hosts").c_str(), F_OK) == 0) {
    const std::string line = "127.0.0.1       n1 n2\n";
    testutil::RunResult names = testutil::Run(InAllocation("sh -c \"getent -s files hosts n1 n2; srun getent -s files hosts n1 n2\""), 60);
    EXPECT_EQ(names.out, line + line + line + line + line + line) << names.err;
  }
  testutil::RunResult failed = testutil::Run(Command("fail"), 60);
  EXPECT_NE(failed.err.find("tarvo: rank 3 (pid "), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find(" on n2) exited with status 3; ending the run"), std::string::npos) << failed.err;
  EXPECT_TRUE(AllGone());
}

// As in a batch script, the launcher's own host's values are set: no rank
// sees them, each sees its own task and node as srun gives its tasks.
TEST_F(SlurmMode, EveryRankSeesItsOwnTaskAndNode) {
  testutil::RunResult run =
      testutil::Run(Command("task", "SLURMD_NODENAME=n1 SLURM_PROCID=0 SLURM_LOCALID=0") + " | sort", 60);
  EXPECT_EQ(run.out,
            "0 n1 0\n1 n2 0\n2 n1 0\n3 n2 0\n"
            "task 0 0 4 0\ntask 1 0 4 1\ntask 2 1 4 0\ntask 3 1 4 1\n")
      << run.err;
  EXPECT_TRUE(AllGone());
}

// Consecutive ranks per node: TARVO_PPN, or the allocation's own
// SLURM_NTASKS_PER_NODE; each rank knows its place on its node.
TEST_F(SlurmMode, RanksPerNodeComeFromTarvoPpnOrTheAllocation) {
  for (const char* env : {"TARVO_PPN=2", "SLURM_NTASKS_PER_NODE=2"}) {
    testutil::RunResult run = testutil::Run(Command("local", env) + " | sort", 60);
    EXPECT_EQ(run.out, "0 n1 0\n1 n1 0\n2 n2 0\n3 n2 0\nlocal 0/2\nlocal 0/2\nlocal 1/2\nlocal 1/2\n") << env << run.err;
  }
  EXPECT_TRUE(AllGone());
}

// The agents open each rank's file on its node and bind it there.
TEST_F(SlurmMode, EachRankWritesItsOwnFileAndIsBoundOnItsNode) {
  testutil::RunResult run = testutil::Run(
      Command("", std::string("TARVO_OUTPUT=out.%h.%r TARVO_REPORT_BINDING=1 TARVO_BIND=") + (kHaveHwloc ? "core" : "none")),
      60);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  for (int r = 0; r < 4; ++r) {
    const std::string node = r % 2 == 0 ? "n1" : "n2", rank = std::to_string(r);
    EXPECT_EQ(testutil::ReadFile(dir_ + "/out." + node + "." + rank), rank + " " + node + " 0\n");
    if (kHaveHwloc) {
      EXPECT_NE(run.err.find("tarvo: rank " + rank + " on " + node + " bound to CPUs "), std::string::npos) << run.err;
    }
  }
  EXPECT_TRUE(AllGone());
  if (!kHaveHwloc) return;
  // The dry run's agents tell their nodes' topologies and start no rank:
  // its map is the one the ranks reported. GPUs asked of nodes without any
  // refuse the run, naming the first, before any rank starts.
  auto mapLines = [](const std::string& err) {
    std::vector<std::string> lines;
    for (size_t at = err.find("tarvo: rank "); at != std::string::npos; at = err.find("tarvo: rank ", at + 1)) {
      lines.push_back(err.substr(at, err.find('\n', at) - at));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  testutil::Run("rm -f " + dir_ + "/out.* " + dir_ + "/pid.*");
  const std::string env = "TARVO_OUTPUT=out.%h.%r TARVO_REPORT_BINDING=1 TARVO_BIND=core";
  struct Case {
    const char* env;
    int status;
    const char* out;
  } cases[] = {{" TARVO_DRY_RUN=1", 0, ""},
               {" TARVO_DRY_RUN=1 TARVO_GPUS_PER_RANK=1", 255, "ERROR-Control Process: TARVO_GPUS_PER_RANK=1: n1 has no GPU\n"},
               {" TARVO_GPUS_PER_RANK=1", 255, "ERROR-Control Process: TARVO_GPUS_PER_RANK=1: n1 has no GPU\n"}};
  for (const Case& c : cases) {
    testutil::RunResult dry = testutil::Run(Command("", env + c.env), 60);
    EXPECT_EQ(dry.status, c.status) << c.env << dry.err;
    EXPECT_EQ(dry.out, c.out) << c.env;
    EXPECT_EQ(mapLines(dry.err), c.status == 0 ? mapLines(run.err) : std::vector<std::string>()) << c.env << dry.err;
    EXPECT_EQ(mapLines(dry.err).size(), c.status == 0 ? 4u : 0u) << c.env;
    EXPECT_TRUE(Pids().empty() && testutil::Run("ls " + dir_ + " | grep -c '^out\\.'").out == "0\n") << c.env;
  }
}

TEST_F(SlurmMode, AKilledRankEndsTheRun) {
  testutil::RunResult run;
  std::thread killer([&] {
    if (WaitUntil(30, [&] { return Pids().size() == 4; })) kill(Pids()[2], SIGKILL);
  });
  run = testutil::Run(Command("hold") + "; echo status=$?", 60);
  killer.join();
  EXPECT_NE(run.out.find("status=137"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.err.find(" on n1) was killed by signal 9 (Killed); ending the run"), std::string::npos) << run.err;
  EXPECT_TRUE(AllGone());
}

// A report printed with stdio's default buffering on both nodes, then a
// rank aborts: every line of every rank reaches tarvo's output, whole.
TEST_F(SlurmMode, EveryLineWrittenBeforeAnAbortComesOutWhole) {
  testutil::RunResult run = testutil::Run(Command("report"), 90);
  EXPECT_NE(run.status, 0);
  std::string report;  // without the script's own first line
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 7, "report ") == 0) report += line + "\n";
  }
  EXPECT_EQ(testutil::ReportFaults(report, 4, 300), "") << run.err;
  EXPECT_TRUE(AllGone());
}

// The allocation is cancelled by its id, as the cluster knows it; a second
// cluster beside this one (ports, munge and configuration of its own) keeps
// its running job.
TEST_F(SlurmMode, CancellingTheAllocationEndsEveryRankAndNoOtherClustersJob) {
  const std::string other = dir_ + "/other", other_conf = "SLURM_CONF=" + other + "/slurm.conf ";
  std::string why, job;
  ASSERT_TRUE(StartCluster(other, "SLURM_CI_NODES=1", &why)) << why;
  testutil::RunResult submitted = testutil::Run(other_conf + other + "/enter sbatch --parsable --wrap \"sleep 60\"", 30);
  job = submitted.out.substr(0, submitted.out.find_first_not_of("0123456789"));
  std::thread canceller([&] {
    if (WaitUntil(30, [&] { return Pids().size() == 4; })) {
      testutil::Run("SLURM_CONF=" + conf_ + " scancel $(SLURM_CONF=" + conf_ + " squeue -h -o %i)", 30);
    }
  });
  testutil::RunResult run = testutil::Run(Command("hold") + "; echo status=$?", 60);
  canceller.join();
  EXPECT_EQ(run.out.find("status=0"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(Pids().size(), 4u);
  EXPECT_TRUE(AllGone());
  EXPECT_FALSE(job.empty()) << submitted.out << submitted.err;
  const std::string state = testutil::Run(other_conf + "squeue -h -o %T -j " + job, 30).out;
  EXPECT_TRUE(state == "RUNNING\n" || state == "PENDING\n") << state;
  StopCluster(other);
}

// MPI programs over both nodes: each node's agent serves its ranks (PMI-1
// for MPICH, PMIx for Open MPI, whose ranks must not find the server that
// srun starts for SLURM_MPI_TYPE=pmix), and the shared-memory groups are
// the nodes (the cluster's two nodes are one machine: each node's segments
// go to its own directory).
TEST_F(SlurmMode, MpiProgramsSeeTheirNodes) {
  struct Case {
    const char* library;
    std::string probe, words, env, want;
  } cases[] = {
      {"MPICH (mpicc.mpich)", TARVO_MPI_PROBE, "", "",
       "rank 0 of 4 shm 2 sum 10 ring ok session own\nrank 1 of 4 shm 2 sum 10 ring ok session own\n"
       "rank 2 of 4 shm 2 sum 10 ring ok session own\nrank 3 of 4 shm 2 sum 10 ring ok session own\n"},
      {"Open MPI (mpicc.openmpi, libpmix)", TARVO_OMPI_PROBE, " report", "SLURM_MPI_TYPE=pmix",
       "rank 0 of 4 sum 6 shared 2 appnum 0 session shared\nrank 1 of 4 sum 6 shared 2 appnum 0 session shared\n"
       "rank 2 of 4 sum 6 shared 2 appnum 0 session shared\nrank 3 of 4 sum 6 shared 2 appnum 0 session shared\n"},
      // python3 names no MPI library: mpi4py's (Open MPI's) is served all the same.
      {"mpi4py (python3 DIR runs DIR/__main__.py)",
       // (a build without libpmix serves no PMIx: skipped with the Open MPI row)
       !std::string(TARVO_OMPI_PROBE).empty() && system("/usr/bin/python3 -c 'import mpi4py' 2>/dev/null") == 0
           ? "/usr/bin/python3"
           : "",
       "",
       "SLURM_MPI_TYPE=pmix", "rank 0 of 4 sum 6\nrank 1 of 4 sum 6\nrank 2 of 4 sum 6\nrank 3 of 4 sum 6\n"},
  };
  testutil::WriteFile(dir_ + "/__main__.py",
                      "import sys\nfrom mpi4py import MPI\nc = MPI.COMM_WORLD\n"
                      "sys.stdout.write('rank %d of %d sum %d\\n' % (c.Get_rank(), c.Get_size(), c.allreduce(c.Get_rank())))\n");
  for (const Case& c : cases) {
    if (c.probe.empty()) {
      std::cerr << c.library << " not found: its run is skipped\n";
      continue;
    }
    std::string command = Command("", c.env);
    command.replace(command.find(" rank "), 6, " " + c.probe + " " + dir_ + c.words + " ");
    testutil::RunResult run = testutil::Run(command + " | sort", 90);
    EXPECT_EQ(run.out, c.want) << c.library << "\n" << run.err;
  }
}

// MPI_Comm_spawn under Slurm: a parent on each node spawns two children
// on the second node (the `host` key names it as Slurm does), and all four
// sum over their merged communicator.
TEST_F(SlurmMode, OpenMpiSpawnsOntoTheNodeThatTheHostKeyNames) {
  const std::string probe = TARVO_OMPI_PROBE;
  if (probe.empty()) GTEST_SKIP() << "mpicc.openmpi or libpmix not found";
  std::string command = Command("", "SLURM_MPI_TYPE=pmix TARVO_TIMEOUT=60");
  command.replace(command.find("-np 4 rank "), 11, "-np 2 " + probe.substr(0, probe.rfind('/')) + "/ompi_spawn " + dir_ + " merge@n2");
  testutil::RunResult run = testutil::Run(command + " | sort", 90);
  EXPECT_EQ(run.out, "child 2 of 4: sum 10\nchild 3 of 4: sum 10\nparent 0 of 4: sum 10\nparent 1 of 4: sum 10\n") << run.err;
  const std::vector<pid_t> pids = support::PidsIn(dir_);
  EXPECT_EQ(pids.size(), 4u);
  EXPECT_TRUE(support::Survivors(pids).empty());
}

// A deadlocked MPICH program at the time limit: each node's agent reads
// its ranks' call stacks, and tarvo merges them before it ends the run. A
// loaded machine can keep ranks in MPI_Init past the limit: the case then
// runs again with twice the limit (6, 12, 24 s).
TEST_F(SlurmMode, TheTimeLimitSaysWhereEveryRankIs) {
  for (const std::string& program : {std::string(TARVO_STUCK_MPICH), std::string(TARVO_STUCK_OMPI)}) {
    if (program.empty()) {
      std::cerr << "a deadlocked program is not built (mpicc.mpich or mpicc.openmpi with libpmix not found)\n";
      continue;
    }
    const std::string pids = dir_ + "/stuck";
    testutil::RunResult run;
    for (int seconds = 6; seconds <= 24; seconds *= 2) {
      testutil::Run("rm -rf " + pids + " && mkdir -p " + pids);
      std::string command = Command("", "TARVO_TIMEOUT=" + std::to_string(seconds));
      command.replace(command.find(" rank "), 6, " " + program + " " + pids + " ");
      run = testutil::Run(command + "; echo status=$?", 90);
      EXPECT_TRUE(support::Survivors(support::PidsIn(pids)).empty()) << program;
      // each pid is written once its rank's MPI_Init returned
      if (support::PidsIn(pids).size() == 4 && run.err.find("MPI_Init") == std::string::npos) break;
      std::cerr << program << ": not every rank was past MPI_Init at the limit of " << seconds << " s\n";
    }
    EXPECT_NE(run.out.find("status=124"), std::string::npos) << program << "\n" << run.out << run.err;
    if (run.err.find("not read: not permitted to read it") != std::string::npos) {
      GTEST_SKIP() << "ptrace is not permitted here: " << run.err;
    }
#if TARVO_TESTS_LIBDW
    const size_t root = run.err.find("tarvo: where the 4 ranks are (");
    const size_t barrier = run.err.find("\ntarvo:     ranks 0,2-3: waiting_in_barrier > ");
    const size_t recv = run.err.find("\ntarvo:     rank 1: stuck_in_recv > ");
    EXPECT_TRUE(root != std::string::npos && root < barrier && barrier < recv && recv != std::string::npos)
        << program << "\n" << run.err;
#else
    EXPECT_NE(run.err.find("not read: call stacks are not available in this build (no libdw)"), std::string::npos)
        << run.err;
#endif
  }
}

// A debugger attached to tarvo finds each rank's program on its node
// through the MPIR table: the pid that the rank wrote itself ($$ of the
// rank's script, which then execs sleep), not its agent's.
TEST_F(SlurmMode, TheMpirTableNamesEveryRanksProgramOnItsNode) {
  if (testutil::Run("command -v gdb").status != 0) GTEST_SKIP() << "gdb not found";
  std::string command = Command("hold");
  command.replace(command.find(std::string(TARVO_BIN_DIR) + "/tarvo -np"), 0,
                  "sh -c 'echo $$ > tarvo.pid && exec \"$0\" \"$@\"' ");
  const pid_t shell = fork();
  if (shell == 0) {
    execl("/bin/sh", "sh", "-c", (command + " >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitUntil(60, [&] { return Pids().size() == 4; }));
  const pid_t tarvo = static_cast<pid_t>(std::atol(testutil::ReadFile(dir_ + "/tarvo.pid").c_str()));
  testutil::WriteFile(dir_ + "/table.gdb",
                      "printf \"table %d %d\\n\", MPIR_proctable_size, MPIR_debug_state\n"
                      "set $i = 0\n"
                      "while $i < MPIR_proctable_size\n"
                      "  printf \"entry %s %d\\n\", MPIR_proctable[$i].host_name, MPIR_proctable[$i].pid\n"
                      "  set $i = $i + 1\n"
                      "end\n");
  std::string out;
  for (int tries = 0; tries < 10 && out.find("table 4 1\n") == std::string::npos; ++tries) {
    out = testutil::Run("gdb -nx -batch -p " + std::to_string(tarvo) + " -x " + dir_ + "/table.gdb 2>&1", 30).out;
  }
  EXPECT_NE(out.find("table 4 1\n"), std::string::npos) << out;
  const std::vector<pid_t> pids = Pids();
  for (size_t r = 0; r < pids.size(); ++r) {
    EXPECT_NE(out.find(" " + std::to_string(pids[r]) + "\n"), std::string::npos) << "rank " << r << "\n" << out;
  }
  kill(tarvo, SIGTERM);
  int status = 0;
  waitpid(shell, &status, 0);
  EXPECT_TRUE(AllGone());
}

// The test cluster never takes over a directory or port in use: one line
// says why, and the directory it found is left as it was.
TEST(SlurmTestCluster, RefusesToStartWhereItsDirectoryOrAPortIsTaken) {
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/kept", "x");
  int taken = 0;
  const int listener = support::LoopbackTcpListener(&taken);
  ASSERT_GE(listener, 0);
  const std::string port = std::to_string(taken);
  struct Case {
    std::string env, line;
  } cases[] = {
      {"SLURM_CI_DIR=" + dir, "start-slurm: refused: " + dir + " exists"},
      {"SLURM_CI_DIR=" + dir + "/new SLURM_CI_CTLD_PORT=" + port, "start-slurm: refused: the controller's port " + port + " is taken\n"},
      {"SLURM_CI_DIR=" + dir + "/new SLURM_CI_CTLD_PORT=1 SLURM_CI_NODE_PORT=" + port, "start-slurm: refused: a node port of " + port + "-"},
  };
  for (const Case& c : cases) {
    testutil::RunResult r = testutil::Run(c.env + " bash " + kScripts + "/start-slurm.sh", 30);
    EXPECT_EQ(r.status, 2) << c.env;
    EXPECT_EQ(r.err.rfind(c.line, 0), 0u) << c.env << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  close(listener);
  EXPECT_EQ(testutil::ReadFile(dir + "/kept"), "x");
  EXPECT_NE(access((dir + "/new").c_str(), F_OK), 0);
}

TEST(SlurmModeRefusal, OutsideAnAllocationOrWithAMachineFile) {
  for (const char* args : {"-np 2 true", "-mf hosts -np 2 true"}) {
    testutil::RunResult r = testutil::Run("cd /tmp && env -u SLURM_JOB_ID SLURM_JOB_NODELIST=n1 TARVO_LAUNCH=slurm " +
                                          testutil::Tarvo() + " " + args);
    EXPECT_EQ(r.status, 255) << args;
    EXPECT_EQ(r.out.rfind("ERROR-Control Process: TARVO_LAUNCH=slurm ", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
}

TEST(HostList, ExpandsSlurmsCompressedForm) {
  std::vector<std::string> hosts;
  ASSERT_TRUE(spawn::ExpandHostList("n[1-3,7],gpu[08-10],login", &hosts));
  EXPECT_EQ(hosts, (std::vector<std::string>{"n1", "n2", "n3", "n7", "gpu08", "gpu09", "gpu10", "login"}));
  for (const char* bad : {"", "n[", "n[3-1]", "n[1-2", "n]1", "n[a]", "a,,b", "n[1-99999999]"}) {
    std::vector<std::string> none;
    EXPECT_FALSE(spawn::ExpandHostList(bad, &none)) << bad;
  }
}

}  // namespace
