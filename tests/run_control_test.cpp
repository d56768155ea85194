// The run control through the real tarvo and carrier: a failing rank, a
// collective operation that can no longer be released, tarvo's own signals
// (a terminal's Ctrl-C among them), SIGKILL to tarvo, the time limit and the
// settings. Every test proves that no rank is left: each rank writes its pid,
// and every pid must be gone.
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/run/RunControl.h"
#include "launcher/app/ReadSettings.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/processes.h"
#include "tests/support/sshd.h"
#include "tests/support/wait.h"

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string HostName() {
  char name[256] = {0};
  gethostname(name, sizeof name - 1);
  return std::string(name).substr(0, 31);
}

// A run of control_rank from a fresh directory, with the real carrier first
// on PATH.
class ControlRun {
 public:
  /// With `hosts`, a remote run: "-ssh -mf hosts" with those lines as the
  /// machine file, and `pathPrefix` (the ssh wrapper) first on PATH.
  ControlRun(int n, const std::vector<std::string>& mode, const std::map<std::string, std::string>& env = {},
             const std::string& hosts = "", const std::string& pathPrefix = "")
      : n_(n), dir_(testutil::MakeTempDir()) {
    harness::Options o;
    o.hold = false;
    o.workdir = dir_;
    const char* path = getenv("PATH");
    o.exactPath = (pathPrefix.empty() ? "" : pathPrefix + ":") + std::string(TARVO_BIN_DIR) + ":" +
                  (path ? path : "/usr/bin:/bin");
    o.env = env;
    // The program is found in the working directory, as the launcher looks for it.
    std::string program = std::string(TARVO_TEST_BIN_DIR) + "/control_rank";
    if (symlink(program.c_str(), (dir_ + "/control_rank").c_str()) != 0) ADD_FAILURE() << "symlink";
    std::vector<std::string> args;
    if (!hosts.empty()) {
      testutil::WriteFile(dir_ + "/hosts", hosts);
      args = {"-ssh", "-mf", "hosts"};
    }
    for (const std::string& a : {std::string("-np"), std::to_string(n), std::string("control_rank"), dir_}) {
      args.push_back(a);
    }
    args.insert(args.end(), mode.begin(), mode.end());
    run_.reset(new harness::LauncherRun(args, o));
  }
  ~ControlRun() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    std::string cleanup = "rm -rf " + dir_;
    if (system(cleanup.c_str()) != 0) {
    }
  }

  harness::LauncherRun& tarvo() { return *run_; }
  std::string File(const std::string& what, int rank) const { return dir_ + "/" + what + "." + std::to_string(rank); }
  long Value(const std::string& what, int rank) const {
    return std::atol(testutil::ReadFile(File(what, rank)).c_str());
  }

  /// True once every rank has written its pid; keeps them for AllGone.
  bool Started(double seconds = 60) {
    if (!support::WaitUntil(static_cast<int>(seconds * 1000), [&] {
          for (int r = 0; r < n_; ++r) {
            if (!Exists(File("pid", r))) return false;
          }
          return true;
        })) {
      return false;
    }
    pids_.clear();
    for (int r = 0; r < n_; ++r) pids_.push_back(static_cast<pid_t>(Value("pid", r)));
    return true;
  }
  pid_t Pid(int rank) const { return pids_.at(static_cast<size_t>(rank)); }

  /// True when no rank that wrote its pid is left within `seconds`.
  bool AllGone(double seconds = 5) {
    for (int r = 0; r < n_; ++r) {
      if (Exists(File("pid", r)) && std::find(pids_.begin(), pids_.end(), Value("pid", r)) == pids_.end()) {
        pids_.push_back(static_cast<pid_t>(Value("pid", r)));
      }
    }
    return support::Survivors(pids_, static_cast<int>(seconds * 1000)).empty();
  }

 private:
  int n_;
  std::string dir_;
  std::vector<pid_t> pids_;
  std::unique_ptr<harness::LauncherRun> run_;
};

std::string Who(int rank, pid_t pid) {
  return "rank " + std::to_string(rank) + " (pid " + std::to_string(pid) + " on " + HostName() + ")";
}

TEST(RunControl, ARankThatFailsEndsTheRunWithItsStatus) {
  ControlRun run(4, {"fail", "2", "3"});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  EXPECT_EQ(run.tarvo().Wait(30), 3);
  EXPECT_EQ(run.tarvo().Stderr(), "tarvo: " + Who(2, run.Pid(2)) + " exited with status 3; ending the run\n");
  EXPECT_EQ(run.tarvo().Stdout(), "");
  EXPECT_TRUE(run.AllGone());
}

TEST(RunControl, ARankKilledEndsTheRunWithItsSignal) {
  ControlRun run(3, {"fail", "1", "wait"});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  ASSERT_EQ(kill(run.Pid(1), SIGKILL), 0);
  EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGKILL);
  EXPECT_EQ(run.tarvo().Stderr(),
            "tarvo: " + Who(1, run.Pid(1)) + " was killed by signal 9 (Killed); ending the run\n");
  EXPECT_TRUE(run.AllGone());
}

// Rank 0 ends with 0 without entering the collective operation that the
// others wait in: nothing can release them.
TEST(RunControl, ACollectiveThatCanNeverBeReleasedEndsTheRunWithOne) {
  ControlRun run(3, {"fail", "0", "0"});
  EXPECT_EQ(run.tarvo().Wait(30), 1);
  ASSERT_TRUE(run.Started(1));
  EXPECT_EQ(run.tarvo().Stderr(), "tarvo: " + Who(0, run.Pid(0)) +
                                      " has ended while ranks 1-2 wait in a collective operation that it never "
                                      "entered; ending the run\n");
  EXPECT_TRUE(run.AllGone());
}

TEST(RunControl, TheTimeLimitEndsTheRunWith124AndSaysWhereEachRankWas) {
  ControlRun run(3, {"fail", "0", "wait"}, {{"TARVO_TIMEOUT", "1.5"}});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  EXPECT_EQ(run.tarvo().Wait(30), 124);
  const std::string err = run.tarvo().Stderr();
  EXPECT_EQ(err.find("tarvo: the run's time limit of 1.5 s is over; ending the run\n"), 0u) << err;
  EXPECT_NE(err.find("tarvo: " + Who(0, run.Pid(0)) + " is running, not in a collective operation\n"),
            std::string::npos)
      << err;
  for (int r = 1; r < 3; ++r) {
    EXPECT_NE(err.find("tarvo: " + Who(r, run.Pid(r)) + " is running, waiting in a collective operation for "),
              std::string::npos)
        << err;
  }
  EXPECT_TRUE(run.AllGone());
}

TEST(RunControl, SigusrIsPassedOnAndSigtermEndsTheRun) {
  ControlRun run(3, {"hold"});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  ASSERT_EQ(kill(run.tarvo().Pid(), SIGUSR1), 0);
  EXPECT_TRUE(support::WaitUntil(10000, [&] {
    return Exists(run.File("usr1", 0)) && Exists(run.File("usr1", 1)) && Exists(run.File("usr1", 2));
  }));
  EXPECT_EQ(run.tarvo().Wait(1), -1) << "SIGUSR1 ended the run";
  ASSERT_EQ(kill(run.tarvo().Pid(), SIGTERM), 0);
  EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGTERM);
  EXPECT_EQ(run.tarvo().Stderr(), "tarvo: got signal 15 (Terminated); ending the run\n");
  EXPECT_TRUE(run.AllGone());
}

TEST(RunControl, SigintReachesEachRankOnce) {
  ControlRun run(3, {"hold"});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  ASSERT_EQ(kill(run.tarvo().Pid(), SIGINT), 0);
  EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGINT);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(run.Value("int", r), 1) << "rank " << r;
  EXPECT_TRUE(run.AllGone());
}

// Ranks that ignore SIGTERM and SIGINT: SIGKILL after the grace, or at once
// on a second SIGINT.
// A tarvo that a script starts in the background has SIGINT and SIGQUIT
// ignored; its ranks start with their default action all the same, whether
// carrier (rank mode) or tarvo itself (host mode's own ranks) starts them.
TEST(RunControl, RanksStartWithSigintAndSigquitByDefault) {
  for (const char* launch : {"rank", "host"}) {
    const testutil::RunResult r = testutil::Run(std::string("trap \"\" INT QUIT; PATH=") + TARVO_BIN_DIR +
                                                ":/usr/bin:/bin TARVO_LAUNCH=" + launch + " exec " + testutil::Tarvo() +
                                                " -np 2 /bin/grep SigIgn /proc/self/status");
    EXPECT_EQ(r.status, 0) << launch << "\n" << r.err;
    std::istringstream lines(r.out);
    int ranks = 0;
    for (std::string word, mask; lines >> word >> mask; ++ranks) {
      EXPECT_EQ(std::stoull(mask, nullptr, 16) & ((1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1))), 0u)
          << launch << ": " << word << " " << mask;
    }
    EXPECT_EQ(ranks, 2) << launch << "\n" << r.out << r.err;
  }
}

TEST(RunControl, RanksThatIgnoreTheEndAreKilled) {
  {
    ControlRun run(2, {"stubborn"}, {{"TARVO_KILL_GRACE", "0.5"}});
    ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
    ASSERT_EQ(kill(run.tarvo().Pid(), SIGTERM), 0);
    EXPECT_EQ(run.tarvo().Wait(20), 128 + SIGTERM);
    EXPECT_TRUE(run.AllGone());
  }
  {
    ControlRun run(2, {"stubborn"}, {{"TARVO_KILL_GRACE", "100"}});
    ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
    ASSERT_EQ(kill(run.tarvo().Pid(), SIGINT), 0);
    EXPECT_EQ(run.tarvo().Wait(1), -1) << "the first SIGINT killed at once";
    ASSERT_EQ(kill(run.tarvo().Pid(), SIGINT), 0);
    EXPECT_EQ(run.tarvo().Wait(20), 128 + SIGINT);
    EXPECT_TRUE(run.AllGone());
  }
}

// With the ranks' groups go the PMIx server's private directories.
TEST(RunControl, RanksEndWhenTarvoIsKilled) {
  const std::set<std::string> before = support::PmixPrivateDirs();
  ControlRun run(3, {"hold"}, {{"TARVO_PMIX", "1"}});
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
  ASSERT_EQ(kill(run.tarvo().Pid(), SIGKILL), 0);
  EXPECT_EQ(run.tarvo().Wait(10), 128 + SIGKILL);
  EXPECT_TRUE(run.AllGone(2));
  std::set<std::string> left;
  support::WaitUntil(5000, [&] {
    left.clear();
    for (const std::string& d : support::PmixPrivateDirs()) {
      if (before.count(d) == 0) left.insert(d);
    }
    return left.empty();
  });
  EXPECT_TRUE(left.empty()) << *left.begin();
}

// A rank that is a shell script starting a program without exec: the
// program (its pid in DIR/child.R) ends with the run, however it ends.
// `hosts` and `path` as for ControlRun.
void ChildrenEndWithTheRun(const std::map<std::string, std::string>& env, const std::string& hosts,
                           const std::string& path) {
  struct End {
    const char* what;
    std::vector<std::string> args;
    int signal;  // to tarvo, once every child runs
    int status;
  };
  const std::vector<End> ends = {
      {"a failing rank", {"fail"}, 0, 3},
      {"SIGTERM", {"wait"}, SIGTERM, 128 + SIGTERM},
      {"SIGKILL", {"wait"}, SIGKILL, 128 + SIGKILL},
  };
  for (const End& e : ends) {
    const std::string dir = testutil::MakeTempDir();
    testutil::WriteFile(dir + "/rank",
                        "#!/bin/sh\n"
                        "sleep 60 &\n"
                        "echo $! > child.$TARVO_RANK.tmp && mv child.$TARVO_RANK.tmp child.$TARVO_RANK.pid\n"
                        "if [ \"$1\" = fail ] && [ $TARVO_RANK = 1 ]; then\n"
                        "  for i in $(seq 300); do [ $(ls | grep -c '[.]pid$') -ge 3 ] && exit 3; sleep 0.1; done\n"
                        "fi\n"
                        "wait\n");
    chmod((dir + "/rank").c_str(), 0755);
    harness::Options o;
    o.hold = false;
    o.workdir = dir;
    const char* pathNow = getenv("PATH");
    o.exactPath = path + std::string(TARVO_BIN_DIR) + ":" + (pathNow ? pathNow : "/usr/bin:/bin");
    o.env = env;
    std::vector<std::string> args;
    if (!hosts.empty()) {
      testutil::WriteFile(dir + "/hosts", hosts);
      args = {"-ssh", "-mf", "hosts"};
    }
    for (const std::string& a : {std::string("-np"), std::string("3"), std::string("rank")}) args.push_back(a);
    args.insert(args.end(), e.args.begin(), e.args.end());
    harness::LauncherRun run(args, o);
    EXPECT_TRUE(support::WaitUntil(60000, [&] { return support::PidsIn(dir).size() == 3; })) << e.what;
    if (e.signal != 0) kill(run.Pid(), e.signal);
    EXPECT_EQ(run.Wait(60), e.status) << e.what << "\n" << run.Stderr();
    EXPECT_TRUE(support::Survivors(support::PidsIn(dir), 5000).empty()) << e.what;
    testutil::Run("rm -rf " + dir);
  }
}

TEST(RunControl, NothingOfARankOutlivesTheRun) { ChildrenEndWithTheRun({}, "", ""); }

// Ctrl-C at a terminal reaches tarvo and its ranks (one process group): the
// ranks see it once, not once more from tarvo.
// tarvo -np 3 control_rank hold at a pseudo-terminal of 37 rows and 123
// columns, `before` the -np (a machine file in `dir`, say), `env` set: each
// rank's terminal has that size, and one Ctrl-C reaches each rank once.
void CtrlCReachesEachRankOnce(const std::string& dir, const std::vector<std::string>& before,
                              const std::vector<std::string>& env, const std::string& pathPrefix) {
  int master = -1;
  winsize window{};
  window.ws_row = 37;
  window.ws_col = 123;
  pid_t pid = forkpty(&master, nullptr, nullptr, &window);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const char* path = getenv("PATH");
    std::string full = pathPrefix + std::string(TARVO_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin");
    setenv("PATH", full.c_str(), 1);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::string rank = std::string(TARVO_TEST_BIN_DIR) + "/control_rank";
    if (symlink(rank.c_str(), "control_rank") != 0) _exit(125);
    std::vector<std::string> words = {"tarvo"};
    words.insert(words.end(), before.begin(), before.end());
    for (const std::string& w : {std::string("-np"), std::string("3"), std::string("control_rank"), dir,
                                 std::string("hold")}) {
      words.push_back(w);
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execv(testutil::Tarvo().c_str(), argv.data());
    _exit(127);
  }
  auto pidFile = [&](int r) { return dir + "/pid." + std::to_string(r); };
  EXPECT_TRUE(support::WaitUntil(60000, [&] { return Exists(pidFile(0)) && Exists(pidFile(1)) && Exists(pidFile(2)); }));
  std::vector<pid_t> pids;
  for (int r = 0; r < 3; ++r) pids.push_back(static_cast<pid_t>(std::atol(testutil::ReadFile(pidFile(r)).c_str())));
  ASSERT_EQ(write(master, "\x03", 1), 1);
  int status = -1;
  bool ended = support::WaitUntil(30000, [&] {
    char buf[4096];
    while (read(master, buf, sizeof buf) > 0) {  // keep the terminal drained
    }
    return waitpid(pid, &status, WNOHANG) == pid;
  });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  fcntl(master, F_SETFL, O_NONBLOCK);
  close(master);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(std::atol(testutil::ReadFile(dir + "/int." + std::to_string(r)).c_str()), 1) << "rank " << r;
    // Each rank's terminal has the size of tarvo's, through an agent too.
    EXPECT_EQ(testutil::ReadFile(dir + "/size." + std::to_string(r)), "370123\n") << "rank " << r;
  }
  EXPECT_TRUE(support::Survivors(pids, 5000).empty());
  std::string cleanup = "rm -rf " + dir;
  if (system(cleanup.c_str()) != 0) {
  }
}

TEST(RunControl, CtrlCAtATerminalReachesEachRankOnce) { CtrlCReachesEachRankOnce(testutil::MakeTempDir(), {}, {}, ""); }

// TARVO_LAUNCH=host over four loopback hosts of a private sshd: every rank
// is started by the agent of its host, which reports to the launcher.
class HostMode : public support::SshdTest {
 protected:
  std::unique_ptr<ControlRun> Start(int n, const std::vector<std::string>& mode,
                                    const std::string& hosts = "127.0.0.1\n127.0.0.2\n127.0.0.3\n127.0.0.4\n") {
    return std::unique_ptr<ControlRun>(
        new ControlRun(n, mode, {{"TARVO_LAUNCH", "host"}, {"TARVO_KILL_GRACE", "1"}}, hosts, sshd().ShimDir()));
  }
};

TEST_F(HostMode, ARankKilledOnItsHostEndsTheRunNamingTheHost) {
  auto run = Start(6, {"hold"});
  ASSERT_TRUE(run->Started()) << run->tarvo().Stderr() << sshd().Log();
  ASSERT_EQ(kill(run->Pid(5), SIGKILL), 0);
  EXPECT_EQ(run->tarvo().Wait(30), 128 + SIGKILL);
  const std::string report = "tarvo: rank 5 (pid " + std::to_string(run->Pid(5)) +
                             " on 127.0.0.2) was killed by signal 9 (Killed); ending the run\n";
  // tarvo's own lines: a remote login's profile may say things of its own
  // on the remote shell's standard error (pyenv's rehash, say).
  std::string ours;
  std::istringstream lines(run->tarvo().Stderr());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("tarvo: ", 0) == 0) ours += line + "\n";
  }
  EXPECT_EQ(ours, report) << run->tarvo().Stderr();
  EXPECT_TRUE(run->AllGone());
}

TEST_F(HostMode, SignalsReachTheRemoteRanksAndSigtermEndsTheRun) {
  auto run = Start(4, {"hold"});
  ASSERT_TRUE(run->Started()) << run->tarvo().Stderr();
  ASSERT_EQ(kill(run->tarvo().Pid(), SIGUSR1), 0);
  EXPECT_TRUE(support::WaitUntil(10000, [&] {
    for (int r = 0; r < 4; ++r) {
      if (!Exists(run->File("usr1", r))) return false;
    }
    return true;
  }));
  ASSERT_EQ(kill(run->tarvo().Pid(), SIGTERM), 0);
  EXPECT_EQ(run->tarvo().Wait(30), 128 + SIGTERM);
  EXPECT_TRUE(run->AllGone());
}

TEST_F(HostMode, RanksOnEveryHostEndWhenTarvoIsKilled) {
  auto run = Start(8, {"hold"});
  ASSERT_TRUE(run->Started()) << run->tarvo().Stderr();
  ASSERT_EQ(kill(run->tarvo().Pid(), SIGKILL), 0);
  EXPECT_EQ(run->tarvo().Wait(10), 128 + SIGKILL);
  EXPECT_TRUE(run->AllGone(2));
}

TEST_F(HostMode, AKilledAgentEndsTheRunNamingItsHost) {
  auto run = Start(8, {"hold"});
  ASSERT_TRUE(run->Started()) << run->tarvo().Stderr();
  // The agent is the parent of its host's ranks.
  std::string stat = testutil::ReadFile("/proc/" + std::to_string(run->Pid(2)) + "/stat");
  const pid_t agent = static_cast<pid_t>(std::atol(stat.substr(stat.rfind(')') + 4).c_str()));
  ASSERT_GT(agent, 1);
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  EXPECT_NE(run->tarvo().Wait(30), 0);
  EXPECT_NE(run->tarvo().Stderr().find("tarvo: the agent on 127.0.0.3, with ranks 2,6, is lost: "), std::string::npos)
      << run->tarvo().Stderr();
  EXPECT_TRUE(run->AllGone(2));
}

TEST_F(HostMode, AnUnreachableHostEndsTheRunNamingIt) {
  // Nothing listens on 127.0.0.9: its remote shell cannot log in.
  auto run = Start(4, {"hold"}, "127.0.0.1\n127.0.0.9\n");
  EXPECT_EQ(run->tarvo().Wait(60), 255);
  EXPECT_NE(run->tarvo().Stderr().find("tarvo: the agent on 127.0.0.9, with ranks 1,3, is lost: its remote shell"),
            std::string::npos)
      << run->tarvo().Stderr();
  EXPECT_TRUE(run->AllGone());
}

TEST_F(HostMode, NothingOfARankOutlivesTheRun) {
  ChildrenEndWithTheRun({{"TARVO_LAUNCH", "host"}, {"TARVO_KILL_GRACE", "1"}}, "127.0.0.2\n127.0.0.3\n",
                        sshd().ShimDir() + ":");
}

TEST_F(HostMode, CtrlCAtATerminalReachesEachRemoteRankOnce) {
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/hosts", "127.0.0.2\n127.0.0.3\n");
  CtrlCReachesEachRankOnce(dir, {"-ssh", "-mf", "hosts"}, {"TARVO_LAUNCH=host"}, sshd().ShimDir() + ":");
}

// A remote shell whose far side never reports (no agent's hello, no
// carrier's start notice) ends the run after TARVO_LOGIN_TIMEOUT with a line
// naming its host, in both modes that log in; nothing is left.
TEST(RunControl, ARemoteLoginThatNeverAnswersEndsTheRunNamingItsHost) {
  for (const char* launch : {"rank", "host"}) {
    const std::string dir = testutil::MakeTempDir();
    testutil::WriteFile(dir + "/hang", "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/$$.pid\"\nexec sleep 600\n");
    chmod((dir + "/hang").c_str(), 0755);
    testutil::WriteFile(dir + "/hosts", "127.0.0.2\n");
    harness::Options o;
    o.hold = false;
    o.workdir = dir;
    o.env = {{"TARVO_LAUNCH", launch}, {"TARVO_RSH", dir + "/hang"}, {"TARVO_LOGIN_TIMEOUT", "0.5"},
             {"TARVO_KILL_GRACE", "1"}};
    o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
    harness::LauncherRun run({"-ssh", "-np", "2", "-mf", "hosts", "/bin/true"}, o);
    EXPECT_EQ(run.Wait(60), 255) << launch << "\n" << run.Stderr();
    const std::string err = run.Stderr();
    const size_t at = err.find("tarvo: the remote shell to 127.0.0.2 (pid ");
    ASSERT_NE(at, std::string::npos) << launch << "\n" << err;
    EXPECT_NE(err.find(") has not logged in within 0.5 s (TARVO_LOGIN_TIMEOUT); ending the run\n", at), std::string::npos)
        << launch << "\n" << err;
    const std::vector<pid_t> pids = support::PidsIn(dir);
    EXPECT_FALSE(pids.empty()) << launch;
    EXPECT_TRUE(support::Survivors(pids).empty()) << launch;
  }
}

TEST(RunControl, AMalformedSettingStartsNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"TARVO_TIMEOUT", "ten"}, {"TARVO_KILL_GRACE", "-1"}, {"TARVO_KILL_ON_BAD_EXIT", "yes"}, {"TARVO_SSH_WINDOW", "1e3"},
      {"TARVO_LAUNCH", "hosts"},  {"TARVO_EXPORT", "PATH,"},       {"TARVO_PMIX", "yes"},     {"TARVO_STACKS", "2"},
      {"TARVO_KVS_LIMIT", "0"},   {"TARVO_LOGIN_TIMEOUT", "0"}, {"TARVO_STACKS_SAMPLES", "3"},
      {"TARVO_RSH", " "},         {"TARVO_RSH", "ssh -F " + std::string(128, 'f')},
      {"TARVO_WDIR", "/no/such/directory"}, {"TARVO_TIMEOUT_SIGNAL", "USR1@5"},
      {"TARVO_STDIN", "some"},    {"TARVO_STDIN", "2"}};
  for (const auto& c : cases) {
    ControlRun run(2, {"hold"}, {{c.first, c.second}});
    EXPECT_EQ(run.tarvo().Wait(30), 255) << c.first;
    const std::string out = run.tarvo().Stdout();
    EXPECT_EQ(out.rfind("ERROR-", 0), 0u) << out;
    EXPECT_NE(out.find(c.first + "=" + c.second), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_FALSE(Exists(run.File("pid", 0)));
  }
}

TEST(RunSettings, AcceptsWholeAndFractionalSecondsAndKeepsDefaultsForEmptyValues) {
  static std::map<std::string, std::string> env;
  auto lookup = [](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  RunSettings s;
  std::string error;
  env = {{"TARVO_TIMEOUT", "2.5"}, {"TARVO_KILL_GRACE", "0"}, {"TARVO_KILL_ON_BAD_EXIT", "0"}, {"TARVO_SSH_WINDOW", ""}};
  ASSERT_TRUE(ReadRunSettings(lookup, &s, &error)) << error;
  EXPECT_EQ(s.timeout, 2.5);
  EXPECT_EQ(s.killGrace, 0.0);
  EXPECT_FALSE(s.killOnBadExit);
  EXPECT_EQ(s.sshWindow, 8);
  env = {{"TARVO_TIMEOUT", "nan"}};
  EXPECT_FALSE(ReadRunSettings(lookup, &s, &error));
  env = {{"TARVO_RSH", " ssh\t-F ~/c/ssh_config  -p 2222 "}, {"HOME", "/home/u"}};
  ASSERT_TRUE(ReadRunSettings(lookup, &s, &error)) << error;
  EXPECT_EQ(s.rsh, std::vector<std::string>({"ssh", "-F", "/home/u/c/ssh_config", "-p", "2222"}));
  env = {{"TARVO_RSH", ""}};
  EXPECT_FALSE(ReadRunSettings(lookup, &s, &error));

  // TARVO_TIMEOUT_SIGNAL: a name (with or without SIG) or a number, and
  // seconds below the time limit, which it needs.
  const struct {
    const char* value;
    const char* timeout;
    int sig;  // 0: refused
    double before;
  } warnings[] = {{"USR1@60", "100", SIGUSR1, 60},  {"SIGTERM@0.5", "2", SIGTERM, 0.5}, {"12@1", "2", 12, 1},
                  {"USR1@60", "", 0, 0},           {"USR1@100", "100", 0, 0},         {"FOO@1", "2", 0, 0},
                  {"USR1", "2", 0, 0},              {"0@1", "2", 0, 0},                {"USR1@-1", "2", 0, 0},
                  {"@1", "2", 0, 0}};
  for (const auto& w : warnings) {
    env = {{"TARVO_TIMEOUT_SIGNAL", w.value}, {"TARVO_TIMEOUT", w.timeout}};
    const bool read = ReadRunSettings(lookup, &s, &error);
    EXPECT_EQ(read, w.sig != 0) << w.value << " " << w.timeout;
    if (!read) {
      EXPECT_EQ(error.rfind(std::string("ERROR-Control Process: TARVO_TIMEOUT_SIGNAL=") + w.value + " is not ", 0), 0u) << error;
      continue;
    }
    EXPECT_EQ(s.timeoutSignal, w.sig) << w.value;
    EXPECT_EQ(s.timeoutSignalBefore, w.before) << w.value;
  }

  // Inside an allocation a run takes its nodes, unless TARVO_LAUNCH or a
  // machine file says otherwise.
  const struct {
    std::map<std::string, std::string> env;
    bool machineFile;
    RunSettings::Launch launch;
  } allocations[] = {
      {{{"SLURM_JOB_ID", "7"}, {"SLURM_JOB_NODELIST", "n[1-2]"}}, false, RunSettings::kLaunchSlurm},
      {{{"SLURM_JOB_ID", "7"}, {"SLURM_JOB_NODELIST", "n[1-2]"}}, true, RunSettings::kLaunchRank},
      {{{"SLURM_JOB_ID", "7"}, {"SLURM_JOB_NODELIST", "n[1-2]"}, {"TARVO_LAUNCH", "rank"}}, false, RunSettings::kLaunchRank},
      {{{"SLURM_JOB_ID", "7"}}, false, RunSettings::kLaunchRank},
      {{{"SLURM_JOB_NODELIST", "n1"}}, false, RunSettings::kLaunchRank},
  };
  for (const auto& a : allocations) {
    env = a.env;
    ASSERT_TRUE(ReadRunSettings(lookup, &s, &error)) << error;
    UseTheAllocation(lookup, a.machineFile, &s);
    EXPECT_EQ(s.launch, a.launch) << a.env.size() << " variables, machine file " << a.machineFile;
  }
}

// Which batch system's allocation a run uses, and its hosts and slots: the
// systems in their order, each one's variables and files, and where the
// command line or TARVO_LAUNCH says otherwise.
TEST(Allocation, FindsEachBatchSystemsHostsAndSlotsInOrder) {
  static std::map<std::string, std::string> env;
  static std::map<std::string, std::string> files;
  auto lookup = [](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  auto read = [](const char* path, std::string* text) {
    auto it = files.find(path);
    if (it == files.end()) return false;
    *text = it->second;
    return true;
  };
  files = {{"/pbs", "n1\nn1\nn2\n\nn1\n"},
           {"/sge", "n2 2 all.q@n2 UNDEFINED\nn1 4 all.q@n1 UNDEFINED\nn2 1 b.q@n2 UNDEFINED\n"},
           {"/empty", "\n  \n"},
           {"/pbs-words", "n1 n2\n"},
           {"/sge-slots", "n1 x all.q@n1 UNDEFINED\n"}};
  const std::map<std::string, std::string> slurm = {{"SLURM_JOB_ID", "1"}, {"SLURM_JOB_NODELIST", "n[1-2]"}};
  const std::map<std::string, std::string> pbs = {{"PBS_JOBID", "2"}, {"PBS_NODEFILE", "/pbs"}};
  const std::map<std::string, std::string> lsf = {{"LSB_JOBID", "3"}, {"LSB_MCPU_HOSTS", "n3 2 n4 1"}};
  const std::map<std::string, std::string> sge = {{"JOB_ID", "4"}, {"PE_HOSTFILE", "/sge"}};
  auto with = [](std::initializer_list<std::map<std::string, std::string>> parts) {
    std::map<std::string, std::string> all;
    for (const auto& p : parts) all.insert(p.begin(), p.end());
    return all;
  };
  const struct {
    std::map<std::string, std::string> env;
    bool machineFile;
    Allocation::System system;
    const char* hosts;  // "host:slots " each; or the refusal's words
  } cases[] = {
      {{}, false, Allocation::kNone, ""},
      {slurm, false, Allocation::kSlurm, ""},
      {pbs, false, Allocation::kPbs, "n1:3 n2:1 "},
      {lsf, false, Allocation::kLsf, "n3:2 n4:1 "},
      {{{"LSB_JOBID", "3"}, {"LSB_HOSTS", "n4 n3 n4"}}, false, Allocation::kLsf, "n4:2 n3:1 "},
      {sge, false, Allocation::kGridEngine, "n2:3 n1:4 "},
      // The order: Slurm, PBS, LSF, Grid Engine.
      {with({slurm, pbs, lsf, sge}), false, Allocation::kSlurm, ""},
      {with({pbs, lsf, sge}), false, Allocation::kPbs, "n1:3 n2:1 "},
      {with({lsf, sge}), false, Allocation::kLsf, "n3:2 n4:1 "},
      // -mf and TARVO_LAUNCH win; a system without its job id is none.
      {with({pbs, lsf, sge}), true, Allocation::kNone, ""},
      {with({sge, {{"TARVO_LAUNCH", "rank"}}}), false, Allocation::kNone, ""},
      {{{"PBS_NODEFILE", "/pbs"}, {"LSB_MCPU_HOSTS", "n3 2"}, {"PE_HOSTFILE", "/sge"}}, false, Allocation::kNone, ""},
      // Refused, naming the variable and its value.
      {{{"PBS_JOBID", "2"}, {"PBS_NODEFILE", "/none"}}, false, Allocation::kNone, "PBS_NODEFILE=/none is not a file that tarvo can read"},
      {{{"JOB_ID", "4"}, {"PE_HOSTFILE", "/empty"}}, false, Allocation::kNone, "PE_HOSTFILE=/empty is not a file that names a host"},
      {{{"PBS_JOBID", "2"}, {"PBS_NODEFILE", "/pbs-words"}}, false, Allocation::kNone, "PBS_NODEFILE=/pbs-words is not a host file"},
      {{{"JOB_ID", "4"}, {"PE_HOSTFILE", "/sge-slots"}}, false, Allocation::kNone, "PE_HOSTFILE=/sge-slots is not a host file"},
      {{{"LSB_JOBID", "3"}, {"LSB_MCPU_HOSTS", "n3 2 n4"}}, false, Allocation::kNone, "LSB_MCPU_HOSTS=n3 2 n4 is not a list"},
      {{{"LSB_JOBID", "3"}, {"LSB_MCPU_HOSTS", "n3 0"}}, false, Allocation::kNone, "LSB_MCPU_HOSTS=n3 0 is not a list"},
  };
  for (const auto& c : cases) {
    env = c.env;
    Allocation a;
    std::string error;
    const bool refused = std::string(c.hosts).find(' ') != std::string::npos && std::string(c.hosts).find(':') == std::string::npos;
    EXPECT_EQ(FindAllocation(lookup, read, c.machineFile, &a, &error), !refused) << c.hosts;
    if (refused) {
      EXPECT_EQ(error.rfind(std::string("ERROR-Control Process: ") + c.hosts, 0), 0u) << error;
      EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
      continue;
    }
    EXPECT_EQ(a.system, c.system) << c.hosts;
    std::string hosts;
    for (const Allocation::Host& h : a.hosts) hosts += h.name + ":" + std::to_string(h.slots) + " ";
    EXPECT_EQ(hosts, c.hosts);
  }
  // As a machine file's lines, which the spawners go round.
  env = sge;
  Allocation a;
  std::string error;
  ASSERT_TRUE(FindAllocation(lookup, read, false, &a, &error));
  EXPECT_EQ(AllocationHosts(a), "n2:3\nn1:4\n");
  EXPECT_EQ(a.Slots(), 7);

  // End to end: a host file that cannot be read starts nothing.
  ControlRun run(2, {"hold"}, {{"JOB_ID", "4"}, {"PE_HOSTFILE", "/nonexistent/pe_hostfile"}});
  EXPECT_EQ(run.tarvo().Wait(30), 255);
  EXPECT_EQ(run.tarvo().Stdout(),
            "ERROR-Control Process: PE_HOSTFILE=/nonexistent/pe_hostfile is not a file that tarvo can read\n");
  EXPECT_FALSE(Exists(run.File("pid", 0)));
}

// ---- Remote ranks, through a private sshd with its default limits ----

class RemoteRunControl : public support::SshdTest {
 protected:
  std::string Hosts(int count) {
    std::string lines;
    for (int k = 0; k < count; ++k) lines += sshd().Hosts()[static_cast<size_t>(k)] + "\n";
    return lines;
  }
};

TEST_F(RemoteRunControl, RanksOnEveryHostEndWhenTarvoIsKilled) {
  ControlRun run(8, {"hold"}, {}, Hosts(4), sshd().ShimDir());
  ASSERT_TRUE(run.Started()) << run.tarvo().Stderr() << sshd().Log();
  ASSERT_EQ(kill(run.tarvo().Pid(), SIGKILL), 0);
  EXPECT_EQ(run.tarvo().Wait(10), 128 + SIGKILL);
  EXPECT_TRUE(run.AllGone(2));
}

TEST_F(RemoteRunControl, NothingOfARankOutlivesTheRun) {
  ChildrenEndWithTheRun({{"TARVO_KILL_GRACE", "1"}}, Hosts(2), sshd().ShimDir() + ":");
}

// Per-rank remote shells: tarvo's signals reach the programs themselves
// (SIGUSR1 goes on, SIGINT once), and a program killed on its host is
// reported as killed.
TEST_F(RemoteRunControl, SignalsReachTheRemoteProgramsThemselves) {
  {
    // A grace long enough for the remote command that passes SIGINT on.
    ControlRun run(4, {"hold"}, {{"TARVO_KILL_GRACE", "30"}}, Hosts(2), sshd().ShimDir());
    ASSERT_TRUE(run.Started()) << run.tarvo().Stderr() << sshd().Log();
    // Passed on by a remote command per host (an ssh login each, which a
    // loaded machine can make slow) to the ranks whose carrier has told
    // tarvo their pid; a rank can write its pid before its carrier's word
    // has arrived, so SIGUSR1 goes again every 5 s until every rank has it.
    bool all = false;
    for (int k = 0; k < 6 && !all; ++k) {
      ASSERT_EQ(kill(run.tarvo().Pid(), SIGUSR1), 0);
      all = support::WaitUntil(5000, [&] {
        for (int r = 0; r < 4; ++r) {
          if (!Exists(run.File("usr1", r))) return false;
        }
        return true;
      });
    }
    EXPECT_TRUE(all);
    EXPECT_EQ(run.tarvo().Wait(1), -1) << "SIGUSR1 ended the run\n" << run.tarvo().Stderr();
    ASSERT_EQ(kill(run.tarvo().Pid(), SIGINT), 0);
    EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGINT) << run.tarvo().Stderr();
    for (int r = 0; r < 4; ++r) EXPECT_EQ(run.Value("int", r), 1) << "rank " << r;
    EXPECT_TRUE(run.AllGone());
  }
  {
    ControlRun run(2, {"hold"}, {}, Hosts(2), sshd().ShimDir());
    ASSERT_TRUE(run.Started()) << run.tarvo().Stderr();
    ASSERT_EQ(kill(run.Pid(1), SIGKILL), 0);
    EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGKILL);
    EXPECT_NE(run.tarvo().Stderr().find(" on 127.0.0.2) was killed by signal 9 (Killed); ending the run\n"),
              std::string::npos)
        << run.tarvo().Stderr();
    EXPECT_TRUE(run.AllGone());
  }
}

// The remote shell carries the program's status; the report names the
// rank's host, and the pid is that of its remote shell.
TEST_F(RemoteRunControl, AFailingRemoteRankEndsTheRunAndNamesItsHost) {
  ControlRun run(4, {"fail", "1", "3"}, {}, Hosts(2), sshd().ShimDir());
  EXPECT_EQ(run.tarvo().Wait(60), 3) << run.tarvo().Stderr();
  const std::string err = run.tarvo().Stderr();
  // The remote shells that tarvo ends may say so too.
  const size_t report = err.find("tarvo: rank 1 (pid ");
  ASSERT_NE(report, std::string::npos) << err;
  const std::string line = err.substr(report, err.find('\n', report) - report);
  const std::string tail = " on 127.0.0.2) exited with status 3; ending the run";
  EXPECT_TRUE(line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) << err;
  EXPECT_TRUE(run.AllGone());
}

// TARVO_RSH: the remote shell's own words reach the sshd, with no wrapper
// on the PATH, in both remote modes; tarvo's end of the run reaches every
// rank through them too.
TEST_F(RemoteRunControl, TheRemoteShellIsTheCommandThatTarvoRshGives) {
  for (const char* launch : {"rank", "host"}) {
    ControlRun run(4, {"hold"}, {{"TARVO_LAUNCH", launch}, {"TARVO_KILL_GRACE", "1"},
                                 {"TARVO_RSH", "ssh -F " + sshd().Dir() + "/ssh_config"}},
                   Hosts(2));
    ASSERT_TRUE(run.Started()) << launch << "\n" << run.tarvo().Stderr() << sshd().Log();
    ASSERT_EQ(kill(run.tarvo().Pid(), SIGTERM), 0);
    EXPECT_EQ(run.tarvo().Wait(30), 128 + SIGTERM) << launch << "\n" << run.tarvo().Stderr();
    EXPECT_TRUE(run.AllGone()) << launch;
  }
  EXPECT_TRUE(sshd().SshHosts().empty()) << "the ssh wrapper was used";
}

// sshd refuses more than ten logins in progress at once: tarvo paces its
// remote shells, and every one of 64 logs in, over four hosts or on one.
TEST_F(RemoteRunControl, SixtyFourRanksStartAgainstAnSshdWithItsDefaultLimits) {
  for (int hosts : {4, 1}) {
    ControlRun run(64, {"fail", "-1", "0"}, {}, Hosts(hosts), sshd().ShimDir());
    EXPECT_EQ(run.tarvo().Wait(120), 0) << hosts << " hosts\n" << run.tarvo().Stderr();
    EXPECT_TRUE(run.Started(1)) << hosts << " hosts";
    EXPECT_TRUE(run.AllGone());
  }
}

}  // namespace
