// The real carrier: it enters the working directory, exports the launcher's
// parameters and becomes the program with the program's own arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/run_util.h"
#include "tests/support/wait.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs carrier with exactly these words after its name, bounded to 30 s.
Outcome Carrier(const std::vector<std::string>& words, const std::vector<std::string>& env = {}) {
  std::string dir = testutil::MakeTempDir();
  std::string out = dir + "/out", err = dir + "/err";
  std::string path = std::string(TARVO_BIN_DIR) + "/carrier";
  std::vector<std::string> all = {path};
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (auto& w : all) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envs = {"PATH=/usr/bin:/bin"};
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  Outcome o;
  pid_t pid = fork();
  if (pid == 0) {
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fo, 1);
    dup2(fe, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(99);
  }
  o.status = support::WaitChild(pid, 30000);
  o.out = testutil::ReadFile(out);
  o.err = testutil::ReadFile(err);
  std::string cleanup = "rm -rf " + dir;
  if (system(cleanup.c_str()) != 0) {
  }
  return o;
}

std::vector<std::string> Params(const std::string& workdir, const std::string& rank = "2") {
  return {"4001", "4002", "127.0.0.7", "4003", "4004", rank, "5", workdir};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class CarrierTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testutil::MakeTempDir(); }
  void TearDown() override {
    std::string cleanup = "rm -rf " + dir_;
    if (system(cleanup.c_str()) != 0) {
    }
  }
  std::string dir_;
};

const char kEnvList[] =
    "TARVO_ADDRESS_PORT=4003\nTARVO_CONSOLE_PORT=4001\nTARVO_HOST=127.0.0.7\nTARVO_RANK=2\n"
    "TARVO_SIZE=5\nTARVO_SYNC_PORT=4002\nTARVO_VISUAL_PORT=4004\nTARVO_WORKDIR=";

TEST_F(CarrierTest, BecomesTheProgramWithItsOwnArgumentsInTheWorkingDirectory) {
  // A program found on the search path, with arguments that a shell would
  // have split or dropped: they arrive as they were given.
  const char script[] = "pwd; printf '<%s>\\n' \"$@\"; env | grep ^TARVO_ | sort";
  Outcome o = Carrier(Concat({"sh", "-c", script, "zero", "a b", "", "7"}, Params(dir_)), {"TARVO_RANK=stale"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, dir_ + "\n<a b>\n<>\n<7>\n" + kEnvList + dir_ + "\n");
}

TEST_F(CarrierTest, RunsAShellScriptWithoutArguments) {
  ASSERT_TRUE(testutil::WriteScript(dir_ + "/probe", "#!/bin/sh\necho \"$# $TARVO_RANK/$TARVO_SIZE $(pwd)\"\n"));
  // A relative program is found from the working directory it enters.
  Outcome o = Carrier(Concat({"./probe"}, Params(dir_, "0")));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "0 0/5 " + dir_ + "\n");
  // A script without "#!" goes to the shell, with its arguments, whichever
  // C library carrier has.
  ASSERT_TRUE(testutil::WriteScript(dir_ + "/bare", "echo \"bare $# $1\"\n"));
  o = Carrier(Concat({"./bare", "one"}, Params(dir_, "0")));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "bare 1 one\n");
}

// On a remote host (no launcher of this host started it) carrier gives the
// program a terminal for its standard output when TARVO_PTY asks, sized as
// it says, and relays it; TARVO_PTY does not reach the program. Without
// it, or with no terminal left, the program writes to carrier's own output.
TEST_F(CarrierTest, RemoteProgramWritesToTheTerminalThatTarvoPtyAsksFor) {
  ASSERT_TRUE(testutil::WriteScript(
      dir_ + "/probe", "#!/bin/sh\n[ -t 1 ] && stty size <&1 || echo pipe\necho \"${TARVO_PTY-unset}\"\n"));
  const struct {
    const char* env;
    const char* out;
  } rows[] = {{"TARVO_PTY=100x30", "30 100\nunset\n"}, {"TARVO_PTY=1", "0 0\nunset\n"}, {"TARVO_PTY=", "pipe\nunset\n"}};
  for (const auto& row : rows) {
    Outcome o = Carrier(Concat({"./probe"}, Params(dir_)), {row.env});
    EXPECT_EQ(o.status, 0) << row.env << o.err;
    EXPECT_EQ(o.out, row.out) << row.env;
    EXPECT_EQ(o.err, "") << row.env;
  }
  // A private instance of the terminals' file system that holds one, held.
  const std::string own = "mount -t devpts -o newinstance,max=1,ptmxmode=0666 devpts /dev/pts && "
                          "mount --bind /dev/pts/ptmx /dev/ptmx && exec 3<>/dev/ptmx";
  if (testutil::Run("unshare --mount sh -c \"" + own + "\"").status != 0) {
    GTEST_SKIP() << "no private mount of the terminals' file system here (needs root and unshare)";
  }
  std::string words;
  for (const std::string& w : Params(dir_)) words += " " + w;
  testutil::RunResult r = testutil::Run("cd " + dir_ + " && unshare --mount sh -c \"" + own + " && TARVO_PTY=1 " +
                                        TARVO_BIN_DIR + "/carrier ./probe" + words + "\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "pipe\nunset\n");
  EXPECT_EQ(r.err, "tarvo: no terminal for the output of rank 2 (posix_openpt: No space left on device); it writes to "
                   "its remote shell's output\n");
}

TEST_F(CarrierTest, UsageErrorsEndWithStatusTwo) {
  struct Case {
    std::vector<std::string> words;
    std::string err;
  };
  const std::string usage =
      "carrier: usage: carrier PROGRAM [ARGS...] CONSOLE_PORT SYNC_PORT LAUNCHER_ADDRESS ADDRESS_PORT "
      "VISUAL_PORT RANK COUNT WORKDIR\n";
  std::vector<Case> cases = {
      {{}, usage},
      {Params(dir_), usage},  // no program
      {{"true", "x", "4002", "h", "4003", "4004", "0", "1", dir_}, "carrier: TARVO_CONSOLE_PORT is not a number: x\n"},
      {{"true", "4001", "40a2", "h", "4003", "4004", "0", "1", dir_},
       "carrier: TARVO_SYNC_PORT is not a number: 40a2\n"},
      {{"true", "4001", "4002", "h", "", "4004", "0", "1", dir_}, "carrier: TARVO_ADDRESS_PORT is not a number: \n"},
      {{"true", "4001", "4002", "h", "4003", "+4", "0", "1", dir_}, "carrier: TARVO_VISUAL_PORT is not a number: +4\n"},
      {{"true", "4001", "4002", "h", "4003", "4004", "-1", "1", dir_}, "carrier: TARVO_RANK is not a number: -1\n"},
      {{"true", "4001", "4002", "h", "4003", "4004", "0", "99999999999", dir_},
       "carrier: TARVO_SIZE is not a number: 99999999999\n"},
      // One past INT_MAX wraps a 32-bit long before any check after the step.
      {{"true", "4001", "4002", "h", "4003", "4004", "0", "2147483648", dir_},
       "carrier: TARVO_SIZE is not a number: 2147483648\n"},
  };
  for (const Case& c : cases) {
    Outcome o = Carrier(c.words);
    EXPECT_EQ(o.status, 2) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
  }
  // The address is text: any word will do.
  EXPECT_EQ(Carrier({"true", "4001", "4002", "not-a-number", "4003", "4004", "0", "1", dir_}).status, 0);
  EXPECT_EQ(Carrier({"true", "4001", "4002", "h", "4003", "4004", "0", "2147483647", dir_}).status, 0);
}

TEST_F(CarrierTest, UnreachableDirectoryOrProgramEndsWith127) {
  Outcome noDir = Carrier(Concat({"true"}, Params(dir_ + "/missing")));
  EXPECT_EQ(noDir.status, 127);
  EXPECT_EQ(noDir.err, "carrier: " + dir_ + "/missing: No such file or directory\n");
  // The reasons are worded as tarvo's own C library words them.
  const std::string tooLong = dir_ + "/" + std::string(5000, 'x');
  EXPECT_EQ(Carrier(Concat({"true"}, Params(tooLong))).err, "carrier: " + tooLong + ": File name too long\n");

  Outcome noProgram = Carrier(Concat({dir_ + "/nothing"}, Params(dir_)));
  EXPECT_EQ(noProgram.status, 127);
  EXPECT_EQ(noProgram.err, "carrier: nothing: not found in " + dir_ + " nor on PATH /usr/bin:/bin\n");

  testutil::WriteFile(dir_ + "/plain", "echo never\n");
  ASSERT_EQ(chmod((dir_ + "/plain").c_str(), 0644), 0);
  Outcome notExecutable = Carrier(Concat({"./plain", "x"}, Params(dir_)));
  EXPECT_EQ(notExecutable.status, 127);
  EXPECT_EQ(notExecutable.err, "carrier: ./plain: Permission denied\n");
  EXPECT_EQ(notExecutable.out, "");
}

}  // namespace
