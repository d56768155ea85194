// Per-rank output files (TARVO_OUTPUT, TARVO_ERROR) and binding (TARVO_BIND,
// TARVO_REPORT_BINDING) through the real tarvo, carrier and agent, locally,
// over per-rank remote shells and in host mode on the loopback sshd.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/rank_place.h"
#include "launcher/spawn/RankFiles.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/processes.h"
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
  ASSERT_TRUE(testutil::WriteScript(dir + "/probe", kProbe));
}

// A probe of where a rank is: its rank, the locality variables, the
// thread count and GPUs it is given, the address its remote shell reached
// and its CPUs.
const char kWhere[] =
    "#!/bin/sh\n"
    "echo \"$TARVO_RANK size=$OMPI_COMM_WORLD_SIZE rank=$OMPI_COMM_WORLD_RANK local=$OMPI_COMM_WORLD_LOCAL_RANK/"
    "$OMPI_COMM_WORLD_LOCAL_SIZE node=$OMPI_COMM_WORLD_NODE_RANK hydra=$MPI_LOCALRANKID/$MPI_LOCALNRANKS "
    "omp=$OMP_NUM_THREADS cuda=$CUDA_VISIBLE_DEVICES rocr=$ROCR_VISIBLE_DEVICES ze=$ZE_AFFINITY_MASK "
    "at=$(echo $SSH_CONNECTION | cut -d' ' -f3) cpus=$(grep Cpus_allowed_list /proc/self/status | cut -f2)\" "
    "> where.$TARVO_RANK\n";

// The "tarvo: rank" lines of `err`, in rank order.
std::vector<std::string> MapLines(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 12, "tarvo: rank ") == 0 && line.find(" bound to CPUs ") != std::string::npos) {
      lines.push_back(line);
    }
  }
  std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return atoi(a.c_str() + 12) < atoi(b.c_str() + 12);
  });
  return lines;
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
  EXPECT_EQ(WrapReport("h", 1, kBindSocket), "tarvo: more ranks than the 1 socket of h that may be used: they wrap around\n");
  EXPECT_EQ(WrapReport("h", 2, kBindCore), "tarvo: more ranks than the 2 cores of h that may be used: they wrap around\n");
  EXPECT_EQ(WrapReport("h", 2, kBindNuma), "tarvo: more ranks than the 2 NUMA nodes of h that may be used: they wrap around\n");
  EXPECT_EQ(WrapReport("h", 1, kBindL3), "tarvo: more ranks than the 1 L3 cache of h that may be used: they wrap around\n");
  EXPECT_EQ(WrapReport("h", 8, kBindHwthread),
            "tarvo: more ranks than the 8 hardware threads of h that may be used: they wrap around\n");
}

TEST(RankPlaceRun, RefusesBadSettingsBeforeAnythingStarts) {
  const std::string dir = testutil::MakeTempDir();
  ASSERT_TRUE(testutil::WriteScript(dir + "/probe", "#!/bin/sh\ntouch started.$TARVO_RANK\n"));
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
      {"TARVO_PPN=0", 1, "TARVO_PPN"},
      {"TARVO_PPN=2001", 1, "TARVO_PPN"},
      {"TARVO_CPUS_PER_RANK=1025", 1, "TARVO_CPUS_PER_RANK"},
      {"TARVO_CPUS_PER_RANK=2x", 1, "TARVO_CPUS_PER_RANK"},
      {"TARVO_GPUS_PER_RANK=0", 1, "TARVO_GPUS_PER_RANK"},
      {"TARVO_DRY_RUN=yes", 1, "TARVO_DRY_RUN"},
      // This machine has no GPU: the run is refused naming the host.
      {"TARVO_GPUS_PER_RANK=1", 2, "TARVO_GPUS_PER_RANK"},
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

// The two-socket GPU node of tests/topologies, on this machine: the dry run
// prints its map and starts nothing; the real run gives each rank the map's
// GPU, OMP_NUM_THREADS and the locality variables, reports the same map,
// and binds nothing, as the node's CPUs are not this machine's. The user's
// own OMP_NUM_THREADS and OMPI_COMM_WORLD_SIZE stay.
TEST(RankPlaceRun, TheDryRunsMapIsTheOneTheRanksGet) {
  if (!kHaveHwloc) GTEST_SKIP() << "this build has no hwloc";
  const std::string xml = std::string(TARVO_SOURCE_DIR) + "/tests/topologies/two_socket_gpus.xml";
  const std::vector<std::string> want = {
      "tarvo: rank 0 on HOST bound to CPUs 0-3; GPUs cuda0", "tarvo: rank 1 on HOST bound to CPUs 4-7; GPUs cuda1",
      "tarvo: rank 2 on HOST bound to CPUs 8-11; GPUs cuda2", "tarvo: rank 3 on HOST bound to CPUs 12-15; GPUs cuda3"};
  const std::string host = testutil::Run("hostname").out.substr(0, testutil::Run("hostname").out.find('\n'));
  for (const char* launch : {"rank", "host"}) {
    const std::string dir = testutil::MakeTempDir();
    ASSERT_TRUE(testutil::WriteScript(dir + "/probe", kWhere));
    const std::string env = std::string("TARVO_LAUNCH=") + launch + " HWLOC_XMLFILE=" + xml +
                            " TARVO_CPUS_PER_RANK=2 TARVO_GPUS_PER_RANK=1";
    testutil::RunResult dry = RunTarvo(dir, env + " TARVO_DRY_RUN=1", "-np 4 ./probe");
    ASSERT_EQ(dry.status, 0) << launch << dry.out << dry.err;
    EXPECT_EQ(dry.out, "");
    EXPECT_NE(access((dir + "/where.0").c_str(), F_OK), 0) << launch << ": the dry run started a rank";
    std::vector<std::string> mapped = want;
    for (std::string& line : mapped) line.replace(line.find("HOST"), 4, host);
    EXPECT_EQ(MapLines(dry.err), mapped) << launch << dry.err;
    testutil::RunResult real = RunTarvo(dir, env + " TARVO_REPORT_BINDING=1", "-np 4 ./probe");
    ASSERT_EQ(real.status, 0) << launch << real.out << real.err;
    EXPECT_EQ(MapLines(real.err), MapLines(dry.err)) << launch << real.err;
    EXPECT_NE(real.err.find("are not bound: their CPUs are not all this machine's"), std::string::npos) << real.err;
    for (int rank = 0; rank < 4; ++rank) {
      const std::string r = std::to_string(rank);
      EXPECT_EQ(testutil::ReadFile(dir + "/where." + r),
                r + " size=4 rank=" + r + " local=" + r + "/4 node=" + r + " hydra=" + r + "/4 omp=2 cuda=" + r +
                    " rocr=" + r + " ze=" + r + " at= cpus=" + AllCpus() + "\n")
          << launch;
    }
    real = RunTarvo(dir, env + " OMP_NUM_THREADS=7 OMPI_COMM_WORLD_SIZE=mine", "-np 1 ./probe");
    ASSERT_EQ(real.status, 0) << launch << real.out << real.err;
    EXPECT_EQ(testutil::ReadFile(dir + "/where.0").substr(0, 33), "0 size=mine rank=0 local=0/1 node") << launch;
    EXPECT_NE(testutil::ReadFile(dir + "/where.0").find(" omp=7 cuda=0 "), std::string::npos) << launch;
  }
}

// An OpenMP program (gcc -fopenmp) that says for each thread the CPUs it
// may use and the one it runs on: TARVO_CPUS_PER_RANK gives each rank that
// many of the host's cores and as many threads; with one core each, every
// thread of a rank runs on its rank's core.
TEST(RankPlaceRun, OpenMpThreadsRunOnTheirRanksCores) {
  if (!kHaveHwloc) GTEST_SKIP() << "this build has no hwloc";
  const std::vector<std::string> cores = Cores();
  ASSERT_FALSE(cores.empty());
  const std::string dir = testutil::MakeTempDir();
  testutil::WriteFile(dir + "/threads.c",
                      "#define _GNU_SOURCE\n#include <omp.h>\n#include <sched.h>\n#include <stdio.h>\n"
                      "#include <stdlib.h>\n"
                      "int main(void) {\n"
                      "  const char* rank = getenv(\"TARVO_RANK\");\n"
                      "#pragma omp parallel\n"
                      "  {\n"
                      "    cpu_set_t set; char list[256]; int n = 0;\n"
                      "    sched_getaffinity(0, sizeof set, &set);\n"
                      "    for (int c = 0; c < CPU_SETSIZE && n < 200; ++c)\n"
                      "      if (CPU_ISSET(c, &set)) n += sprintf(list + n, \"%s%d\", n ? \",\" : \"\", c);\n"
                      "    const int cpu = sched_getcpu();\n"
                      "#pragma omp critical\n"
                      "    printf(\"%s %d %s %d\\n\", rank, omp_get_num_threads(), list, CPU_ISSET(cpu, &set));\n"
                      "  }\n"
                      "  return 0;\n"
                      "}\n");
  testutil::RunResult cc = testutil::Run("cd " + dir + " && gcc -fopenmp -o threads threads.c", 120);
  if (cc.status != 0) GTEST_SKIP() << "gcc -fopenmp: " << cc.err;
  // The cores as the probe lists CPUs: one by one, with commas.
  auto commas = [](const std::string& cpus) {
    cpu_set_t set;
    CpuListRead(cpus.c_str(), &set);
    std::string list;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &set)) list += (list.empty() ? "" : ",") + std::to_string(c);
    }
    return list;
  };
  for (const char* launch : {"rank", "host"}) {
    // One rank on every core; and one rank of one core each.
    const int perRank = static_cast<int>(cores.size());
    testutil::RunResult r = RunTarvo(dir, std::string("TARVO_LAUNCH=") + launch + " TARVO_CPUS_PER_RANK=" +
                                              std::to_string(perRank), "-np 1 ./threads");
    ASSERT_EQ(r.status, 0) << launch << r.out << r.err;
    std::string all;
    for (const std::string& c : cores) all += (all.empty() ? "" : ",") + commas(c);
    std::string want;
    for (int t = 0; t < perRank; ++t) want += "0 " + std::to_string(perRank) + " " + all + " 1\n";
    EXPECT_EQ(r.out, want) << launch << r.err;
    r = RunTarvo(dir, std::string("TARVO_LAUNCH=") + launch + " TARVO_CPUS_PER_RANK=1 TARVO_LABEL=1",
                 "-np " + std::to_string(cores.size()) + " ./threads");
    ASSERT_EQ(r.status, 0) << launch << r.out << r.err;
    for (size_t rank = 0; rank < cores.size(); ++rank) {
      const std::string n = std::to_string(rank);
      EXPECT_NE(r.out.find("[" + n + "] " + n + " 1 " + commas(cores[rank]) + " 1\n"), std::string::npos)
          << launch << r.out;
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

// TARVO_PPN over the loopback sshd: consecutive ranks on each host of the
// machine file, wrapping round, whatever slots a line names; each rank is
// told its place among its host's ranks; and in host mode the dry run's map
// is what the agents' ranks report.
TEST_F(RemotePlace, PpnPutsConsecutiveRanksOnEachHost) {
  for (const char* launch : {"rank", "host"}) {
    const std::string work = sshd().Dir() + "/ppn-" + launch;
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_TRUE(testutil::WriteScript(work + "/probe", kWhere));
    testutil::WriteFile(work + "/hosts", "127.0.0.2:3\n127.0.0.3\n");
    harness::Options o;
    o.workdir = work;
    o.hold = false;
    o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
    o.env = {{"TARVO_LAUNCH", launch}, {"TARVO_PPN", "2"}};
    if (kHaveHwloc) o.env.insert({{"TARVO_BIND", "core"}, {"TARVO_REPORT_BINDING", "1"}});
    harness::LauncherRun run({"-ssh", "-np", "5", "-mf", "hosts", "probe"}, o);
    ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << sshd().Log();
    const char* hosts[] = {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.2"};
    const char* local[] = {"0/3", "1/3", "0/2", "1/2", "2/3"};
    for (int rank = 0; rank < 5; ++rank) {
      const std::string n = std::to_string(rank);
      const std::string line = testutil::ReadFile(work + "/where." + n);
      const std::string l = local[rank];
      EXPECT_EQ(line.substr(0, line.find(" omp=")),
                n + " size=5 rank=" + n + " local=" + l + " node=" + l.substr(0, 1) + " hydra=" + l)
          << launch;
      EXPECT_NE(line.find(std::string(" at=") + hosts[rank] + " "), std::string::npos) << launch << " " << line;
    }
    if (!kHaveHwloc) continue;
    o.env.insert({"TARVO_DRY_RUN", "1"});
    harness::LauncherRun dry({"-ssh", "-np", "5", "-mf", "hosts", "probe"}, o);
    ASSERT_EQ(dry.Wait(90), 0) << dry.Stdout() << dry.Stderr();
    EXPECT_EQ(MapLines(dry.Stderr()), MapLines(run.Stderr())) << launch << dry.Stderr() << run.Stderr();
    EXPECT_EQ(MapLines(dry.Stderr()).size(), 5u) << dry.Stderr();
  }
}

// Host mode: each agent tells tarvo its host's topology before any rank is
// sent, so that the dry run maps every host as its own (127.0.0.2 the
// two-socket GPU node, 127.0.0.3 a synthetic node of three cores and no
// GPU, each through the environment that the remote shell gives its agent)
// and the real run's ranks get that map; GPUs asked of a host without any
// refuse the run, dry or real, naming the host, before any rank starts; so
// does an agent that never comes, without a wait. Per-rank remote shells
// with GPUs asked: each host tells its topology through the remote shell
// likewise. The remote shell is two words, and nothing it started is left.
TEST_F(RemotePlace, EachAgentTellsItsHostsMapBeforeAnyRank) {
  if (!kHaveHwloc) GTEST_SKIP() << "this build has no hwloc";
  const std::string work = sshd().Dir() + "/told";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_TRUE(testutil::WriteScript(work + "/probe", kWhere));
  const std::string xml = std::string(TARVO_SOURCE_DIR) + "/tests/topologies/two_socket_gpus.xml";
  // The remote shell: the far side's agent gets its node's topology.
  const std::string ssh = sshd().ShimDir() + "/ssh";
  ASSERT_TRUE(testutil::WriteScript(work + "/rsh", "#!/bin/sh\necho $$ > " + work + "/$$.pid\nh=$1\nshift\ncase $h in\n"
                                     "  127.0.0.4) exit 7 ;;\n"
                                     "  127.0.0.2) exec " + ssh + " \"$h\" HWLOC_XMLFILE=" + xml + " \"$@\" ;;\n"
                                     "  *) exec " + ssh + " \"$h\" \"HWLOC_SYNTHETIC='pack:1 core:3 pu:1'\" \"$@\" ;;\n"
                                     "esac\n"));
  testutil::WriteFile(work + "/both", "127.0.0.2\n127.0.0.3\n");
  testutil::WriteFile(work + "/gpu", "127.0.0.2\n");
  testutil::WriteFile(work + "/lost", "127.0.0.2\n127.0.0.4\n");
  const std::vector<std::string> gpuMap = {
      "tarvo: rank 0 on 127.0.0.2 bound to CPUs 0-7; GPUs cuda0", "tarvo: rank 1 on 127.0.0.2 bound to CPUs 8-15; GPUs cuda2",
      "tarvo: rank 2 on 127.0.0.2 bound to CPUs 0-7; GPUs cuda1", "tarvo: rank 3 on 127.0.0.2 bound to CPUs 8-15; GPUs cuda3"};
  struct Case {
    const char* launch;
    const char* hosts;
    std::map<std::string, std::string> env;
    std::vector<std::string> map;  // the dry run's lines, the real run's too; empty: refused
    const char* refusal;           // standard output, or a line of standard error with status 7
  } cases[] = {
      {"host", "both",
       {{"TARVO_PPN", "2"}, {"TARVO_CPUS_PER_RANK", "2"}},
       {"tarvo: rank 0 on 127.0.0.2 bound to CPUs 0-3", "tarvo: rank 1 on 127.0.0.2 bound to CPUs 4-7",
        "tarvo: rank 2 on 127.0.0.3 bound to CPUs 0-1", "tarvo: rank 3 on 127.0.0.3 bound to CPUs 0,2"},
       ""},
      {"host", "gpu", {{"TARVO_GPUS_PER_RANK", "1"}, {"TARVO_BIND", "socket"}}, gpuMap, ""},
      {"host", "both", {{"TARVO_GPUS_PER_RANK", "1"}}, {}, "ERROR-Control Process: TARVO_GPUS_PER_RANK=1: 127.0.0.3 has no GPU\n"},
      {"host", "lost", {{"TARVO_GPUS_PER_RANK", "1"}}, {}, "tarvo: the agent on 127.0.0.4 is lost before any rank started: its remote shell"},
      {"rank", "gpu", {{"TARVO_GPUS_PER_RANK", "1"}, {"TARVO_BIND", "socket"}}, gpuMap, ""},
      {"rank", "both", {{"TARVO_GPUS_PER_RANK", "1"}}, {}, "ERROR-Control Process: TARVO_GPUS_PER_RANK=1: 127.0.0.3 has no GPU\n"},
      {"rank", "lost", {{"TARVO_GPUS_PER_RANK", "1"}}, {}, "tarvo: 127.0.0.4 cannot tell its topology before any rank started: its remote shell"},
  };
  for (const Case& c : cases) {
    for (const char* dryRun : {"1", "0"}) {
      const std::string what = std::string(c.launch) + " " + c.hosts + (dryRun[0] == '1' ? " dry" : " real");
      testutil::Run("rm -f " + work + "/where.*");
      harness::Options o;
      o.workdir = work;
      o.hold = false;
      o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
      o.env = c.env;
      o.env.insert({{"TARVO_LAUNCH", c.launch}, {"TARVO_RSH", "/bin/sh " + work + "/rsh"}, {"TARVO_DRY_RUN", dryRun},
                    {"TARVO_REPORT_BINDING", "1"}});
      harness::LauncherRun run({"-np", "4", "-mf", c.hosts, "probe"}, o);
      const int status = run.Wait(90);
      if (c.map.empty() && c.refusal[0] == 't') {
        EXPECT_EQ(status, 7) << what << run.Stderr();
        EXPECT_NE(run.Stderr().find(c.refusal), std::string::npos) << what << run.Stderr();
        EXPECT_NE(run.Stderr().find("exited with status 7; ending the run\n"), std::string::npos) << what << run.Stderr();
      } else if (c.map.empty()) {
        EXPECT_EQ(status, 255) << what << run.Stderr();
        EXPECT_EQ(run.Stdout(), c.refusal) << what;
        EXPECT_EQ(MapLines(run.Stderr()), std::vector<std::string>()) << what;
      } else {
        EXPECT_EQ(status, 0) << what << run.Stdout() << run.Stderr() << sshd().Log();
        EXPECT_EQ(MapLines(run.Stderr()), c.map) << what << run.Stderr();
      }
      EXPECT_TRUE(support::Survivors(support::PidsIn(work)).empty()) << what;
      testutil::Run("rm -f " + work + "/*.pid");
      const bool started = access((work + "/where.0").c_str(), F_OK) == 0;
      EXPECT_EQ(started, !c.map.empty() && dryRun[0] == '0') << what;
      if (started && c.env.count("TARVO_GPUS_PER_RANK") != 0) {
        // Each rank sees the GPU of its line.
        for (int rank = 0; rank < 4; ++rank) {
          const std::string gpu = c.map[static_cast<size_t>(rank)].substr(c.map[static_cast<size_t>(rank)].size() - 1);
          EXPECT_NE(testutil::ReadFile(work + "/where." + std::to_string(rank)).find(" cuda=" + gpu + " "),
                    std::string::npos)
              << rank;
        }
      }
    }
  }
}

}  // namespace
