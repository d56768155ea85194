// Per-rank output files (TARVO_OUTPUT, TARVO_ERROR) and binding (TARVO_BIND,
// TARVO_REPORT_BINDING) through the real tarvo, carrier and agent, locally,
// over per-rank remote shells and in host mode on the loopback sshd.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/rank_place.h"
#include "launcher/spawn/RankFiles.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/sshd.h"

namespace {

const bool kHaveHwloc = TARVO_TESTS_HWLOC;  // false: the build refuses TARVO_BIND

// The probe: a line on each stream, then the CPUs it may use.
const char kProbe[] =
    "#!/bin/sh\n"
    "echo \"out $TARVO_RANK\"\n"
    "echo \"err $TARVO_RANK\" >&2\n"
    "grep Cpus_allowed_list /proc/self/status | cut -f2\n";

void WriteProbe(const std::string& dir) {
  testutil::WriteFile(dir + "/probe", kProbe);
  ASSERT_EQ(chmod((dir + "/probe").c_str(), 0755), 0);
}

std::string AllCpus() {
  cpu_set_t set;
  sched_getaffinity(0, sizeof set, &set);
  return CpuListText(set);
}

// This host's cores as the agent lists them, one CPU list each.
std::vector<std::string> Cores() {
  std::vector<std::string> cores;
  std::istringstream in(testutil::Run(std::string(TARVO_BIN_DIR) + "/tarvo-agent --cpus core").out);
  for (std::string line; std::getline(in, line);) cores.push_back(line);
  return cores;
}

testutil::RunResult RunTarvo(const std::string& dir, const std::string& env, const std::string& words) {
  return testutil::Run("cd " + dir + " && PATH=" + std::string(TARVO_BIN_DIR) + ":$PATH " + env + " " +
                       testutil::Tarvo() + " " + words);
}

TEST(RankPattern, ExpandsRankHostAndPercent) {
  struct Case {
    const char* pattern;
    bool wellFormed;
    const char* expanded;  // for rank 7 on node1
  } cases[] = {
      {"out.%r", true, "out.7"},        {"%h/%r.log", true, "node1/7.log"}, {"100%%.%r", true, "100%.7"},
      {"plain", true, "plain"},         {"out.%x", false, nullptr},         {"out.%", false, nullptr},
      {"%%%r%h", true, "%7node1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spawn::RankPatternWellFormed(c.pattern), c.wellFormed) << c.pattern;
    if (c.wellFormed) {
      EXPECT_EQ(spawn::ExpandRankPattern(c.pattern, 7, "node1"), c.expanded) << c.pattern;
    }
  }
}

TEST(CpuList, ReadsAndWritesTasksetsForm) {
  struct Case {
    const char* text;
    bool valid;
    const char* normal;
  } cases[] = {{"0", true, "0"},       {"0-3,8", true, "0-3,8"},   {"3,1,2", true, "1-3"}, {"5-5", true, "5"},
               {"", false, nullptr},   {"1-", false, nullptr},     {"3-1", false, nullptr}, {"1,,2", false, nullptr},
               {"a", false, nullptr},  {"99999", false, nullptr}};
  for (const Case& c : cases) {
    cpu_set_t set;
    EXPECT_EQ(CpuListRead(c.text, &set), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(CpuListText(set), c.normal) << c.text;
    }
  }
  // The wrap notice counts its units as a reader would.
  EXPECT_EQ(WrapReport("h", 1, "socket"), "tarvo: more ranks than the 1 socket of h that may be used: they wrap around\n");
  EXPECT_EQ(WrapReport("h", 2, "core"), "tarvo: more ranks than the 2 cores of h that may be used: they wrap around\n");
}

TEST(RankPlaceRun, RefusesBadSettingsBeforeAnythingStarts) {
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/probe", "#!/bin/sh\ntouch started.$TARVO_RANK\n");
  ASSERT_EQ(chmod((dir + "/probe").c_str(), 0755), 0);
  const std::string longName(130, 'x');
  struct Case {
    std::string env;
    int np;
    const char* variable;
  } cases[] = {
      {"TARVO_OUTPUT=out", 2, "TARVO_OUTPUT"},
      {"TARVO_OUTPUT=out.%%r", 2, "TARVO_OUTPUT"},
      {"TARVO_OUTPUT=out.%r TARVO_ERROR=err", 2, "TARVO_ERROR"},
      {"TARVO_ERROR=err.%x", 1, "TARVO_ERROR"},
      {"TARVO_OUTPUT=" + longName + ".%r", 1, "TARVO_OUTPUT"},
      {"TARVO_ERROR=" + longName.substr(0, 120) + "%r%r%r%r%r%r%r%r", 1, "TARVO_ERROR"},
      {"TARVO_BIND=cores", 1, "TARVO_BIND"},
      {"TARVO_REPORT_BINDING=yes", 1, "TARVO_REPORT_BINDING"},
  };
  for (const Case& c : cases) {
    for (const char* launch : {"rank", "host"}) {
      testutil::RunResult r =
          RunTarvo(dir, c.env + " TARVO_LAUNCH=" + launch, "-np " + std::to_string(c.np) + " ./probe");
      EXPECT_EQ(r.status, 255) << c.env << " " << launch << r.out << r.err;
      EXPECT_EQ(r.out.find("ERROR-"), 0u) << c.env;
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
      EXPECT_NE(r.out.find(std::string(c.variable) + "="), std::string::npos) << r.out;
      EXPECT_NE(access((dir + "/started.0").c_str(), F_OK), 0) << c.env << ": a rank started";
    }
  }
}

// Each rank's streams in its own files, in each way tarvo starts ranks on
// its own host; nothing reaches tarvo's streams, and no label.
TEST(RankPlaceRun, EveryLocalRankWritesItsOwnFiles) {
  const std::string host = testutil::Run("hostname").out.substr(0, testutil::Run("hostname").out.find('\n'));
  struct Case {
    const char* launch;
    bool errorFile;
  } cases[] = {{"rank", true}, {"rank", false}, {"host", true}, {"host", false}};
  for (const Case& c : cases) {
    const std::string dir = testutil::MakeTempDir();
    WriteProbe(dir);
    std::string env = std::string("TARVO_LABEL=1 TARVO_LAUNCH=") + c.launch + " TARVO_OUTPUT=out.%h.%r";
    if (c.errorFile) env += " TARVO_ERROR=err.%r";
    testutil::RunResult r = RunTarvo(dir, env, "-np 3 ./probe");
    ASSERT_EQ(r.status, 0) << env << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "") << env;
    for (int rank = 0; rank < 3; ++rank) {
      const std::string n = std::to_string(rank);
      const std::string out = testutil::ReadFile(dir + "/out." + host + "." + n);
      EXPECT_EQ(out, "out " + n + "\n" + (c.errorFile ? "" : "err " + n + "\n") + AllCpus() + "\n") << env;
      if (c.errorFile) {
        EXPECT_EQ(testutil::ReadFile(dir + "/err." + n), "err " + n + "\n") << env;
      }
    }
  }
}

// The directories of the files are made (0755) on the rank's host; a file
// that still cannot be created (under a file) fails its rank.
TEST(RankPlaceRun, FilesGetTheirDirectoriesAndOneThatCannotBeCreatedFailsItsRank) {
  for (const char* launch : {"rank", "host"}) {
    const std::string dir = testutil::MakeTempDir();
    WriteProbe(dir);
    testutil::RunResult made =
        RunTarvo(dir, std::string("TARVO_LAUNCH=") + launch + " TARVO_OUTPUT=log/deeper/out.%r", "-np 2 ./probe");
    ASSERT_EQ(made.status, 0) << launch << made.out << made.err;
    struct stat st;
    ASSERT_EQ(stat((dir + "/log/deeper").c_str(), &st), 0) << launch;
    EXPECT_EQ(st.st_mode & 0700, 0700u) << launch;
    for (const char* rank : {"0", "1"}) {
      EXPECT_EQ(testutil::ReadFile(dir + "/log/deeper/out." + rank).rfind(std::string("out ") + rank + "\n", 0), 0u)
          << launch;
    }
    testutil::RunResult r =
        RunTarvo(dir, std::string("TARVO_LAUNCH=") + launch + " TARVO_KILL_ON_BAD_EXIT=0 TARVO_OUTPUT=probe/out.%r",
                 "-np 2 ./probe");
    EXPECT_NE(r.status, 0) << launch;
    for (const char* rank : {"0", "1"}) {
      EXPECT_NE(r.err.find(std::string("tarvo: cannot create probe/out.") + rank + ": Not a directory\n"),
                std::string::npos)
          << launch << r.err;
    }
    EXPECT_EQ(r.out.find("out 0"), std::string::npos) << r.out;
  }
}

// TARVO_BIND=core: rank k of a host on its k-th core, wrapping around with
// one line when there are more ranks than cores. A build without hwloc
// refuses it.
TEST(RankPlaceRun, CoreBindingTakesSuccessiveCoresAndWraps) {
  if (!kHaveHwloc) {
    const std::string dir = testutil::MakeTempDir();
    WriteProbe(dir);
    testutil::RunResult r = RunTarvo(dir, "TARVO_BIND=core", "-np 1 ./probe");
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_EQ(r.out, "ERROR-Control Process: TARVO_BIND=core needs hwloc, which this tarvo was built without\n");
    return;
  }
  const std::vector<std::string> cores = Cores();
  ASSERT_FALSE(cores.empty());
  for (const char* launch : {"rank", "host"}) {
    for (size_t np : {size_t{1}, cores.size() + 1}) {
      const std::string dir = testutil::MakeTempDir();
      WriteProbe(dir);
      const std::string env = std::string("TARVO_LAUNCH=") + launch +
                              " TARVO_BIND=core TARVO_REPORT_BINDING=1 TARVO_OUTPUT=out.%r TARVO_ERROR=err.%r";
      testutil::RunResult r = RunTarvo(dir, env, "-np " + std::to_string(np) + " ./probe");
      ASSERT_EQ(r.status, 0) << env << r.out << r.err;
      std::string want;
      for (size_t rank = 0; rank < np; ++rank) {
        const std::string cpus = cores[rank % cores.size()];
        EXPECT_EQ(testutil::ReadFile(dir + "/out." + std::to_string(rank)),
                  "out " + std::to_string(rank) + "\n" + cpus + "\n")
            << launch << " np " << np;
        EXPECT_NE(r.err.find("tarvo: rank " + std::to_string(rank) + " on "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" bound to CPUs " + cpus + "\n"), std::string::npos) << r.err;
      }
      const size_t wraps = r.err.find("more ranks than the ") != std::string::npos ? 1 : 0;
      EXPECT_EQ(wraps, np > cores.size() ? 1u : 0u) << r.err;
      EXPECT_EQ(r.err.find("more ranks than the ", r.err.find("more ranks than the ") + 1), std::string::npos);
    }
  }
}

// Remote ranks: carrier's far side (through tarvo-agent --place) and the
// agents of host mode, with a space in the file names for the far side's
// shell.
class RemotePlace : public support::SshdTest {};

TEST_F(RemotePlace, RemoteRanksWriteTheirFilesAndAreBoundOnTheirHosts) {
  const std::vector<std::string> cores = Cores();
  ASSERT_TRUE(!kHaveHwloc || !cores.empty());
  for (const char* launch : {"rank", "host"}) {
    const std::string work = sshd().Dir() + "/" + launch;
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    WriteProbe(work);
    testutil::WriteFile(work + "/hosts", "127.0.0.1\n127.0.0.2\n");
    harness::Options o;
    o.workdir = work;
    o.hold = false;
    o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
    o.env = {{"TARVO_LAUNCH", launch}, {"TARVO_OUTPUT", "log dir/out %h.%r"}, {"TARVO_BIND", kHaveHwloc ? "core" : "none"},
             {"TARVO_REPORT_BINDING", "1"}};
    harness::LauncherRun run({"-ssh", "-np", "4", "-mf", "hosts", "probe"}, o);
    ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
    EXPECT_EQ(run.Stdout(), "");
    const char* hosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1", "127.0.0.2"};
    for (int rank = 0; rank < 4; ++rank) {
      const std::string n = std::to_string(rank);
      const std::string file = testutil::ReadFile(work + "/log dir/out " + hosts[rank] + "." + n);
      EXPECT_EQ(file.substr(0, file.rfind('\n', file.size() - 2) + 1), "out " + n + "\nerr " + n + "\n") << launch;
      if (!kHaveHwloc) continue;
      const std::string cpus = cores[static_cast<size_t>(rank / 2) % cores.size()];  // index on its host
      EXPECT_EQ(file, "out " + n + "\nerr " + n + "\n" + cpus + "\n") << launch << " rank " << rank;
      EXPECT_NE(run.Stderr().find("tarvo: rank " + n + " on " + hosts[rank] + " bound to CPUs " + cpus + "\n"),
                std::string::npos)
          << run.Stderr();
    }
  }
}

}  // namespace
