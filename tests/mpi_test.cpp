// Unmodified MPICH programs under tarvo: tests/mpi/mpi_probe.c, built with
// mpicc.mpich, run locally, in host mode and with per-rank remote shells
// over the loopback sshd (hosts 127.0.0.2 and up, several "hosts" of this
// machine), and the PMI-1 server's TCP endpoint against strangers. The
// Slurm cluster's run is in slurm_test.cpp.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pmi/pmi1_server.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/processes.h"
#include "tests/support/mpi_run.h"

namespace {

using support::LocalName;
using support::SortedLines;
using Placement = support::MpiPlacement;

const std::string kProbe = TARVO_MPI_PROBE;  // empty: mpicc.mpich was not found

// "rank R of N shm S sum T ring ok session E" for every rank, sorted.
std::string Expected(int size, const std::vector<int>& shmOfRank, const std::string& session) {
  std::vector<std::string> lines;
  for (int r = 0; r < size; ++r) {
    lines.push_back("rank " + std::to_string(r) + " of " + std::to_string(size) + " shm " +
                    std::to_string(shmOfRank[static_cast<size_t>(r)]) + " sum " + std::to_string(size * (size + 1) / 2) +
                    " ring ok session " + session);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

class MpiRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kProbe.empty()) GTEST_SKIP() << "mpicc.mpich not found: the MPI tests need mpich and libmpich-dev";
  }

  bool Remote() { return runs_.Remote(); }
  std::unique_ptr<harness::LauncherRun> Start(const Placement& p, const std::string& mode, std::string* dir) {
    return runs_.Start(p, kProbe, mode, dir);
  }

  support::MpiRuns runs_;
};

const std::vector<Placement>& Placements() {
  static const std::vector<Placement> all = {
      {"local", "rank", {"-np", "4"}, {}},
      {"host mode", "host", {"-np", "6"}, {LocalName(), "127.0.0.2", "127.0.0.3"}},
      {"per-rank remote shells", "rank", {"-np", "4"}, {"127.0.0.2", "127.0.0.3"}},
  };
  return all;
}

TEST_F(MpiRun, RanksSizesAllreduceRingAndSharedMemoryGroupsFollowThePlacement) {
  // Ranks share a node exactly when their hosts are the same. Each rank
  // that tarvo or an agent starts leads a session (its own share of the
  // processors); a remote shell's rank is in the shell's.
  const std::vector<std::vector<int>> shm = {{4, 4, 4, 4}, {2, 2, 2, 2, 2, 2}, {2, 2, 2, 2}};
  const char* session[] = {"own", "own", "shared"};
  for (size_t k = 0; k < Placements().size(); ++k) {
    const Placement& p = Placements()[k];
    if (!p.hosts.empty() && !Remote()) continue;
    std::string dir;
    auto run = Start(p, "", &dir);
    EXPECT_EQ(run->Wait(90), 0) << p.name << "\n" << run->Stderr();
    EXPECT_EQ(SortedLines(run->Stdout()), Expected(static_cast<int>(shm[k].size()), shm[k], session[k])) << p.name << run->Stderr();
    EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty()) << p.name;
    testutil::Run("rm -rf " + dir);
  }
}

// MPI_Abort from rank 1 ends the run with its status; a rank killed before
// its MPI_Init is over ends it as a killed rank does; one that returns 0
// from main without MPI_Finalize while the others wait in MPI_Barrier (which
// only the network carries) ends it as a failure, in every placement.
// Nothing is left.
TEST_F(MpiRun, AbortARankKilledInInitAndOneThatSkipsFinalizeEndTheRun) {
  struct Case {
    const char* mode;
    int status;
    std::string report;
    bool everyPlacement;
  } cases[] = {
      {"abort", 7, " called abort with status 7; ending the run\n", false},
      {"kill", 137, " was killed by signal 9 (Killed); ending the run\n", false},
      {"nofinalize", 1, " ended without MPI_Finalize; ending the run\n", true},
  };
  for (size_t k = 0; k < Placements().size(); ++k) {
    const Placement& p = Placements()[k];
    if (!p.hosts.empty() && !Remote()) continue;
    for (const Case& c : cases) {
      if (k >= 2 && !c.everyPlacement) continue;
      std::string dir;
      auto run = Start(p, c.mode, &dir);
      EXPECT_EQ(run->Wait(90), c.status) << p.name << " " << c.mode << "\n" << run->Stderr();
      // Rank 1's host: tarvo's, an agent's, or a remote shell's.
      const std::string host = k == 0 ? LocalName() : k == 1 ? "127.0.0.2" : "127.0.0.";
      const std::string err = run->Stderr();
      const size_t at = err.find("tarvo: rank 1 (pid ");
      ASSERT_NE(at, std::string::npos) << p.name << " " << c.mode << "\n" << err;
      EXPECT_NE(err.find(" on " + host, at), std::string::npos) << p.name << " " << c.mode << "\n" << err;
      EXPECT_NE(err.find(")" + c.report, at), std::string::npos) << p.name << " " << c.mode << "\n" << err;
      std::vector<pid_t> pids = support::PidsIn(dir);
      EXPECT_FALSE(pids.empty()) << p.name << " " << c.mode;  // rank 1 writes before it fails
      EXPECT_TRUE(support::Survivors(pids).empty()) << p.name << " " << c.mode;
      testutil::Run("rm -rf " + dir);
    }
  }
}

// MPICH's ranks speak PMI-1 alone: by default no PMIx server is started for
// a run of them, neither by tarvo nor by an agent; TARVO_PMIX=1 still
// starts one.
TEST_F(MpiRun, APmixServerIsStartedForMpichRanksOnlyWhenAskedFor) {
  const struct {
    const char* pmix;
    const char* seen;
  } cases[] = {{"auto", "none"}, {"1", "served"}};
  for (size_t k = 0; k < 2; ++k) {
    const Placement& p = Placements()[k];
    if (!p.hosts.empty() && !Remote()) continue;
    const int size = k == 0 ? 4 : 6;
    for (const auto& c : cases) {
      std::string dir;
      auto run = runs_.Start(p, kProbe, "pmix", &dir, {{"TARVO_PMIX", c.pmix}});
      EXPECT_EQ(run->Wait(90), 0) << p.name << " " << c.pmix << "\n" << run->Stderr();
      std::vector<std::string> lines;
      for (int r = 0; r < size; ++r) lines.push_back("rank " + std::to_string(r) + " pmix " + c.seen);
      std::sort(lines.begin(), lines.end());
      std::string want;
      for (const std::string& l : lines) want += l + "\n";
      EXPECT_EQ(SortedLines(run->Stdout()), want) << p.name << " " << c.pmix << "\n" << run->Stderr();
      EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty()) << p.name;
      testutil::Run("rm -rf " + dir);
    }
  }
}

// MPI_Publish_name, MPI_Lookup_name and MPI_Unpublish_name through the
// run's one name table, from tarvo's ranks and from an agent's.
TEST_F(MpiRun, NamesArePublishedLookedUpAndUnpublishedAcrossHosts) {
  for (size_t k = 0; k < 2; ++k) {
    const Placement& p = Placements()[k];
    if (!p.hosts.empty() && !Remote()) continue;
    std::string dir;
    auto run = Start(p, "names", &dir);
    EXPECT_EQ(run->Wait(90), 0) << p.name << "\n" << run->Stderr();
    std::string want;
    for (int r = 0; r < (k == 0 ? 4 : 6); ++r) want += "rank " + std::to_string(r) + " names ok\n";
    EXPECT_EQ(SortedLines(run->Stdout()), SortedLines(want)) << p.name << "\n" << run->Stderr();
    EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty()) << p.name;
    testutil::Run("rm -rf " + dir);
  }
}

// A PMI-1 client in python over the rank's PMI_FD: ask() sends one line
// and returns the reply; the client is initialised and knows its `kvs`.
const std::string kPmiClient = R"(import os
fd = int(os.environ["PMI_FD"])
buf = b""
def ask(line):
    global buf
    os.write(fd, (line + "\n").encode())
    while b"\n" not in buf:
        chunk = os.read(fd, 65536)
        if not chunk:
            raise SystemExit(3)
        buf += chunk
    reply, buf = buf.split(b"\n", 1)
    return reply.decode()
ask("cmd=init pmi_version=1 pmi_subversion=1")
kvs = ask("cmd=get_my_kvsname").split("kvsname=")[1]
)";
// Its end: the last barrier and the finalize.
const char kPmiClientEnd[] = "ask(\"cmd=barrier_in\")\nask(\"cmd=finalize\")\n";

// The run's key-value space is bounded (TARVO_KVS_LIMIT, MiB): a client
// that floods it with puts has each put past the bound refused with rc=-1,
// and tarvo says so in one line that names the rank, however many follow.
TEST(PmiBudget, PutsPastTheKeyValueSpaceBoundAreRefusedAndTheRankNamedOnce) {
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/flood.py", kPmiClient + R"(refused = [i for i in range(1300) if "rc=0 " not in ask("cmd=put kvsname=%s key=k%d value=%s" % (kvs, i, "A" * 900))]
print(len(refused), refused[0] if refused else -1, ask("cmd=put kvsname=%s key=last value=%s" % (kvs, "B" * 900)))
)" + kPmiClientEnd);
  harness::Options o;
  o.hold = false;
  o.workdir = dir;
  o.env = {{"TARVO_KVS_LIMIT", "1"}};
  o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
  harness::LauncherRun run({"python3", dir + "/flood.py"}, o);
  EXPECT_EQ(run.Wait(60), 0) << run.Stderr();
  // 1 MiB holds 1160 keys and values of some 904 bytes: the rest are refused.
  std::istringstream out(run.Stdout());
  int refused = 0, first = 0;
  std::string reply;
  out >> refused >> first;
  std::getline(out, reply);
  EXPECT_EQ(refused, 1300 - first) << run.Stdout();
  EXPECT_TRUE(first > 1100 && first < 1170) << run.Stdout();
  EXPECT_EQ(reply, " cmd=put_result rc=-1 msg=key-value_space_full") << run.Stdout();
  const std::string err = run.Stderr();
  const std::string line = ") has filled the run's key-value space (1 MiB, TARVO_KVS_LIMIT); its puts are refused\n";
  EXPECT_EQ(err.rfind("tarvo: rank 0 (pid ", 0), 0u) << err;
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// A client that floods the key-value space with puts (200,000 of some 900
// bytes, over a real socket, the bound at its default 64 MiB) meets the
// bound, and tarvo holds the puts once: its peak resident memory, which the
// client reads from /proc as its parent's, stays under twice the bound (a
// copy of the puts since the last barrier took it to some 155 MB).
TEST(PmiBudget, AFloodOfPutsMeetsTheBoundWithTarvoHoldingThemOnce) {
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/flood.py", kPmiClient + R"(value = "A" * 900
refused = sum("rc=0 " not in ask("cmd=put kvsname=%s key=k%d value=%s" % (kvs, i, value)) for i in range(200000))
parent = os.getppid()
peak = [l.split()[1] for l in open("/proc/%d/status" % parent) if l.startswith("VmHWM:")][0]
print(refused, open("/proc/%d/comm" % parent).read().strip(), peak)
)" + kPmiClientEnd);
  harness::Options o;
  o.hold = false;
  o.workdir = dir;
  o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
  harness::LauncherRun run({"python3", dir + "/flood.py"}, o);
  EXPECT_EQ(run.Wait(120), 0) << run.Stderr();
  std::istringstream out(run.Stdout());
  int refused = 0;
  std::string parent;
  long peakKiB = 0;
  out >> refused >> parent >> peakKiB;
  // 64 MiB hold some 74,000 keys and values of some 906 bytes.
  EXPECT_TRUE(refused > 120000 && refused < 130000) << run.Stdout();
  EXPECT_EQ(parent, "tarvo") << run.Stdout();
  EXPECT_NE(run.Stderr().find("has filled the run's key-value space (64 MiB, TARVO_KVS_LIMIT)"), std::string::npos)
      << run.Stderr();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (The sanitizers' shadow memory and quarantine count in their builds.)
  EXPECT_GT(peakKiB, 64 * 1024) << run.Stdout();
  EXPECT_LT(peakKiB, 128 * 1024) << "tarvo's peak resident memory, KiB";
#endif
}

// A rank that breaks the PMI-1 protocol is cut off and ends the run, named
// with what it sent (80 characters at most), on tarvo's host and on an
// agent's alike; the others, waiting in the barrier, are ended with it.
TEST(PmiBreak, ARankThatBreaksTheProtocolEndsTheRunNamedWithWhatItSent) {
  support::MpiRuns runs;
  const std::string dir = testutil::MakeTempDir();
  const std::string client = dir + "/client.py";
  testutil::WriteFile(client, R"(#!/usr/bin/python3
import os, sys, time
rank = os.environ["PMI_RANK"]
with open(os.path.join(sys.argv[1], rank + ".pid"), "w") as f:
    f.write("%d\n" % os.getpid())
fd = int(os.environ["PMI_FD"])
os.write(fd, b"cmd=init pmi_version=1 pmi_subversion=1\n")
os.read(fd, 4096)
if rank != "1":
    os.write(fd, b"cmd=barrier_in\n")
elif sys.argv[2] == "words":
    os.write(fd, b"hello \x01 world\n")
else:
    os.write(fd, b"cmd=put " + b"A" * 2000 + b"\n")
while os.read(fd, 4096):
    pass
time.sleep(60)
)");
  chmod(client.c_str(), 0755);
  const struct {
    const char* mode;
    std::string report;
  } cases[] = {
      {"words", R"( broke the PMI protocol (a line that is not key=value words) with "hello \x01 world"; ending the run)"},
      {"long", " broke the PMI protocol (a line over 1024 bytes or with a NUL byte) with \"cmd=put " + std::string(72, 'A') +
                   "\"; ending the run"},
  };
  const support::MpiPlacement placements[] = {
      {"local", "rank", {"-np", "3"}, {}},
      {"host mode", "host", {"-np", "6"}, {LocalName(), "127.0.0.2", "127.0.0.3"}},
  };
  for (const support::MpiPlacement& p : placements) {
    if (!p.hosts.empty() && !runs.Remote()) continue;
    for (const auto& c : cases) {
      std::string runDir;
      auto run = runs.Start(p, client, c.mode, &runDir);
      EXPECT_EQ(run->Wait(90), 1) << p.name << " " << c.mode << "\n" << run->Stderr();
      const std::string err = run->Stderr();
      const std::string host = p.hosts.empty() ? LocalName() : "127.0.0.2";
      const size_t at = err.find("tarvo: rank 1 (pid ");
      ASSERT_NE(at, std::string::npos) << p.name << " " << c.mode << "\n" << err;
      EXPECT_NE(err.find(" on " + host + ")" + c.report + "\n", at), std::string::npos)
          << p.name << " " << c.mode << "\n" << err;
      const std::vector<pid_t> pids = support::PidsIn(runDir);
      EXPECT_FALSE(pids.empty()) << p.name << " " << c.mode;  // a rank may be ended before it writes
      EXPECT_TRUE(support::Survivors(pids).empty()) << p.name << " " << c.mode;
      testutil::Run("rm -rf " + runDir);
    }
  }
}

// The TCP endpoint takes a rank only from a host of the run and with a
// PMI_ID that names a rank not yet attached; anyone else is closed and
// counted.
TEST(PmiTcpEndpoint, ClosesStrangersAndWrongIds) {
  pmi::JobFacts facts;
  facts.kvsname = "kvs";
  facts.size = facts.universeSize = 2;
  facts.clients = {{0, 0}, {1, 0}};
  struct Case {
    bool admitted;
    const char* line;
    const char* reply;  // empty: closed
  } cases[] = {
      {false, "cmd=initack pmiid=1\n", ""},
      {true, "cmd=initack pmiid=7\n", ""},
      {true, "cmd=init pmi_version=1 pmi_subversion=1\n", ""},
      {true, "cmd=initack pmiid=1\n", "cmd=initack\ncmd=set size=2\ncmd=set rank=1\ncmd=set debug=0\n"},
      {true, "cmd=initack pmiid=1\n", ""},  // rank 1 is attached already
  };
  pmi::Pmi1Server server(facts);
  bool admit = false;
  int port = 0;
  ASSERT_TRUE(server.Listen(pmi::BindTcpPort(0, &port), [&](const char*) { return admit; },
                            [](const std::string& id) { return id == "1" ? 1 : id == "0" ? 0 : -1; }));
  std::vector<int> keep;
  for (const Case& c : cases) {
    admit = c.admitted;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(write(fd, c.line, strlen(c.line)), static_cast<ssize_t>(strlen(c.line)));
    std::vector<pmi::ServerEvent> events;
    std::string got;
    for (int round = 0; round < 200 && (*c.reply == '\0' || got.size() < strlen(c.reply)); ++round) {
      std::vector<pollfd> fds;
      server.Fds(&fds);
      poll(fds.data(), fds.size(), 10);
      server.OnReady(fds.data(), fds.size(), 0, &events);
      char buffer[512];
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      if (n == 0) break;  // closed
      if (*c.reply == '\0' && !events.empty()) break;
    }
    EXPECT_EQ(got, c.reply) << c.line;
    const bool stranger = std::any_of(events.begin(), events.end(),
                                      [](const pmi::ServerEvent& e) { return e.kind == pmi::ServerEvent::kStranger; });
    EXPECT_EQ(stranger, *c.reply == '\0') << c.line;
    keep.push_back(fd);
  }
  for (int fd : keep) close(fd);
}

}  // namespace
