// How a run finds its program and where the ranks' input and output go,
// through the real tarvo and the real carrier, with shell scripts as the
// programs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"

namespace {

class OutputRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testutil::MakeTempDir();
    bin_ = testutil::MakeTempDir();
  }
  void TearDown() override {
    if (system(("rm -rf " + dir_ + " " + bin_).c_str()) != 0) {
    }
  }
  // An executable shell script.
  static void Script(const std::string& path, const std::string& body) {
    testutil::WriteFile(path, "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  // `env tarvo words` from the run directory, with tarvo's directory and
  // bin_ on PATH.
  testutil::RunResult Tarvo(const std::string& words, const std::string& env = "", int seconds = 60) {
    return testutil::Run("cd " + dir_ + " && PATH=" + std::string(TARVO_BIN_DIR) + ":" + bin_ + ":$PATH " + env +
                             " " + testutil::Tarvo() + " " + words,
                         seconds);
  }
  static std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::string dir_, bin_;
};

const char kWhere[] = "echo \"$1 $TARVO_RANK\"\n";

TEST_F(OutputRun, ProgramByAbsolutePathOnPathOrInTheWorkingDirectory) {
  // An absolute path, in either form, is used as it stands.
  Script(bin_ + "/abs", kWhere);
  const std::vector<std::string> two = {"abs 0", "abs 1"};
  testutil::RunResult r = Tarvo("-np 2 " + bin_ + "/abs abs");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SortedLines(r.out), two);
  testutil::WriteFile(dir_ + "/programs", bin_ + "/abs abs\n" + bin_ + "/abs abs\n");
  r = Tarvo("-pf programs");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SortedLines(r.out), two);

  // A bare word that is no file here comes from PATH; one that is, wins.
  Script(bin_ + "/both", "echo path\n");
  r = Tarvo("-np 2 both");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "path\npath\n");
  Script(dir_ + "/both", "echo here\n");
  r = Tarvo("-np 2 both");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "here\nhere\n");
  testutil::WriteFile(dir_ + "/programs", "both\nabs x\n");
  r = Tarvo("-pf programs");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SortedLines(r.out), std::vector<std::string>({"here", "x 1"}));

  // Neither: carrier says where it looked.
  r = Tarvo("-np 1 nowhere");
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("carrier: nowhere: not found in " + dir_ + " nor on PATH " + TARVO_BIN_DIR + ":" + bin_ + ":"),
            std::string::npos)
      << r.err;
}

}  // namespace
