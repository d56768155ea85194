// Inside a real Grid Engine job (tests/sge/start-sge.sh: sge_qmaster and
// sge_execd on this machine, a queue of 8 slots and the tightly integrated
// parallel environment "mpi"), started for each test on free ports and in a
// directory of its own, and stopped whatever happens; skipped, with one
// line, where it cannot start. `qrsh -pe mpi 4` runs `tarvo -np 4`, which
// takes its hosts and slots from the job's PE_HOSTFILE by itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"
#include "tests/support/processes.h"
#include "tests/support/wait.h"

namespace {

const std::string kScripts = std::string(TARVO_SOURCE_DIR) + "/tests/sge";

// Two TCP ports of 127.0.0.1 that are free now (held together, so that
// they differ).
bool FreePorts(int* a, int* b) {
  int fds[2] = {-1, -1};
  int ports[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    fds[k] = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fds[k] < 0 || bind(fds[k], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fds[k], reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      break;
    }
    ports[k] = ntohs(addr.sin_port);
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  *a = ports[0];
  *b = ports[1];
  return ports[0] > 0 && ports[1] > 0;
}

bool PortListens(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool open = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return open;
}

std::string LastLine(const std::string& text) {
  std::string last;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) last = line;
  }
  return last;
}

class GridEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/usr/lib/gridengine/sge_qmaster", X_OK) != 0 ||
        access("/usr/lib/gridengine/sge_execd", X_OK) != 0 || access("/usr/lib/gridengine/qrsh", X_OK) != 0) {
      GTEST_SKIP() << "needs root and gridengine-master, gridengine-exec and gridengine-client";
    }
    dir_ = testutil::MakeTempDir();
    // The cluster's administrator (sgeadmin) passes through it.
    chmod(dir_.c_str(), 0755);
    cluster_ = dir_ + "/cluster";
    if (!FreePorts(&qmasterPort_, &execdPort_)) GTEST_SKIP() << "no free ports on 127.0.0.1 for the Grid Engine cluster";
    const testutil::RunResult up =
        testutil::Run(Knobs() + "SGE_CI_SLOTS=8 bash " + kScripts + "/start-sge.sh", 90);
    // A cluster that starts part-way is stopped by the script itself.
    if (up.status == 2) GTEST_SKIP() << "the Grid Engine cluster's ports or directory are taken: " << LastLine(up.err);
    if (up.status != 0) GTEST_SKIP() << "the Grid Engine cluster did not start: " << LastLine(up.err);
    started_ = true;
    std::istringstream pids(testutil::ReadFile(cluster_ + "/pids"));
    for (std::string pid, name; pids >> pid >> name;) daemons_.push_back(std::atoi(pid.c_str()));
    work_ = testutil::MakeTempDir();
    chmod(work_.c_str(), 0755);
    // Rank 1 fails at once; the others wait to be ended.
    testutil::WriteFile(work_ + "/rank",
                        "#!/bin/sh\n"
                        "echo $$ > $TARVO_RANK.pid\n"
                        "[ $TARVO_RANK = 1 ] && exit 3\n"
                        "exec sleep 60\n");
    chmod((work_ + "/rank").c_str(), 0755);
  }

  void TearDown() override {
    if (!started_) return;
    testutil::Run(Knobs() + "bash " + kScripts + "/stop-sge.sh", 90);
    // The cluster is left as it was found: its daemons, its directory and
    // its ports gone, and every rank ended.
    EXPECT_TRUE(support::Survivors(daemons_, 10000).empty()) << "a daemon of the cluster is left";
    struct stat st;
    EXPECT_NE(stat(cluster_.c_str(), &st), 0) << cluster_ << " is left";
    EXPECT_FALSE(PortListens(qmasterPort_) || PortListens(execdPort_)) << "a port of the cluster is still open";
    EXPECT_TRUE(support::Survivors(support::PidsIn(work_)).empty()) << "a rank is left";
  }

  std::string Knobs() const {
    return "SGE_CI_DIR=" + cluster_ + " SGE_CI_QMASTER_PORT=" + std::to_string(qmasterPort_) +
           " SGE_CI_EXECD_PORT=" + std::to_string(execdPort_) + " ";
  }

  // `tarvo -np 4 command` inside `qrsh -pe mpi 4`, which waits for its
  // slots (-now n) and passes the test's environment on (-V), so that the
  // job finds the built programs first on its PATH and Open MPI's ranks
  // keep their TCP transport on loopback, not on this machine's own address.
  testutil::RunResult InAJob(const std::string& command) const {
    return testutil::Run(". " + cluster_ + "/default/common/settings.sh && cd " + work_ + " && PATH=" +
                             std::string(TARVO_BIN_DIR) +
                             ":$PATH OMPI_MCA_btl_tcp_if_include=lo qrsh -V -now n -pe mpi 4 -cwd tarvo -np 4 " + command,
                         90);
  }

  // No job left in the cluster and none of its slots in use.
  bool Idle() const {
    const testutil::RunResult q = testutil::Run(". " + cluster_ + "/default/common/settings.sh && qstat -u \"*\" && "
                                                "qstat -f -q all.q | grep -c \" 0/0/8 \"",
                                                30);
    return q.status == 0 && q.out == "1\n";
  }

  std::string dir_, cluster_, work_;
  int qmasterPort_ = 0, execdPort_ = 0;
  bool started_ = false;
  std::vector<pid_t> daemons_;
};

// An MPI program of each library runs on the job's four slots, served by
// tarvo (PMI-1 for MPICH, PMIx for Open MPI), and the job ends with it.
TEST_F(GridEngine, RunsAnMpiProgramOfEachLibraryOnTheJobsSlots) {
  const struct {
    const char* library;
    std::string probe;
    const char* mode;
    const char* line;  // rank 0's line; the others differ in their rank alone
  } programs[] = {
      {"MPICH", TARVO_MPI_PROBE, "", "rank 0 of 4 shm 4 sum 10 ring ok session own"},
      {"Open MPI", TARVO_OMPI_PROBE, " report", "rank 0 of 4 sum 6 shared 4 appnum 0 session shared"},
  };
  int ran = 0;
  for (const auto& p : programs) {
    if (p.probe.empty()) {
      std::cerr << p.library << "'s probe is not built: its case is skipped\n";
      continue;
    }
    SCOPED_TRACE(p.library);
    ++ran;
    const testutil::RunResult r = InAJob(p.probe + " " + work_ + p.mode);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string want;
    for (int rank = 0; rank < 4; ++rank) {
      std::string line = p.line;
      line[5] = static_cast<char>('0' + rank);
      want += line + "\n";
    }
    EXPECT_EQ(testutil::SortedLines(r.out), want);
    EXPECT_EQ(r.err, "");
  }
  if (ran == 0) GTEST_SKIP() << "neither MPI probe is built (mpicc.mpich, mpicc.openmpi)";
  EXPECT_TRUE(support::WaitUntil(20000, [&] { return Idle(); }, 500)) << "the job's slots were not freed";
}

// A rank that fails ends tarvo with its status, which ends the job, and
// Grid Engine frees its slots.
TEST_F(GridEngine, ARankThatFailsEndsTheJobAndItsSlotsAreFreed) {
  const testutil::RunResult r = InAJob("rank");
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("tarvo: rank 1 (pid "), std::string::npos) << r.err;
  EXPECT_TRUE(support::WaitUntil(20000, [&] { return Idle(); }, 500)) << "the job or its slots are left";
}

}  // namespace
