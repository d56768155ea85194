// The launch agents: a host-mode run over four loopback hosts of a private
// sshd (placement, one agent per host, the launcher's own ranks started
// directly, carrier's environment, TARVO_EXPORT, labelled output), and the
// readers of both sides of the agent protocol on raw messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "common/agent_wire.h"
#include "common/rank_exec.h"
#include "common/rank_place.h"
#include "launcher/run/AgentHub.h"
#include "launcher/spawn/Inputs.h"
#include "tests/launcher_harness.h"
#include "tests/support/child.h"
#include "tests/support/processes.h"
#include "tests/support/sshd.h"
#include "tests/run_util.h"

namespace {

std::string LocalName() {
  char name[256] = {0};
  gethostname(name, sizeof name - 1);
  return std::string(name).substr(0, 31);
}

// What a probe rank wrote: KEY=VALUE lines.
std::map<std::string, std::string> Probe(const std::string& path) {
  std::map<std::string, std::string> out;
  std::istringstream in(testutil::ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

class HostModeRun : public support::SshdTest {
 protected:
  void SetUp() override {
    support::SshdTest::SetUp();
    if (IsSkipped()) return;
    work_ = sshd().Dir();  // the run's directory too: the ranks write beside the keys
    testutil::WriteFile(work_ + "/probe",
                        "#!/bin/sh\n"
                        "f=rank.$TARVO_RANK\n"
                        "{ echo dir=$(pwd); echo args=\"$*\"; echo parent=$PPID;"
                        "  echo host=$(echo \"$SSH_CONNECTION\" | cut -d' ' -f3);"
                        "  echo mine=\"$MINE\"; echo hostname=\"$HOSTNAME\"; env | grep '^TARVO_'; } > $f.tmp && mv $f.tmp $f\n"
                        "echo \"line of $TARVO_RANK\"\n");
    ASSERT_EQ(chmod((work_ + "/probe").c_str(), 0755), 0);
    // The launcher's own host takes ranks 0 and 4, and by its loopback
    // address ranks 1 and 5; the unknown name is skipped. (It has an empty
    // label: the resolver refuses such a name itself, so no name server is
    // asked.)
    testutil::WriteFile(work_ + "/hosts", LocalName() + "\n127.0.0.1\n127.0.0.2\nno.such..host\n127.0.0.3\n");
  }

  harness::Options Opts(const std::string& exportSetting) {
    harness::Options o;
    o.workdir = work_;
    o.hold = false;
    o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
    o.env = {{"TARVO_LAUNCH", "host"}, {"TARVO_LABEL", "1"}, {"MINE", "exported"}, {"HOSTNAME", "launcher-only"}};
    if (!exportSetting.empty()) o.env["TARVO_EXPORT"] = exportSetting;
    return o;
  }

  std::string work_;
};

TEST_F(HostModeRun, PlacesRanksAsTheMachineFileAndStartsOneAgentPerHost) {
  harness::LauncherRun run({"-ssh", "-np", "8", "-mf", "hosts", "probe", "a", "b"}, Opts(""));
  ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
  EXPECT_EQ(run.Stderr(), "");
  // Placement as in rank mode, the unknown name reported on each pass.
  const std::string skipped = "ERROR-Host: no.such..host does NOT exists\nERROR-Please check you machinefile\n";
  std::string out = run.Stdout();
  EXPECT_EQ(out.substr(0, 2 * skipped.size()), skipped + skipped) << out;
  std::multiset<std::string> lines;
  std::istringstream in(out.substr(2 * skipped.size()));
  for (std::string l; std::getline(in, l);) lines.insert(l);
  std::multiset<std::string> want;
  for (int r = 0; r < 8; ++r) want.insert("[" + std::to_string(r) + "] line of " + std::to_string(r));
  EXPECT_EQ(lines, want);

  const char* where[] = {"", "", "127.0.0.2", "127.0.0.3", "", "", "127.0.0.2", "127.0.0.3"};
  std::map<std::string, std::string> parentOf;  // host -> the agent that started its ranks
  for (int r = 0; r < 8; ++r) {
    auto p = Probe(work_ + "/rank." + std::to_string(r));
    ASSERT_FALSE(p.empty()) << "rank " << r << " did not run";
    EXPECT_EQ(p["dir"], work_);
    EXPECT_EQ(p["args"], "a b");
    EXPECT_EQ(p["host"], where[r]) << r;
    EXPECT_EQ(p["TARVO_RANK"], std::to_string(r));
    EXPECT_EQ(p["TARVO_SIZE"], "8");
    EXPECT_EQ(p["TARVO_WORKDIR"], work_);
    EXPECT_EQ(p["mine"], "exported");
    // One start per rank: its parent is tarvo here, the host's agent there.
    if (where[r][0] == '\0') {
      EXPECT_EQ(p["parent"], std::to_string(run.Pid()));
      continue;
    }
    EXPECT_NE(p["hostname"], "launcher-only") << "a variable of the launcher's host was exported";
    if (parentOf.count(where[r]) == 0) {
      parentOf[where[r]] = p["parent"];
    } else {
      EXPECT_EQ(p["parent"], parentOf[where[r]]) << "two agents on " << where[r];
    }
  }
  EXPECT_EQ(parentOf.size(), 2u);
  // The agents end with their ranks.
  for (int i = 0; i < 100; ++i) {
    bool left = false;
    for (const auto& agent : parentOf) left = left || kill(std::atoi(agent.second.c_str()), 0) == 0;
    if (!left) break;
    usleep(50000);
  }
  for (const auto& agent : parentOf) EXPECT_NE(kill(std::atoi(agent.second.c_str()), 0), 0) << agent.first;
}

// A report printed with stdio's default buffering on two remote hosts, then
// a rank aborts: every line of every rank reaches tarvo's output, whole,
// whether agents or per-rank remote shells start the ranks there, and no
// rank or its parent on the host (agent, carrier) is left.
TEST_F(HostModeRun, EveryLineWrittenBeforeAnAbortComesOutWhole) {
  testutil::WriteFile(work_ + "/two", "127.0.0.2\n127.0.0.3\n");
  ASSERT_TRUE(testutil::WriteScript(work_ + "/report",
                                    "#!/bin/sh\necho $$ > rank.$TARVO_RANK.gone\necho $PPID > parent.$TARVO_RANK.gone\n"
                                    "exec " +
                                        std::string(TARVO_TEST_BIN_DIR) + "/report_rank \"$@\"\n"));
  for (const char* launch : {"host", "rank"}) {
    SCOPED_TRACE(launch);
    ASSERT_EQ(testutil::Run("rm -f " + work_ + "/printed.* " + work_ + "/*.gone").status, 0);
    harness::Options o = Opts("");
    o.env.erase("TARVO_LABEL");
    o.env["TARVO_LAUNCH"] = launch;
    harness::LauncherRun run({"-ssh", "-np", "4", "-mf", "two", "report", work_, "300", "1", "abort"}, o);
    EXPECT_NE(run.Wait(90), 0);
    EXPECT_EQ(testutil::ReportFaults(run.Stdout(), 4, 300), "") << run.Stderr();
    const std::vector<pid_t> pids = support::PidsIn(work_, ".gone");
    EXPECT_EQ(pids.size(), 8u);
    EXPECT_EQ(support::Survivors(pids), std::vector<pid_t>());
  }
}

// The private sshd, and so each agent, starts with a soft limit of 64 open
// descriptors under a higher hard one.
class HostModeLowLimit : public HostModeRun {
 protected:
  void SetUp() override {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 1024) GTEST_SKIP() << "a hard limit of open descriptors under 1024";
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    HostModeRun::SetUp();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  }
};

// 100 ranks alive together on one host need more descriptors of their agent
// (terminal, pipe and PMI-1 connection each) than its soft limit allows:
// it takes them, and every rank's line comes out labelled, nothing said.
TEST_F(HostModeLowLimit, AnAgentTakesTheDescriptorsItsRanksNeed) {
  testutil::WriteFile(work_ + "/one", "127.0.0.2\n");
  ASSERT_TRUE(testutil::WriteScript(work_ + "/hold", "#!/bin/sh\necho \"up $TARVO_RANK\"\nexec sleep 3\n"));
  harness::LauncherRun run({"-ssh", "-np", "100", "-mf", "one", "hold"}, Opts(""));
  EXPECT_EQ(run.Wait(120), 0) << run.Stderr();
  EXPECT_EQ(run.Stderr(), "");
  std::string want;
  for (int r = 0; r < 100; ++r) want += "[" + std::to_string(r) + "] up " + std::to_string(r) + "\n";
  EXPECT_EQ(testutil::SortedLines(run.Stdout()), testutil::SortedLines(want));
}

// A remote rank's standard output is a terminal, its standard error not,
// whether an agent or carrier starts it; TARVO_PTY=0 leaves both the
// remote shell's (or the agent's). Through carrier the terminal is as large
// as tarvo's own.
TEST_F(HostModeRun, RemoteStandardOutputIsATerminalUnlessTarvoPtyIsZero) {
  testutil::WriteFile(work_ + "/two", "127.0.0.2\n127.0.0.3\n");
  ASSERT_TRUE(testutil::WriteScript(work_ + "/where",
                                    "#!/bin/sh\n[ -t 1 ] && echo \"out tty\" || echo \"out no\"\n"
                                    "[ -t 1 ] && stty size <&1\n[ -t 2 ] && echo \"err tty\" || echo \"err no\"\n"));
  for (const char* launch : {"host", "rank"}) {
    for (const char* pty : {"1", "0"}) {
      SCOPED_TRACE(std::string(launch) + " TARVO_PTY=" + pty);
      harness::Options o = Opts("");
      o.env.erase("TARVO_LABEL");
      o.env["TARVO_LAUNCH"] = launch;
      o.env["TARVO_PTY"] = pty;
      harness::LauncherRun run({"-ssh", "-np", "2", "-mf", "two", "where"}, o);
      EXPECT_EQ(run.Wait(90), 0) << run.Stderr();
      EXPECT_EQ(testutil::SortedLines(run.Stdout()),
                std::string(*pty == '1' ? "0 0\n0 0\n" : "") + "err no\nerr no\n" +
                    (*pty == '1' ? "out tty\nout tty\n" : "out no\nout no\n"));
    }
  }
  // tarvo at a terminal of 100 columns and 30 rows.
  testutil::RunResult r = testutil::Run("cd " + work_ + " && PATH=" + sshd().ShimDir() + ":" + TARVO_BIN_DIR +
                                        ":/usr/bin:/bin TARVO_LAUNCH=rank script -qec \"stty cols 100 rows 30 && " +
                                        testutil::Tarvo() + " -ssh -np 2 -mf two where\" /dev/null", 90);
  EXPECT_EQ(r.status, 0) << r.err;
  r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
  EXPECT_EQ(testutil::SortedLines(r.out), "30 100\n30 100\nerr no\nerr no\nout tty\nout tty\n");
}

// Inside a batch system's allocation, without -mf or TARVO_LAUNCH, the run
// goes where the allocation's slots say, one agent (one login) per host,
// and round again past its slots, said once.
TEST_F(HostModeRun, RunsWhereEachBatchSystemsAllocationSays) {
  const struct {
    const char* system;
    std::map<std::string, std::string> env;
    const char* fileVariable;  // names the host file, which holds `file`
    const char* file;
  } systems[] = {
      {"PBS", {{"PBS_JOBID", "7.server"}}, "PBS_NODEFILE",
       "127.0.0.2\n127.0.0.2\n127.0.0.3\n127.0.0.3\n127.0.0.3\n127.0.0.4\n"},
      {"LSF", {{"LSB_JOBID", "7"}, {"LSB_MCPU_HOSTS", "127.0.0.2 2 127.0.0.3 3 127.0.0.4 1"}}, nullptr, nullptr},
      // A host of two queues is one host with the sum of their slots.
      {"Grid Engine", {{"JOB_ID", "7"}}, "PE_HOSTFILE",
       "127.0.0.2 2 all.q@a UNDEFINED\n127.0.0.3 2 all.q@b UNDEFINED\n127.0.0.4 1 all.q@c UNDEFINED\n"
       "127.0.0.3 1 b.q@b UNDEFINED\n"},
  };
  const char* where[] = {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.3", "127.0.0.4", "127.0.0.2", "127.0.0.2"};
  for (const auto& sys : systems) {
    SCOPED_TRACE(sys.system);
    harness::Options o;
    o.workdir = work_;
    o.hold = false;
    o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
    o.env = sys.env;
    std::string source = "LSB_MCPU_HOSTS";
    if (sys.file != nullptr) {
      testutil::WriteFile(work_ + "/nodefile", sys.file);
      o.env[sys.fileVariable] = work_ + "/nodefile";
      source = std::string(sys.fileVariable) + "=" + work_ + "/nodefile";
    }
    testutil::WriteFile(sshd().Dir() + "/ssh.log", "");
    for (int r = 0; r < 8; ++r) unlink((work_ + "/rank." + std::to_string(r)).c_str());
    harness::LauncherRun run({"-ssh", "-np", "8", "probe"}, o);
    ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
    EXPECT_EQ(run.Stderr(), "tarvo: 8 ranks on the 6 slots of the allocation (" + source + "): they wrap round its hosts\n");
    EXPECT_EQ(sshd().SshHosts(), "127.0.0.2 127.0.0.3 127.0.0.4 ");
    std::set<std::string> agents;
    for (int r = 0; r < 8; ++r) {
      auto p = Probe(work_ + "/rank." + std::to_string(r));
      ASSERT_FALSE(p.empty()) << "rank " << r << " did not run";
      EXPECT_EQ(p["host"], where[r]) << r;
      agents.insert(p["parent"]);
    }
    EXPECT_EQ(agents.size(), 3u);
    for (int i = 0; i < 100; ++i) {
      bool left = false;
      for (const std::string& agent : agents) left = left || kill(std::atoi(agent.c_str()), 0) == 0;
      if (!left) break;
      usleep(50000);
    }
    for (const std::string& agent : agents) EXPECT_NE(kill(std::atoi(agent.c_str()), 0), 0) << "agent " << agent << " is left";
  }
}

// Grid Engine's `qrsh -inherit` and LSF's `blaunch` start the agents when
// no remote shell is chosen. Neither runs here with more hosts than this
// one, so stand-ins take their words and pass the task on through the
// loopback sshd; Grid Engine's refusal of a task is its own line and its
// status, which ends the run naming the host.
TEST_F(HostModeRun, StartsTheAgentsThroughTheBatchSystemsOwnStarter) {
  const std::string bin = work_ + "/starters";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  for (const char* starter : {"qrsh", "blaunch"}) {
    testutil::WriteFile(bin + "/" + starter,
                        std::string("#!/bin/sh\necho \"") + starter + " $*\" >> " + work_ + "/starts\n" +
                            "[ \"$1\" = -inherit ] && shift\n"
                            "if [ \"$1\" = 127.0.0.4 ]; then\n"
                            "  echo \"error: executing task of job 7 failed: execution daemon on host \\\"$1\\\" didn't accept task\" >&2\n"
                            "  exit 1\n"
                            "fi\n"
                            "exec ssh \"$@\"\n");
    ASSERT_EQ(chmod((bin + "/" + starter).c_str(), 0755), 0);
  }
  testutil::WriteFile(work_ + "/pe_hostfile", "127.0.0.2 2 all.q@a UNDEFINED\n127.0.0.3 2 all.q@b UNDEFINED\n");
  testutil::WriteFile(work_ + "/pe_refused", "127.0.0.2 2 all.q@a UNDEFINED\n127.0.0.4 2 all.q@c UNDEFINED\n");
  const struct {
    std::map<std::string, std::string> env;
    const char* starter;  // how each agent's start begins
    std::set<std::string> hosts;
    int status;
  } cases[] = {
      {{{"JOB_ID", "7"}, {"PE_HOSTFILE", work_ + "/pe_hostfile"}}, "qrsh -inherit ", {"127.0.0.2", "127.0.0.3"}, 0},
      {{{"LSB_JOBID", "7"}, {"LSB_MCPU_HOSTS", "127.0.0.2 2 127.0.0.3 2"}}, "blaunch ", {"127.0.0.2", "127.0.0.3"}, 0},
      {{{"JOB_ID", "7"}, {"PE_HOSTFILE", work_ + "/pe_refused"}, {"TARVO_KILL_GRACE", "1"}}, "qrsh -inherit ",
       {"127.0.0.2", "127.0.0.4"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.begin()->first);
    harness::Options o;
    o.workdir = work_;
    o.hold = false;
    o.exactPath = bin + ":" + sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
    o.env = c.env;
    unlink((work_ + "/starts").c_str());
    harness::LauncherRun run({"-np", "4", "probe"}, o);
    ASSERT_EQ(run.Wait(90), c.status) << run.Stdout() << run.Stderr() << sshd().Log();
    const std::string starts = testutil::ReadFile(work_ + "/starts");
    std::istringstream in(starts);
    std::set<std::string> hosts;
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
      const std::string starter(c.starter);
      ASSERT_EQ(line.rfind(starter, 0), 0u) << starts;
      const std::string host = line.substr(starter.size(), line.find(' ', starter.size()) - starter.size());
      EXPECT_EQ(line.rfind(starter + host + " tarvo-agent ", 0), 0u) << starts;
      hosts.insert(host);
    }
    EXPECT_EQ(count, 2) << starts;
    EXPECT_EQ(hosts, c.hosts) << starts;
    if (c.status == 0) {
      EXPECT_EQ(run.Stderr(), "");
      for (int r = 0; r < 4; ++r) EXPECT_EQ(Probe(work_ + "/rank." + std::to_string(r))["host"], r < 2 ? "127.0.0.2" : "127.0.0.3");
      continue;
    }
    EXPECT_NE(run.Stderr().find("error: executing task of job 7 failed: execution daemon on host \"127.0.0.4\" didn't accept task\n"
                                "tarvo: the agent on 127.0.0.4, with ranks 2-3, is lost: its remote shell (pid "),
              std::string::npos)
        << run.Stderr();
    EXPECT_NE(run.Stderr().find(") exited with status 1; ending the run\n"), std::string::npos) << run.Stderr();
  }
}

TEST_F(HostModeRun, TarvoExportChoosesTheEnvironmentOfTheRemoteRanks) {
  for (const char* setting : {"NONE", "PATH,OTHER"}) {
    harness::LauncherRun run({"-ssh", "-np", "3", "-mf", "hosts", "probe"}, Opts(setting));
    ASSERT_EQ(run.Wait(90), 0) << run.Stderr();
    auto remote = Probe(work_ + "/rank.2");
    EXPECT_EQ(remote["mine"], "") << setting;
    EXPECT_EQ(remote["TARVO_RANK"], "2");
    // The launcher's own ranks have its whole environment, as through carrier.
    EXPECT_EQ(Probe(work_ + "/rank.0")["mine"], "exported");
  }
}

// An agent's rank that cannot start ends with 127 after carrier's report,
// which names the rank's PATH (the launcher's), not the agent's own.
TEST_F(HostModeRun, ARemoteRankThatCannotStartSaysWhyAsCarrier) {
  testutil::WriteFile(work_ + "/remote", "127.0.0.2\n");
  testutil::WriteFile(work_ + "/unrunnable", "#!/bin/sh\n");
  const harness::Options o = Opts("");
  const struct {
    const char* program;
    std::string report;
  } cases[] = {
      {"nowhere", "carrier: nowhere: not found in " + work_ + " nor on PATH " + o.exactPath + "\n"},
      {"./unrunnable", "carrier: " + work_ + "/./unrunnable: Permission denied\n"},
  };
  for (const auto& c : cases) {
    harness::LauncherRun run({"-ssh", "-np", "1", "-mf", "remote", c.program}, o);
    EXPECT_EQ(run.Wait(90), 127) << c.program;
    EXPECT_NE(run.Stderr().find("[0] " + c.report), std::string::npos) << run.Stderr();
  }
}

// A rank's environment is built before its fork as putenv and setenv would
// change the child's own: the same entries in the same order, a duplicate
// name included.
TEST(RankEnvironment, EnvPutChangesItAsTheCLibraryDoes) {
  const struct {
    const char* entry;
    bool keep;
  } steps[] = {{"B=5", false}, {"D=6", false}, {"A=7", false}, {"C=8", true}, {"E=9", true}, {"B", false}};
  std::vector<std::string> built = {"A=1", "B=2", "A=3", "C=4", "B=0"};
  for (const auto& s : steps) EnvPut(&built, s.entry, s.keep);
  std::string want;
  for (const std::string& e : built) want += e + "\n";
  support::ChildResult r = support::RunInChild(testutil::MakeTempDir(), [&] {
    static char a1[] = "A=1", b2[] = "B=2", a3[] = "A=3", c4[] = "C=4", b0[] = "B=0";
    static char* start[] = {a1, b2, a3, c4, b0, nullptr};
    environ = start;
    for (const auto& s : steps) {
      const std::string entry = s.entry;
      const size_t eq = entry.find('=');
      if (s.keep) setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 0);
      else putenv(const_cast<char*>(s.entry));
    }
    for (char** e = environ; *e != nullptr; ++e) printf("%s\n", *e);
    fflush(stdout);
    _exit(0);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, want);
}

// ---- The readers, on raw messages ----

AgentMessage Message(int32_t type, const std::string& payload) {
  std::vector<AgentMessage> out;
  AgentFrameReader reader(type == kAgentHello || type == kAgentStarted || type == kAgentEnded);
  const std::string frame = AgentEncode(type, payload.data(), payload.size());
  EXPECT_TRUE(reader.Feed(frame.data(), frame.size(), &out));
  return out.empty() ? AgentMessage() : out[0];
}

template <typename T>
std::string Bytes(const T& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

TEST(AgentWire, FramesSplitAnywhereAndRefuseWhatTheSideDoesNotSend) {
  AgentRankPid started{3, 77};
  const std::string two = AgentEncode(kAgentStarted, &started, sizeof started) + AgentEncode(kAgentEnded, "123456789012", 12);
  for (size_t cut = 0; cut <= two.size(); ++cut) {
    AgentFrameReader reader(true);
    std::vector<AgentMessage> out;
    ASSERT_TRUE(reader.Feed(two.data(), cut, &out));
    ASSERT_TRUE(reader.Feed(two.data() + cut, two.size() - cut, &out));
    ASSERT_EQ(out.size(), 2u) << cut;
    EXPECT_EQ(out[1].type, kAgentEnded);
  }
  std::vector<AgentMessage> out;
  AgentFrameReader launcherSide(true);
  EXPECT_FALSE(launcherSide.Feed(AgentEncode(kAgentRank, "x", 1).data(), 9, &out));  // the launcher's own type
  AgentFrameReader agentSide(false);
  const AgentFrame huge{kAgentEnv, kAgentMaxPayload + 1};
  EXPECT_FALSE(agentSide.Feed(Bytes(huge).data(), sizeof huge, &out));
  AgentFrameReader wrongSize(false);
  EXPECT_FALSE(wrongSize.Feed(AgentEncode(kAgentSignal, "12345", 5).data(), 13, &out));
}

// An agent of another tarvo, with the run's secret: its hello (that of
// version 1 had no version, and was 68 bytes) is refused with its version;
// a stranger's is refused without one.
TEST(AgentTakeMessage, AHelloOfAnotherVersionIsRefusedWithItsVersion) {
  AgentHello hello{};
  memcpy(hello.secret, "0123456789abcdef0123456789abcdef", 32);
  hello.agent = 0;
  const struct {
    int32_t version;
    size_t size;
    const char* secret;
    int reported;  // -1: no event; 0: logged in
  } cases[] = {
      {kAgentProtocolVersion, sizeof hello, "0123456789abcdef0123456789abcdef", 0},
      {0, kAgentHelloV1Size, "0123456789abcdef0123456789abcdef", 1},
      {kAgentProtocolVersion + 1, sizeof hello, "0123456789abcdef0123456789abcdef", kAgentProtocolVersion + 1},
      {kAgentProtocolVersion + 1, sizeof hello, "0123456789abcdef0123456789abcdeX", -1},
  };
  for (const auto& c : cases) {
    std::vector<AgentLinkState> agents(1);
    std::vector<AgentEvent> events;
    int self = -1;
    hello.version = c.version;
    const bool taken = AgentTakeMessage(Message(kAgentHello, Bytes(hello).substr(0, c.size)), c.secret, &agents, &self,
                                        &events);
    EXPECT_EQ(taken, c.reported == 0) << c.version;
    ASSERT_EQ(events.size(), c.reported < 0 ? 0u : 1u) << c.version;
    if (c.reported > 0) {
      EXPECT_EQ(events[0].kind, AgentEvent::kWrongVersion);
      EXPECT_EQ(events[0].exitCode, c.reported);
    }
  }
}

TEST(AgentTakeMessage, OnlyTheSecretOpensAConnectionAndOnlyItsOwnRanksCount) {
  std::vector<AgentLinkState> agents(2);
  agents[1].ranks = {1, 4};
  agents[1].ended = {0, 0};
  agents[1].live = 2;
  std::vector<AgentEvent> events;
  AgentHello hello{};
  hello.version = kAgentProtocolVersion;
  memcpy(hello.secret, "0123456789abcdef0123456789abcdef", 32);
  hello.agent = 1;
  int self = -1;
  AgentRankPid started{1, 50};
  EXPECT_FALSE(AgentTakeMessage(Message(kAgentStarted, Bytes(started)), "0123456789abcdef0123456789abcdef",
                                &agents, &self, &events))
      << "a report before the hello";
  EXPECT_FALSE(AgentTakeMessage(Message(kAgentHello, Bytes(hello)), "0123456789abcdef0123456789abcdeX", &agents,
                                &self, &events));
  EXPECT_EQ(self, -1);
  ASSERT_TRUE(AgentTakeMessage(Message(kAgentHello, Bytes(hello)), "0123456789abcdef0123456789abcdef", &agents, &self,
                               &events));
  EXPECT_EQ(self, 1);
  int other = -1;
  EXPECT_FALSE(AgentTakeMessage(Message(kAgentHello, Bytes(hello)), "0123456789abcdef0123456789abcdef", &agents,
                                &other, &events))
      << "a second connection for the same agent";
  AgentRankPid foreign{2, 50};
  EXPECT_FALSE(AgentTakeMessage(Message(kAgentStarted, Bytes(foreign)), "", &agents, &self, &events));
  AgentRankEnd end{4, 51, 9};
  EXPECT_TRUE(AgentTakeMessage(Message(kAgentEnded, Bytes(end)), "", &agents, &self, &events));
  EXPECT_FALSE(AgentTakeMessage(Message(kAgentEnded, Bytes(end)), "", &agents, &self, &events)) << "ended twice";
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].kind, AgentEvent::kEnded);
  EXPECT_EQ(events[1].waitStatus, 9);
  EXPECT_EQ(agents[1].live, 1);
}

// A loopback connection to the hub's port; `receiveBuffer` > 0 sets that
// buffer first.
int ConnectToHub(const AgentHub& hub, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(hub.Port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// Polls the hub as the run control does until it is idle, at most `rounds`
// times; the longest OnReady in seconds.
double ServeHub(AgentHub* hub, std::vector<AgentEvent>* events, int rounds = 20, int waitMs = 20) {
  double longest = 0;
  for (int i = 0; i < rounds; ++i) {
    std::vector<pollfd> fds;
    hub->Fds(&fds);
    if (poll(fds.data(), fds.size(), waitMs) <= 0) break;
    const auto start = std::chrono::steady_clock::now();
    hub->OnReady(fds.data(), fds.size(), 0, events);
    longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return longest;
}

// The hub on real loopback connections: a stranger is closed and nothing of
// the run depends on it; the agent with the secret gets its ranks.
TEST(AgentHub, ClosesAStrangerAndSendsTheProvenAgentItsRanks) {
  AgentHub hub({"A=1"});
  ASSERT_TRUE(hub.Open());
  hub.AddRank(hub.AddAgent("h", "", ""), 0, {"p", "1", "2", "127.0.0.1", "3", "4", "0", "1", "/"}, 0);
  auto connect = [&] { return ConnectToHub(hub); };
  auto serve = [&](std::vector<AgentEvent>* events) { ServeHub(&hub, events); };
  AgentHello hello{};
  hello.version = kAgentProtocolVersion;
  memcpy(hello.secret, hub.Secret().data(), hub.Secret().size());
  hello.agent = 0;
  std::vector<AgentEvent> events;
  int stranger = connect();
  hello.secret[0] ^= 1;
  const std::string forged = AgentEncode(kAgentHello, &hello, sizeof hello);
  ASSERT_EQ(send(stranger, forged.data(), forged.size(), 0), static_cast<ssize_t>(forged.size()));
  serve(&events);
  char byte;
  EXPECT_EQ(recv(stranger, &byte, 1, 0), 0) << "the stranger's connection is closed";
  EXPECT_TRUE(events.empty());
  close(stranger);

  int agent = connect();
  hello.secret[0] ^= 1;
  const std::string proof = AgentEncode(kAgentHello, &hello, sizeof hello);
  ASSERT_EQ(send(agent, proof.data(), proof.size(), 0), static_cast<ssize_t>(proof.size()));
  serve(&events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, AgentEvent::kLoggedIn);
  AgentFrameReader reader(false);
  std::vector<AgentMessage> got;
  char buffer[4096];
  for (int i = 0; i < 10 && got.size() < 3; ++i) {
    ssize_t n = recv(agent, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    ASSERT_TRUE(reader.Feed(buffer, static_cast<size_t>(n), &got));
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].type, kAgentEnv);
  EXPECT_EQ(got[1].type, kAgentRank);
  EXPECT_EQ(got[2].type, kAgentAllSent);
  close(agent);
  serve(&events);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].kind, AgentEvent::kLost) << "its rank was still running";
}


void SendHello(const AgentHub& hub, int fd, int agent) {
  AgentHello hello{};
  hello.version = kAgentProtocolVersion;
  memcpy(hello.secret, hub.Secret().data(), hub.Secret().size());
  hello.agent = agent;
  const std::string proof = AgentEncode(kAgentHello, &hello, sizeof hello);
  ASSERT_EQ(send(fd, proof.data(), proof.size(), 0), static_cast<ssize_t>(proof.size()));
}

// An agent that reads slowly holds up nothing: the hub writes what the
// socket takes and the rest as poll finds room, a later signal behind it.
TEST(AgentHub, WritesToASlowAgentWithoutWaitingForIt) {
  AgentHub hub{std::vector<std::string>()};
  ASSERT_TRUE(hub.Open());
  const int agent = hub.AddAgent("h", "", "");
  const int kRanks = 16;  // 8 MiB of ranks: more than both sockets' buffers hold
  for (int r = 0; r < kRanks; ++r) hub.AddRank(agent, r, {"p", std::string(512 * 1024, 'a' + r)}, 0);
  const int fd = ConnectToHub(hub, 65536);
  SendHello(hub, fd, agent);
  std::vector<AgentEvent> events;
  EXPECT_LT(ServeHub(&hub, &events), 3.0) << "the hub waited for the agent to read";
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, AgentEvent::kLoggedIn);
  std::vector<pollfd> fds;
  hub.Fds(&fds);
  ASSERT_EQ(fds.size(), 2u);
  EXPECT_TRUE(fds[1].events & POLLOUT) << "all sent at once: the test shows nothing";
  hub.Signal(SIGUSR1);

  AgentFrameReader reader(false);
  std::vector<AgentMessage> got;
  std::vector<char> buffer(1 << 16);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((got.empty() || got.back().type != kAgentSignal) && std::chrono::steady_clock::now() < until) {
    ServeHub(&hub, &events, 1, 0);
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0) {
      ASSERT_TRUE(reader.Feed(buffer.data(), static_cast<size_t>(n), &got));
    }
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(kRanks) + 3);
  EXPECT_EQ(got[0].type, kAgentEnv);
  for (int r = 0; r < kRanks; ++r) {
    const AgentMessage& m = got[static_cast<size_t>(r) + 1];
    ASSERT_EQ(m.type, kAgentRank);
    ASSERT_EQ(m.payload.size(), sizeof(AgentRankHead) + 2 + 512 * 1024 + 1) << r;
    EXPECT_EQ(m.payload[m.payload.size() - 2], static_cast<char>('a' + r)) << r;
  }
  EXPECT_EQ(got[kRanks + 1].type, kAgentAllSent);
  EXPECT_EQ(got[kRanks + 2].type, kAgentSignal);
  EXPECT_EQ(events.size(), 1u) << "the agent was lost";
  close(fd);
}

// The frame types that `fd` receives within `rounds` serves of the hub,
// until `count` have come.
std::vector<int32_t> FramesOf(AgentHub* hub, int fd, size_t count, std::vector<AgentEvent>* events, int rounds = 50) {
  AgentFrameReader reader(false);
  std::vector<AgentMessage> got;
  char buffer[4096];
  for (int i = 0; i < rounds && got.size() < count; ++i) {
    ServeHub(hub, events, 1, 10);
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0 && !reader.Feed(buffer, static_cast<size_t>(n), &got)) break;
  }
  std::vector<int32_t> types;
  for (const AgentMessage& m : got) types.push_back(m.type);
  return types;
}

// The ranks wait for every agent's topology: each agent is asked first and
// sent nothing more until all have answered; the judge then has every
// answer (a topology, or why there is none) once, and its verdict sends the
// ranks, or refuses the run and sends the agents only "all sent", after
// which their ends lose nothing. An answer that is no topology ends the
// connection.
TEST(AgentHub, TheRanksWaitForEveryAgentsTopologyAndTheJudgesVerdict) {
  struct Case {
    const char* verdict;
    std::vector<int32_t> then;  // what each agent is sent after the question
  } cases[] = {{"", {kAgentRank, kAgentAllSent}}, {"ERROR-Control Process: refused\n", {kAgentAllSent}}};
  for (const Case& c : cases) {
    AgentHub hub{std::vector<std::string>()};
    ASSERT_TRUE(hub.Open());
    std::vector<int> fds;
    for (int a = 0; a < 2; ++a) hub.AddRank(hub.AddAgent("h" + std::to_string(a), "", ""), a, {"p"}, 0);
    std::vector<std::vector<AgentHostTopology>> judged;
    hub.AwaitTopologies(kBindCore, true, [&](const std::vector<AgentHostTopology>& told) {
      judged.push_back(told);
      return std::string(c.verdict);
    });
    std::vector<AgentEvent> events;
    for (int a = 0; a < 2; ++a) {
      fds.push_back(ConnectToHub(hub));
      SendHello(hub, fds.back(), a);
      EXPECT_EQ(FramesOf(&hub, fds.back(), 3, &events, 20), std::vector<int32_t>({kAgentEnv, kAgentTopologyAsk}));
    }
    const std::string told = AgentStrings({"0-1\n2-3\ngpu cuda 1 0-1\n", ""});
    const std::string untold = AgentStrings({"", "no core of this host may be used"});
    ASSERT_EQ(send(fds[0], AgentEncode(kAgentTopology, told.data(), told.size()).data(), 8 + told.size(), 0),
              static_cast<ssize_t>(8 + told.size()));
    EXPECT_EQ(FramesOf(&hub, fds[0], 1, &events, 5), std::vector<int32_t>()) << "agent 1 has not answered";
    EXPECT_TRUE(hub.Holding());
    ASSERT_EQ(send(fds[1], AgentEncode(kAgentTopology, untold.data(), untold.size()).data(), 8 + untold.size(), 0),
              static_cast<ssize_t>(8 + untold.size()));
    for (int fd : fds) EXPECT_EQ(FramesOf(&hub, fd, c.then.size(), &events), c.then) << c.verdict;
    EXPECT_FALSE(hub.Holding());
    ASSERT_EQ(judged.size(), 1u);
    ASSERT_EQ(judged[0].size(), 2u);
    EXPECT_TRUE(judged[0][0].told);
    EXPECT_EQ(TopologyText(judged[0][0].topology), "0-1\n2-3\ngpu cuda 1 0-1\n");
    EXPECT_FALSE(judged[0][1].told);
    EXPECT_EQ(judged[0][1].why, "no core of this host may be used");
    for (int fd : fds) close(fd);
    ServeHub(&hub, &events);
    std::vector<AgentEvent::Kind> kinds;
    for (const AgentEvent& e : events) kinds.push_back(e.kind);
    if (c.verdict[0] == '\0') {
      EXPECT_EQ(kinds, std::vector<AgentEvent::Kind>({AgentEvent::kLoggedIn, AgentEvent::kLoggedIn, AgentEvent::kLost,
                                                     AgentEvent::kLost}))
          << "their ranks were running";
    } else {
      EXPECT_EQ(kinds, std::vector<AgentEvent::Kind>({AgentEvent::kLoggedIn, AgentEvent::kLoggedIn, AgentEvent::kRefused}));
      EXPECT_EQ(events[2].why, c.verdict);
    }
  }
  // Not a topology, or both a topology and why not: the connection ends.
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"0-1\nx\n", ""}, {"", ""}, {"0\n", "why"}, {"0\n"}, {"gpu cuda\n0\n", ""}}) {
    std::vector<AgentLinkState> agents(1);
    int self = 0;
    agents[0].agent = 0;
    std::vector<AgentEvent> events;
    AgentMessage m;
    m.type = kAgentTopology;
    m.payload = AgentStrings(bad);
    EXPECT_FALSE(AgentTakeMessage(m, "", &agents, &self, &events)) << bad[0];
  }
}

// Connections that say nothing are held up to the hub's room for them, and
// new ones beyond it closed at once with one report; the held ones time out
// and the agent then gets in.
TEST(AgentHub, ClosesStrangersBeyondItsRoomAndStillTakesTheAgent) {
  AgentHub hub{std::vector<std::string>()};
  ASSERT_TRUE(hub.Open());
  const int agent = hub.AddAgent("h", "", "");
  hub.AddRank(agent, 0, {"p"}, 0);
  const size_t room = AgentHub::kStrangerRoom + 1;  // and one for the agent still to come
  std::vector<AgentEvent> events;
  testing::internal::CaptureStderr();
  std::vector<int> strangers;
  for (int i = 0; i < 200; ++i) {
    strangers.push_back(ConnectToHub(hub));
    if (i % 16 == 15) ServeHub(&hub, &events);  // the listening queue never fills
  }
  ServeHub(&hub, &events);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "tarvo: more than " + std::to_string(room) +
                     " connections to the agent port have not proved themselves; closing new ones\n");
  std::vector<pollfd> fds;
  hub.Fds(&fds);
  EXPECT_EQ(fds.size(), 1 + room) << "the listener and the connections held";
  auto closed = [&] {
    size_t n = 0;
    char byte;
    for (int fd : strangers) n += recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ? 1 : 0;
    return n;
  };
  EXPECT_EQ(closed(), strangers.size() - room);

  hub.Tick(hub.NextDeadline(0), &events);  // the time for a proof is over
  fds.clear();
  hub.Fds(&fds);
  EXPECT_EQ(fds.size(), 1u);
  EXPECT_EQ(closed(), strangers.size());
  for (int fd : strangers) close(fd);
  EXPECT_TRUE(events.empty());

  const int fd = ConnectToHub(hub);
  SendHello(hub, fd, agent);
  ServeHub(&hub, &events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, AgentEvent::kLoggedIn);
  close(fd);
}

TEST(AgentReadOrder, TakesARankOnlyWithCarriersParametersForThatRank) {
  auto rank = [](int32_t r, const std::vector<std::string>& words, int32_t flags) {
    AgentRankHead head{r, static_cast<int32_t>(words.size()), flags};
    return Message(kAgentRank, Bytes(head) + AgentStrings(words));
  };
  const std::vector<std::string> words = {"/w/prog", "x", "1", "2", "10.0.0.1", "3", "4", "5", "8", "/w"};
  AgentOrder order;
  ASSERT_TRUE(AgentReadOrder(rank(5, words, kAgentRankStdin), &order));
  EXPECT_EQ(order.strings, words);
  EXPECT_EQ(order.rank, 5);
  EXPECT_FALSE(AgentReadOrder(rank(6, words, 0), &order)) << "the parameters name rank 5";
  EXPECT_FALSE(AgentReadOrder(rank(5, words, 32), &order)) << "an unknown flag";
  EXPECT_FALSE(AgentReadOrder(rank(5, std::vector<std::string>(words.begin() + 2, words.end()), 0), &order));
  // A user program of a thousand arguments: the frame's size alone bounds them.
  std::vector<std::string> longest(1001, "a");
  longest.insert(longest.end(), words.end() - TARVO_PARAMS, words.end());
  EXPECT_TRUE(AgentReadOrder(rank(5, longest, 0), &order));
  EXPECT_FALSE(AgentReadOrder(Message(kAgentEnv, AgentStrings({"=x"})), &order));
  AgentSignal zero{0};
  EXPECT_FALSE(AgentReadOrder(Message(kAgentSignal, Bytes(zero)), &order));
  // The question of the host's topology: a known level, GPUs or not.
  for (const AgentTopologyAsk& ask : {AgentTopologyAsk{kBindLast + 1, 0}, AgentTopologyAsk{-1, 0}, AgentTopologyAsk{kBindCore, 2}}) {
    EXPECT_FALSE(AgentReadOrder(Message(kAgentTopologyAsk, Bytes(ask)), &order)) << ask.bind << " " << ask.gpus;
  }
  ASSERT_TRUE(AgentReadOrder(Message(kAgentTopologyAsk, Bytes(AgentTopologyAsk{kBindNuma, 1})), &order));
  EXPECT_EQ(order.kind, AgentOrder::kTopologyAsk);
  EXPECT_TRUE(order.bind == kBindNuma && order.gpus);
  // tarvo's window size: what a terminal holds.
  for (const AgentWindow& w : {AgentWindow{-1, 80, 0, 0}, AgentWindow{24, 65536, 0, 0}}) {
    EXPECT_FALSE(AgentReadOrder(Message(kAgentWindow, Bytes(w)), &order)) << w.rows << " " << w.cols;
  }
  ASSERT_TRUE(AgentReadOrder(Message(kAgentWindow, Bytes(AgentWindow{37, 123, 0, 0})), &order));
  EXPECT_TRUE(order.kind == AgentOrder::kWindow && order.window.rows == 37 && order.window.cols == 123);
}

}  // namespace
