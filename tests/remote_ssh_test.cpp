// A real remote run: tarvo -ssh over the private sshd of tests/support on
// loopback, with the real carrier on the far side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/sshd.h"
#include "transport/Connection.h"

namespace {

class RemoteSsh : public support::SshdTest {
 protected:
  void SetUp() override {
    support::SshdTest::SetUp();
    if (IsSkipped()) return;
    work_ = sshd().Dir() + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
  }
  // A run that does not hold, in the work directory, through the sshd's ssh.
  harness::Options Options() {
    harness::Options opts;
    opts.workdir = work_;
    opts.hold = false;
    opts.exactPath = sshd().ShimDir() + ":/usr/bin:/bin";
    return opts;
  }
  std::string work_;
};

TEST_F(RemoteSsh, EveryRankRunsThroughCarrierOnItsHost) {
  // Each process writes where it ran, with what, into the shared directory.
  testutil::WriteFile(work_ + "/probe",
                      "#!/bin/sh\n"
                      "f=rank.$TARVO_RANK\n"
                      "{ pwd; printf '<%s>\\n' \"$@\"; echo \"$SSH_CONNECTION\" | cut -d' ' -f3;"
                      " env | grep '^TARVO_' | sort; } > $f.tmp && mv $f.tmp $f\n");
  ASSERT_EQ(chmod((work_ + "/probe").c_str(), 0755), 0);
  testutil::WriteFile(work_ + "/hosts", "127.0.0.1\n127.0.0.2\n");

  harness::Options opts = Options();
  harness::LauncherRun run({"-ssh", "-np", "3", "-mf", "hosts", "probe", "a", "b"}, opts);
  ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
  EXPECT_EQ(run.Stdout(), "");

  CUDPConnection probe(100);
  const std::string address = probe.IP();
  probe.Close();
  const char* hosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1"};
  std::string ports;  // the four port lines, the same for every rank
  for (int rank = 0; rank < 3; ++rank) {
    std::string got = testutil::ReadFile(work_ + "/rank." + std::to_string(rank));
    ASSERT_FALSE(got.empty()) << "rank " << rank << " did not run\n" << run.Stderr();
    std::string head = work_ + "\n<a>\n<b>\n" + hosts[rank] + "\n";
    ASSERT_EQ(got.substr(0, head.size()), head) << got;
    std::istringstream env(got.substr(head.size()));
    std::vector<std::string> vars;
    for (std::string line; std::getline(env, line);) vars.push_back(line);
    ASSERT_EQ(vars.size(), 8u) << got;
    EXPECT_EQ(vars[2], "TARVO_HOST=" + address);
    EXPECT_EQ(vars[3], "TARVO_RANK=" + std::to_string(rank));
    EXPECT_EQ(vars[4], "TARVO_SIZE=3");
    EXPECT_EQ(vars[7], "TARVO_WORKDIR=" + work_);
    std::string mine = vars[0] + vars[1] + vars[5] + vars[6];
    EXPECT_EQ(vars[0].rfind("TARVO_ADDRESS_PORT=", 0), 0u);
    EXPECT_EQ(vars[1].rfind("TARVO_CONSOLE_PORT=", 0), 0u);
    EXPECT_EQ(vars[5].rfind("TARVO_SYNC_PORT=", 0), 0u);
    EXPECT_EQ(vars[6].rfind("TARVO_VISUAL_PORT=", 0), 0u);
    if (rank == 0) ports = mine;
    EXPECT_EQ(mine, ports);
  }
}

// The remote shell joins its words and the far side's shell splits them
// again: every word arrives as it was given, none is run or expanded, and
// a carrier that fails there fails the rank.
TEST_F(RemoteSsh, EveryWordReachesTheFarSideAsItIs) {
  ASSERT_TRUE(testutil::WriteScript(work_ + "/probe", "#!/bin/sh\nprintf '<%s>\\n' \"$@\" > out.$TARVO_RANK\n"));
  testutil::WriteFile(work_ + "/hosts", "127.0.0.2\n");
  harness::Options opts = Options();
  const std::vector<std::string> words = {"a  b", "c;touch made", "$HOME", "it's", "", "*", "x\"y`z`"};
  std::vector<std::string> args = {"-ssh", "-np", "1", "-mf", "hosts", "probe"};
  args.insert(args.end(), words.begin(), words.end());
  {
    harness::LauncherRun run(args, opts);
    ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
    std::string want;
    for (const std::string& w : words) want += "<" + w + ">\n";
    EXPECT_EQ(testutil::ReadFile(work_ + "/out.0"), want);
    EXPECT_NE(access((work_ + "/made").c_str(), F_OK), 0);
  }
  {
    harness::LauncherRun run({"-ssh", "-np", "1", "-mf", "hosts", "no-such-program"}, opts);
    EXPECT_EQ(run.Wait(90), 127) << run.Stdout() << run.Stderr();
  }
}

// A project directory of 300 characters and a command line of a thousand
// arguments run in every launch mode: carrier here, a remote shell per
// rank, an agent per host.
TEST_F(RemoteSsh, DeepDirectoryAndAThousandArgumentsInEveryMode) {
  std::string deep = work_;
  while (deep.size() < 300) {
    deep += "/" + std::string(std::min<size_t>(50, 300 - deep.size()), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep;
  }
  ASSERT_TRUE(testutil::WriteScript(
      deep + "/probe", "#!/bin/sh\nfor last; do :; done\necho \"$(pwd) $# $1 $last\" > out.$TARVO_RANK\n"));
  testutil::WriteFile(deep + "/hosts", "127.0.0.2\n");
  std::vector<std::string> words = {"probe"};
  for (int i = 0; i < 1000; ++i) words.push_back("a" + std::to_string(i));
  struct Mode {
    const char* name;
    std::vector<std::string> options;
    const char* launch;
  } modes[] = {{"carrier", {"-np", "2"}, "rank"},
               {"per-rank remote shells", {"-ssh", "-np", "2", "-mf", "hosts"}, "rank"},
               {"agents", {"-ssh", "-np", "2", "-mf", "hosts"}, "host"}};
  harness::Options opts = Options();
  opts.workdir = deep;
  opts.exactPath = sshd().ShimDir() + ":" TARVO_BIN_DIR ":/usr/bin:/bin";
  for (const Mode& m : modes) {
    for (const char* f : {"/out.0", "/out.1"}) unlink((deep + f).c_str());
    std::vector<std::string> args = m.options;
    args.insert(args.end(), words.begin(), words.end());
    opts.env["TARVO_LAUNCH"] = m.launch;
    harness::LauncherRun run(args, opts);
    ASSERT_EQ(run.Wait(90), 0) << m.name << "\n" << run.Stdout() << run.Stderr() << sshd().Log();
    for (const char* f : {"/out.0", "/out.1"}) {
      EXPECT_EQ(testutil::ReadFile(deep + f), deep + " 1000 a0 a999\n") << m.name << f;
    }
  }
}

// TARVO_WDIR (relative to tarvo's directory) is where every rank starts
// and finds a bare program name, and TARVO_TIMEOUT_SIGNAL's warning reaches
// a script that traps it well before the time limit: in every mode.
TEST_F(RemoteSsh, RanksStartInTarvoWdirAndTrapTheWarningBeforeTheTimeLimit) {
  const std::string sub = work_ + "/ranks";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  testutil::WriteFile(sub + "/probe",
                      "#!/bin/sh\ntrap 'echo warned > warned.$TARVO_RANK; exit 0' USR1\npwd > where.$TARVO_RANK\n"
                      "i=0; while [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; exit 3\n");
  ASSERT_EQ(chmod((sub + "/probe").c_str(), 0755), 0);
  testutil::WriteFile(work_ + "/hosts", "127.0.0.2\n");
  // A login slower than the warning's 2 s: the warning waits for the
  // programs that have not started yet.
  ASSERT_TRUE(testutil::WriteScript(work_ + "/slowssh", "#!/bin/sh\nsleep 4\nexec ssh \"$@\"\n"));
  struct Mode {
    const char* name;
    std::vector<std::string> args;
    const char* launch;
    std::string rsh;
  } modes[] = {{"carrier", {"-np", "2", "probe"}, "rank", ""},
               {"per-rank remote shells", {"-ssh", "-np", "2", "-mf", "hosts", "probe"}, "rank", ""},
               {"a slow login", {"-np", "2", "-mf", "hosts", "probe"}, "rank", work_ + "/slowssh"},
               {"agents", {"-ssh", "-np", "2", "-mf", "hosts", "probe"}, "host", ""}};
  harness::Options opts = Options();
  opts.exactPath = sshd().ShimDir() + ":" TARVO_BIN_DIR ":/usr/bin:/bin";
  opts.env = {{"TARVO_WDIR", "ranks"}, {"TARVO_TIMEOUT", "60"}, {"TARVO_TIMEOUT_SIGNAL", "USR1@58"}};
  for (const Mode& m : modes) {
    for (const char* f : {"/where.0", "/where.1", "/warned.0", "/warned.1"}) unlink((sub + f).c_str());
    opts.env["TARVO_LAUNCH"] = m.launch;
    opts.env.erase("TARVO_RSH");
    if (!m.rsh.empty()) opts.env["TARVO_RSH"] = m.rsh;
    harness::LauncherRun run(m.args, opts);
    // Status 0: each rank ended by the trap, not at the limit nor by itself.
    ASSERT_EQ(run.Wait(90), 0) << m.name << "\n" << run.Stdout() << run.Stderr() << sshd().Log();
    for (const char* r : {"0", "1"}) {
      EXPECT_EQ(testutil::ReadFile(sub + "/where." + r), sub + "\n") << m.name << " rank " << r;
      EXPECT_EQ(testutil::ReadFile(sub + "/warned." + r), "warned\n") << m.name << " rank " << r;
    }
  }
}

// TARVO_STDIN in every mode: rank 0 (the default), a rank R, none, and all,
// which gives every rank the whole 50 MB while a rank that never reads (it
// waits for the others to have read everything) holds nobody up: it is cut
// 16 MiB behind them.
TEST_F(RemoteSsh, EachTarvoStdinValueGivesTheInputToItsRanksInEveryMode) {
  const std::string big = work_ + "/big", small = work_ + "/small";
  ASSERT_EQ(testutil::Run("head -c 50000000 /dev/urandom > " + big + " && head -c 100000 " + big + " > " + small).status, 0);
  auto sum = [](const std::string& file) { return testutil::Run("cksum < " + file).out; };
  const std::string bigSum = sum(big), smallSum = sum(small), emptySum = sum("/dev/null");
  testutil::WriteFile(work_ + "/probe",
                      "#!/bin/sh\n"
                      "if [ $TARVO_RANK = 2 ]; then i=0\n"
                      "  while [ ! -s got.0 ] || [ ! -s got.1 ]; do sleep 0.1; i=$((i+1)); [ $i -gt 600 ] && exit 5; done\n"
                      "  exit 0\nfi\n"
                      "cksum > got.$TARVO_RANK.tmp && mv got.$TARVO_RANK.tmp got.$TARVO_RANK\n");
  ASSERT_EQ(chmod((work_ + "/probe").c_str(), 0755), 0);
  testutil::WriteFile(work_ + "/hosts", "127.0.0.2\n");
  struct Mode {
    const char* name;
    std::vector<std::string> args;
    const char* launch;
  } modes[] = {{"carrier", {"-np", "3", "probe"}, "rank"},
               {"per-rank remote shells", {"-ssh", "-np", "3", "-mf", "hosts", "probe"}, "rank"},
               {"agents", {"-ssh", "-np", "3", "-mf", "hosts", "probe"}, "host"}};
  struct Value {
    const char* value;
    const std::string* input;
    std::string rank0, rank1;
  } values[] = {{"0", &small, smallSum, emptySum},
                {"1", &small, emptySum, smallSum},
                {"none", &small, emptySum, emptySum},
                {"all", &big, bigSum, bigSum}};
  harness::Options opts = Options();
  opts.exactPath = sshd().ShimDir() + ":" TARVO_BIN_DIR ":/usr/bin:/bin";
  for (const Mode& m : modes) {
    for (const Value& v : values) {
      for (const char* f : {"/got.0", "/got.1"}) unlink((work_ + f).c_str());
      opts.env = {{"TARVO_LAUNCH", m.launch}, {"TARVO_STDIN", v.value}};
      opts.stdinFile = *v.input;
      harness::LauncherRun run(m.args, opts);
      ASSERT_EQ(run.Wait(120), 0) << m.name << " " << v.value << "\n" << run.Stdout() << run.Stderr() << sshd().Log();
      EXPECT_EQ(testutil::ReadFile(work_ + "/got.0"), v.rank0) << m.name << " " << v.value;
      EXPECT_EQ(testutil::ReadFile(work_ + "/got.1"), v.rank1) << m.name << " " << v.value;
      const std::string cut = "tarvo: rank 2 stopped reading its input, 16 MiB behind the others; its input ends there\n";
      // tarvo's own lines only: the far side's login shell may say things of
      // its own (a profile's pyenv that cannot rehash while another login does).
      std::string said;
      std::istringstream err(run.Stderr());
      for (std::string line; std::getline(err, line);) {
        if (line.rfind("tarvo: ", 0) == 0) said += line + "\n";
      }
      EXPECT_EQ(said, std::string(v.value) == "all" ? cut : "") << m.name << " " << v.value << "\n" << run.Stderr();
    }
  }
}

}  // namespace
