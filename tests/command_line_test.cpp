#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/Control.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"

namespace {

CommandLine Scan(std::vector<std::string> words) {
  words.insert(words.begin(), "tarvo");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  return ScanCommandLine(static_cast<int>(words.size()), argv.data());
}

const char kUsage[] =
    "Usage: tarvo [options]\n"
    "Options:\n"
    "     -{rsh | ssh}    : remote host access protocol\n"
    "     -np nprocs      : number of processes\n"
    "     -mf machinefile : machine file\n"
    "     -pf programfile : program file\n"
    "      userprog        : user executable file\n"
    "      [user_arg0,user_arg1, ... ] : user program command line arguments\n";

TEST(CommandLineScan, ProgramIsTheWordAfterTheLastCountOrMachineFileValue) {
  CommandLine a = Scan({"prog", "a"});
  EXPECT_EQ(a.outcome, CommandLine::kRun);
  EXPECT_EQ(a.numProcs, 1);
  EXPECT_EQ(a.programIndex(), 1);
  EXPECT_EQ(a.userArgCount(3), 1);

  // The shell option stands where the program should: it becomes the program.
  CommandLine b = Scan({"-np", "2", "-ssh", "prog"});
  EXPECT_EQ(b.programIndex(), 3);
  EXPECT_TRUE(b.comShell) << "the option takes effect all the same";

  // A later "-np" among the user's words overrides and moves the program.
  CommandLine c = Scan({"-np", "2", "prog", "-np", "3", "x"});
  EXPECT_EQ(c.outcome, CommandLine::kRun);
  EXPECT_EQ(c.numProcs, 3);
  EXPECT_EQ(c.programIndex(), 6);
  EXPECT_EQ(c.userArgCount(7), 0);

  CommandLine d = Scan({"-np", "4", "-mf", "hosts", "prog", "x", "y"});
  EXPECT_TRUE(d.machineFileGiven);
  EXPECT_STREQ(d.machineFile, "hosts");
  EXPECT_EQ(d.programIndex(), 5);
  EXPECT_EQ(d.userArgCount(8), 2);
}

TEST(CommandLineScan, ShellFlagFollowsTheLastShellOption) {
  EXPECT_FALSE(Scan({"-ssh", "-rsh", "prog"}).comShell);
  EXPECT_TRUE(Scan({"-rsh", "-ssh", "prog"}).comShell);
  EXPECT_FALSE(Scan({"prog", "x"}).comShell);
}

TEST(CommandLineScan, UsageCases) {
  EXPECT_EQ(Scan({}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"prog"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"-help", "prog", "a"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"prog", "-help"}).outcome, CommandLine::kRun) << "-help only counts first";
  EXPECT_EQ(Scan({"-np", "2", "-pf", "file"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"-pf", "file", "-np", "2"}).outcome, CommandLine::kUsage);
  // Values missing at the end, and no program after the last value.
  EXPECT_EQ(Scan({"prog", "-np"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"prog", "-mf"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"prog", "-pf"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"-np", "2"}).outcome, CommandLine::kUsage);
  EXPECT_EQ(Scan({"prog", "-mf", "hosts"}).outcome, CommandLine::kUsage);
  // The program-file form needs no program word.
  EXPECT_EQ(Scan({"-pf", "file"}).outcome, CommandLine::kRun);
  EXPECT_EQ(Scan({"-pf", "file", "-mf", "hosts"}).outcome, CommandLine::kRun);
}

TEST(CommandLineScan, CountRange) {
  EXPECT_EQ(Scan({"-np", "2000", "prog"}).numProcs, 2000);
  for (const char* bad : {"0", "2001", "abc", "-5", "99999999999"}) {
    CommandLine cl = Scan({"-np", bad, "prog"});
    EXPECT_EQ(cl.outcome, CommandLine::kNpRange) << bad;
  }
  EXPECT_EQ(Scan({"-np", "abc", "prog"}).npValue, 0);
  EXPECT_EQ(Scan({"-np", "12x", "prog"}).numProcs, 12) << "leading digits count";
}

TEST(CommandLineScan, OverlongPathsAreRefused) {
  // PATH_MAX's: a path of 4095 characters is taken, one more is refused.
  std::string longPath(kMaxPathLength + 1, 'p');
  CommandLine a = Scan({"-mf", longPath, "prog"});
  EXPECT_EQ(a.outcome, CommandLine::kTooLong);
  EXPECT_EQ(a.error, "ERROR-Control Process: machine file path is longer than 4095 characters: " + longPath + "\n");
  EXPECT_EQ(Scan({"-pf", longPath, "x"}).outcome, CommandLine::kTooLong);
  CommandLine fits = Scan({"-mf", std::string(kMaxPathLength, 'p'), "prog"});
  EXPECT_EQ(fits.outcome, CommandLine::kRun);
  EXPECT_EQ(std::string(fits.machineFile), std::string(kMaxPathLength, 'p'));
  // Only the value that stands counts.
  EXPECT_EQ(Scan({"-mf", longPath, "-mf", "short", "prog"}).outcome, CommandLine::kRun);
}

TEST(LauncherExit, UsageTextAndStatuses) {
  using testutil::Run;
  using testutil::Tarvo;
  auto usage = Run(Tarvo() + " prog");
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out, kUsage);

  EXPECT_EQ(Run(Tarvo() + " -help prog a").out, kUsage);

  for (const char* bad : {"0", "2001", "abc"}) {
    auto r = Run(Tarvo() + " -np " + bad + " prog");
    EXPECT_EQ(r.status, 0) << bad;
    int shown = std::string(bad) == "2001" ? 2001 : 0;
    EXPECT_EQ(r.out, "Please check your '-np': number of processors\nYour current processor number: " +
                         std::to_string(shown) + "\n" + kUsage);
  }
  auto both = Run(Tarvo() + " -pf file -np 2");
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out, kUsage);

  auto version = Run(Tarvo() + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tarvo " TARVO_VERSION "\n");

  auto longPath = Run(Tarvo() + " -mf " + std::string(kMaxPathLength + 1, 'm') + " prog");
  EXPECT_EQ(longPath.status, 255);
  EXPECT_EQ(longPath.out.rfind("ERROR-Control Process: machine file path is longer than 4095 characters: ", 0), 0u);
}

TEST(LauncherExit, UnreadableWorkingDirectoryEndsWith255) {
  std::string dir = testutil::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  auto r = testutil::Run("cd " + dir + " && rmdir " + dir + " && exec " + testutil::Tarvo() + " prog a");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("getcwd: ", 0), 0u) << r.err;
}

TEST(LauncherExit, OverlongProgramPathIsRefusedBeforeAnyProcess) {
  auto r = testutil::Run(testutil::Tarvo() + " /" + std::string(kMaxPathLength, 'q') + " a");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.rfind("ERROR-Control Process: program path is longer than 4095 characters: /qq", 0), 0u) << r.out;
}

}  // namespace

namespace {

// Files that never end (a device, an endless pipe) are refused, not read for
// ever: before, both runs hung until killed.
TEST(LauncherExit, EndlessInputFilesAreRefusedWith255) {
  auto pf = testutil::Run(testutil::Tarvo() + " -pf /dev/zero", 20);
  EXPECT_EQ(pf.status, 255);
  EXPECT_NE(pf.out.find("ERROR-"), std::string::npos) << pf.out;
  auto mf = testutil::Run("cd /tmp && PATH=" TARVO_FAKE_BIN_DIR ":$PATH " + testutil::Tarvo() +
                              " -mf /dev/zero prog", 20);
  EXPECT_EQ(mf.status, 255);
  EXPECT_NE(mf.out.find("ERROR-"), std::string::npos) << mf.out;
}

}  // namespace
