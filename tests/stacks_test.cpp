// Where every rank is: the merge of call paths into the printed tree
// (StackReport, pure), the reader `tarvo-agent --stacks` on processes that
// have ended, and whole runs: a deadlocked MPI program of each MPI at the
// time limit, locally, in host mode and with per-rank remote shells, and
// with spawned processes; SIGQUIT, after which the run goes on. The Slurm
// cluster's run is in slurm_test.cpp.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/agent_wire.h"
#include "common/stack_wire.h"
#include "launcher/run/StackReport.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/mpi_run.h"
#include "tests/support/processes.h"
#include "tests/support/wait.h"

namespace {

RankStack Path(int rank, std::vector<std::string> frames, std::string why = "", int job = 0) {
  RankStack s;
  s.rank = rank;
  s.job = job;
  s.frames = std::move(frames);
  s.why = std::move(why);
  return s;
}

RankStack Thread(int rank, int thread, std::vector<std::string> frames, bool moved, std::string why = "") {
  RankStack s = Path(rank, std::move(frames), std::move(why));
  s.thread = thread;
  s.moved = moved;
  return s;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l;
  return text;
}

TEST(StackReport, MergesCallPathsIntoATreeOfRankRanges) {
  const std::vector<std::string> start{"_start", "__libc_start_main", "__libc_start_call_main", "main"};
  auto from = [&](std::vector<std::string> rest) {
    std::vector<std::string> all = start;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  struct Case {
    const char* name;
    std::vector<RankStack> stacks;
    std::string report;
    bool sampledTwice = false;
  };
  const std::vector<Case> cases = {
      {"two branches, the larger first, long stretches cut, frames outside main dropped",
       {Path(0, from({"waiting_in_barrier", "MPI_Barrier", "MPIR_Barrier", "progress", "poll"})),
        Path(1, from({"stuck_in_recv", "MPI_Recv", "MPIDI_recv", "MPIDI_progress", "ucp_worker_progress"})),
        Path(2, from({"waiting_in_barrier", "MPI_Barrier", "MPIR_Barrier", "progress", "poll"})),
        Path(3, from({"waiting_in_barrier", "MPI_Barrier", "MPIR_Barrier", "progress", "poll"}))},
       "tarvo: where the 4 ranks are (2 call paths):\n"
       "tarvo:   ranks 0-3: main\n"
       "tarvo:     ranks 0,2-3: waiting_in_barrier > MPI_Barrier > ... > poll\n"
       "tarvo:     rank 1: stuck_in_recv > MPI_Recv > ... > ucp_worker_progress\n"},
      {"one path: one line; four frames are not cut",
       {Path(5, from({"a", "b", "c"})), Path(6, from({"a", "b", "c"}))},
       "tarvo: where the 2 ranks are (1 call path):\n"
       "tarvo:   ranks 5-6: main > a > b > c\n"},
      {"a rank whose path ends where others go on has a line of its own; ties by the first rank",
       {Path(2, from({"a", "x"})), Path(0, from({"a"})), Path(1, from({"a", "y"})), Path(3, from({"a", "y"})),
        Path(4, from({"a", "y"}))},
       "tarvo: where the 5 ranks are (3 call paths):\n"
       "tarvo:   ranks 0-4: main > a\n"
       "tarvo:     ranks 1,3-4: y\n"
       "tarvo:     rank 0: in a\n"
       "tarvo:     rank 2: x\n"},
      {"threads: a thread's path from its start routine, named by its number; the ranks that moved",
       {Thread(0, 0, from({"a"}), false), Thread(0, 1, {"clone3", "start_thread", "worker", "poll"}, false),
        Thread(1, 0, from({"a"}), true), Thread(1, 1, {"clone3", "start_thread", "worker", "poll"}, true),
        Thread(1, 2, {}, true, "threads beyond 64")},
       "tarvo: where the 2 ranks are (2 call paths):\n"
       "tarvo:   ranks 0-1: main > a\n"
       "tarvo:   ranks 0-1 (thread 2): worker > poll\n"
       "tarvo:   rank 1 (thread 3): not read: threads beyond 64\n"
       "tarvo:   moving between the two samples: rank 1\n",
       true},
      {"without main only the C library's start is dropped; unnamed frames and unread ranks",
       {Path(0, {"prog+0x1020", "__libc_start_call_main", "prog+0x2557", "libfoo.so+0x1234"}),
        Path(1, {}, "gone"), Path(2, {}, "not permitted to read it"), Path(3, {}, "gone")},
       "tarvo: where the 4 ranks are (1 call path):\n"
       "tarvo:   rank 0: prog+0x2557 > libfoo.so+0x1234\n"
       "tarvo:   ranks 1,3: not read: gone\n"
       "tarvo:   rank 2: not read: not permitted to read it\n"},
      {"deep nesting: each level two more blanks",
       {Path(0, from({"a", "b", "c"})), Path(1, from({"a", "b", "d"})), Path(2, from({"a", "e"})),
        Path(3, from({"f"}))},
       "tarvo: where the 4 ranks are (4 call paths):\n"
       "tarvo:   ranks 0-3: main\n"
       "tarvo:     ranks 0-2: a\n"
       "tarvo:       ranks 0-1: b\n"
       "tarvo:         rank 0: c\n"
       "tarvo:         rank 1: d\n"
       "tarvo:       rank 2: e\n"
       "tarvo:     rank 3: f\n"},
      {"spawned jobs' processes after the first job's, named by their job",
       {Path(1, from({"b"}), "", 1), Path(0, from({"a"})), Path(0, from({"b"}), "", 1), Path(0, {}, "gone", 2),
        Path(1, {}, "gone")},
       "tarvo: where the 5 ranks are (2 call paths):\n"
       "tarvo:   rank 0, job 1 ranks 0-1: main\n"
       "tarvo:     job 1 ranks 0-1: b\n"
       "tarvo:     rank 0: a\n"
       "tarvo:   rank 1, job 2 rank 0: not read: gone\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Joined(StackReport(c.stacks, c.sampledTwice)), c.report) << c.name;
}

TEST(StackWire, ADeepPathKeepsBothEndsAndHostilePayloadsAreRefused) {
  std::vector<std::string> deep{"main"};
  for (int i = 0; i < 100; ++i) deep.push_back("f" + std::to_string(i));
  const std::vector<std::string> kept = StackFromMain(deep);
  ASSERT_EQ(kept.size(), static_cast<size_t>(kStackMaxFrames));
  EXPECT_EQ(kept.front(), "main");
  EXPECT_EQ(kept[static_cast<size_t>(kStackMaxFrames) / 2], "...");
  EXPECT_EQ(kept.back(), "f99");
  std::vector<RankStack> back;
  ASSERT_TRUE(StackDecode(StackEncode({Path(3, kept), Path(4, {}, "gone")}), &back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].frames, kept);
  EXPECT_EQ(back[1].why, "gone");
  // However many ranks, one frame holds the payload.
  for (int n : {5000, 20000}) {
    std::vector<RankStack> many;
    for (int r = 0; r < n; ++r) many.push_back(Path(r, kept));
    const std::string big = StackEncode(many);
    EXPECT_LE(big.size(), static_cast<size_t>(kAgentMaxPayload)) << n;
    back.clear();
    ASSERT_TRUE(StackDecode(big, &back));
    if (n == 5000) {
      EXPECT_EQ(back.front().frames, kept);
    }
    EXPECT_EQ(back.back().why, "too many ranks on its host to send") << n;
  }
  // Cut short, a count beyond the bound, a negative rank.
  const std::string good = StackEncode({Path(3, {"main", "f"})});
  StackRankHead head{};
  head.frames = kStackMaxFrames + 1;
  const std::string tooMany(reinterpret_cast<const char*>(&head), sizeof head);
  head.frames = 0;
  head.rank = -1;
  const std::string negative(reinterpret_cast<const char*>(&head), sizeof head);
  for (const std::string& bad : {good.substr(0, good.size() - 1), tooMany, negative}) {
    std::vector<RankStack> out;
    EXPECT_FALSE(StackDecode(bad, &out));
  }
}

// What `tarvo-agent --stacks` says of a process, by rank.
std::vector<RankStack> ReadStacks(const std::vector<std::pair<int, pid_t>>& ranks) {
  int fd = -1;
  const pid_t reader = StackReaderStart(std::string(TARVO_BIN_DIR) + "/tarvo-agent", ranks, 1, &fd);
  EXPECT_GT(reader, 0);
  std::string bytes;
  support::WaitUntil(10000, [&] {
    char buffer[65536];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) bytes.append(buffer, static_cast<size_t>(got));
    return got == 0;
  });
  close(fd);
  EXPECT_EQ(support::WaitChild(reader, 10000), 0);
  std::vector<RankStack> stacks;
  EXPECT_TRUE(StackDecode(bytes, &stacks));
  return stacks;
}

// A reader whose exec fails is the caller's failure, with its reason, as a
// spawn's: no pid, no descriptor, no child left.
TEST(StackReader, OneThatCannotBeExecutedIsRefusedWithItsReasonAndLeavesNoChild) {
  const struct {
    const char* agent;
    int error;
  } cases[] = {{"/nonexistent/tarvo-agent", ENOENT}, {"/dev/null", EACCES}, {"tarvo-agent-nowhere", ENOENT}};
  for (const auto& c : cases) {
    int fd = -1;
    errno = 0;
    EXPECT_EQ(StackReaderStart(c.agent, {{0, getpid()}}, 1, &fd), -1) << c.agent;
    EXPECT_EQ(errno, c.error) << c.agent;
    EXPECT_EQ(fd, -1) << c.agent;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << c.agent;
    EXPECT_EQ(errno, ECHILD) << c.agent;
  }
}

TEST(StackReader, ARankThatHasJustEndedIsGoneAndTheOthersGoOn) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  const pid_t sleeping = fork();
  if (sleeping == 0) {
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The first has ended and is not reaped: still in the process table.
  support::WaitUntil(5000, [&] {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == ended;
  });
  const std::vector<RankStack> stacks = ReadStacks({{0, ended}, {1, sleeping}});
  ASSERT_EQ(stacks.size(), 2u);
  if (stacks[1].why == "not permitted to read it") {
    kill(sleeping, SIGKILL);
    support::WaitChild(sleeping, 5000);
    support::WaitChild(ended, 5000);
    GTEST_SKIP() << "ptrace is not permitted here (Yama's ptrace_scope, or a container): stacks cannot be read";
  }
#if TARVO_TESTS_LIBDW
  EXPECT_EQ(stacks[0].why, "gone");
  EXPECT_TRUE(stacks[1].why.empty()) << stacks[1].why;
  EXPECT_FALSE(stacks[1].frames.empty());
#else
  for (const RankStack& s : stacks) EXPECT_EQ(s.why, "call stacks are not available in this build (no libdw)");
#endif
  // Read, let go, and still running; the ended one left for its parent.
  EXPECT_FALSE(support::Gone(sleeping));
  kill(sleeping, SIGKILL);
  EXPECT_EQ(support::WaitChild(sleeping, 5000), 128 + SIGKILL);
  EXPECT_EQ(support::WaitChild(ended, 5000), 0);
}

// A deadlocked MPI program at the time limit: rank 1 waits in a receive
// that nobody sends, the others in a barrier that rank 1 never enters.
struct StuckCase {
  const char* mpi;
  std::string program;  // empty: not built
  support::MpiPlacement where;
  std::map<std::string, std::string> env;
  enum { kTree, kNothing } expect;
};

class StuckRun : public ::testing::Test {
 protected:
  support::MpiRuns runs_;
};

// The limit has to fall after every rank has reached its stuck call: a
// loaded machine can keep ranks in MPI_Init for longer than the first
// limit, and then the case runs again with twice the limit (6, 12, 24 s).
TEST_F(StuckRun, TheTimeLimitSaysWhereEveryRankIsBeforeItEndsTheRun) {
  using support::LocalName;
  const std::string mpich = TARVO_STUCK_MPICH, ompi = TARVO_STUCK_OMPI;
  const std::vector<StuckCase> cases = {
      {"MPICH", mpich, {"local", "rank", {"-np", "4"}, {}}, {}, StuckCase::kTree},
      {"Open MPI", ompi, {"local", "rank", {"-np", "4"}, {}}, {}, StuckCase::kTree},
      {"MPICH", mpich, {"host mode", "host", {"-np", "4"}, {LocalName(), "127.0.0.2"}}, {}, StuckCase::kTree},
      {"Open MPI", ompi, {"host mode", "host", {"-np", "4"}, {LocalName(), "127.0.0.2"}}, {}, StuckCase::kTree},
      {"MPICH", mpich, {"per-rank remote shells", "rank", {"-np", "4"}, {"127.0.0.2", "127.0.0.3"}}, {},
       StuckCase::kTree},
      {"MPICH", mpich, {"TARVO_STACKS=0", "rank", {"-np", "4"}, {}}, {{"TARVO_STACKS", "0"}}, StuckCase::kNothing},
  };
  for (const StuckCase& c : cases) {
    const std::string name = std::string(c.mpi) + ", " + c.where.name;
    if (c.program.empty()) {
      std::cerr << "skipped " << name << ": not built (mpicc." << (c.mpi[0] == 'M' ? "mpich" : "openmpi")
                << " not found, or the 32-bit build)\n";
      continue;
    }
    if (!c.where.hosts.empty() && !runs_.Remote()) continue;
    std::string err, limit;
    int status = 0;
    std::vector<pid_t> pids;
    for (int seconds = 6; seconds <= 24; seconds *= 2) {
      limit = std::to_string(seconds);
      std::map<std::string, std::string> env = c.env;
      env["TARVO_TIMEOUT"] = limit;
      std::string dir;
      std::unique_ptr<harness::LauncherRun> run = runs_.Start(c.where, c.program, "", &dir, env);
      status = run->Wait(90);
      err = run->Stderr();
      pids = support::PidsIn(dir);  // each written once its rank's MPI_Init returned
      EXPECT_TRUE(support::Survivors(pids).empty()) << name;
      testutil::Run("rm -rf " + dir);
      if (pids.size() == 4 && err.find("MPI_Init") == std::string::npos) break;
      std::cerr << name << ": not every rank was past MPI_Init at the limit of " << limit << " s\n";
    }
    EXPECT_EQ(status, 124) << name;
    EXPECT_EQ(pids.size(), 4u) << name << "\n" << err;
    if (err.find("not read: not permitted to read it") != std::string::npos) {
      GTEST_SKIP() << "ptrace is not permitted here (Yama's ptrace_scope, or a container): " << err;
    }
    const size_t limitLine = err.find("tarvo: the run's time limit of " + limit + " s is over; ending the run\n");
    EXPECT_EQ(limitLine, 0u) << name << "\n" << err;
    if (c.expect == StuckCase::kNothing) {
      EXPECT_EQ(err.find("where the"), std::string::npos) << name << "\n" << err;
      continue;
    }
    const size_t tree = err.find("tarvo: where the 4 ranks are (");
    const size_t root = err.find("\ntarvo:   ranks 0-3: main\n");
    const size_t barrier = err.find("\ntarvo:     ranks 0,2-3: waiting_in_barrier > ");
    const size_t recv = err.find("\ntarvo:     rank 1: stuck_in_recv > ");
    EXPECT_TRUE(tree != std::string::npos && tree < root && root < barrier && barrier < recv &&
                recv != std::string::npos)
        << name << "\n" << err;
  }
}

// An Open MPI rank that has spawned two processes, all three stuck: the
// time limit's report names the spawned ones by their job, locally and in
// host mode (every process on an agent's host).
TEST_F(StuckRun, SpawnedProcessesAreNamedByTheirJob) {
  const std::string ompi = TARVO_STUCK_OMPI;
  if (ompi.empty()) GTEST_SKIP() << "not built (mpicc.openmpi or libpmix not found, or the 32-bit build)";
  const std::vector<support::MpiPlacement> placements = {
      {"local", "rank", {"-np", "1"}, {}},
      {"host mode", "host", {"-np", "1"}, {"127.0.0.2"}},
  };
  for (const support::MpiPlacement& p : placements) {
    if (!p.hosts.empty() && !runs_.Remote()) continue;
    std::string dir;
    std::unique_ptr<harness::LauncherRun> run = runs_.Start(p, ompi, "spawn", &dir, {{"TARVO_TIMEOUT", "6"}});
    EXPECT_EQ(run->Wait(90), 124) << p.name;
    const std::string err = run->Stderr();
    const std::vector<pid_t> pids = support::PidsIn(dir);
    EXPECT_EQ(pids.size(), 3u) << p.name << "\n" << err;
    EXPECT_TRUE(support::Survivors(pids).empty()) << p.name;
    testutil::Run("rm -rf " + dir);
    if (err.find("not read: not permitted to read it") != std::string::npos) {
      GTEST_SKIP() << "ptrace is not permitted here (Yama's ptrace_scope, or a container): " << err;
    }
    const size_t root = err.find("tarvo: where the 3 ranks are (");
    const size_t top = err.find("\ntarvo:   rank 0, job 1 ranks 0-1: main\n", root);
    const size_t children = err.find("\ntarvo:     job 1 ranks 0-1: stuck_in_recv > ", top);
    const size_t parent = err.find("\ntarvo:     rank 0: waiting_in_barrier > ", children);
    EXPECT_TRUE(root != std::string::npos && top != std::string::npos && children != std::string::npos &&
                parent != std::string::npos)
        << p.name << "\n" << err;
  }
}

// A python rank that writes its pid into DIR/R.pid, sleeps, and says so in
// one write (print's pieces may be written one by one, PYTHONUNBUFFERED, and
// the two ranks' lines then interleave).
void NapScript(const std::string& dir, int seconds) {
  testutil::WriteFile(dir + "/nap.py",
                      "import os, sys, time\n"
                      "def napping():\n"
                      "    time.sleep(" + std::to_string(seconds) + ")\n"
                      "open(os.path.join(sys.argv[1], os.environ['TARVO_RANK'] + '.pid'), 'w').write(str(os.getpid()))\n"
                      "napping()\n"
                      "os.write(1, ('rank %s done\\n' % os.environ['TARVO_RANK']).encode())\n");
}

TEST(Sigquit, SaysWhereEveryRankIsAndTheRunGoesOn) {
  const std::string dir = testutil::MakeTempDir();
  NapScript(dir, 4);
  harness::Options o;
  o.hold = false;
  o.workdir = dir;
  o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
  harness::LauncherRun run({"-np", "2", "python3", dir + "/nap.py", dir}, o);
  ASSERT_TRUE(support::WaitUntil(20000, [&] { return support::PidsIn(dir).size() == 2; })) << run.Stderr();
  kill(run.Pid(), SIGQUIT);
  EXPECT_EQ(run.Wait(60), 0);
  const std::string out = support::SortedLines(run.Stdout());
  EXPECT_EQ(out, "rank 0 done\nrank 1 done\n");
  const std::string err = run.Stderr();
  const std::vector<pid_t> pids = support::PidsIn(dir);
  EXPECT_TRUE(support::Survivors(pids).empty());
  testutil::Run("rm -rf " + dir);
  if (err.find("not read: not permitted to read it") != std::string::npos) {
    GTEST_SKIP() << "ptrace is not permitted here (Yama's ptrace_scope, or a container): " << err;
  }
#if TARVO_TESTS_LIBDW
  EXPECT_EQ(err.find("tarvo: where the 2 ranks are (1 call path):\ntarvo:   ranks 0-1: "), 0u) << err;
  EXPECT_NE(err.find("sleep"), std::string::npos) << err;  // time.sleep's own C function, or the C library's
  // Both sleep through the two samples.
  EXPECT_NE(err.find("\ntarvo:   moving between the two samples: none\n"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
#else
  EXPECT_EQ(err, "tarvo: where the 2 ranks are (0 call paths):\n"
                 "tarvo:   ranks 0-1: not read: call stacks are not available in this build (no libdw)\n");
#endif
}

#if TARVO_TESTS_LIBDW
// Runs `threads_rank DIR MODE` as 3 ranks with `env`; SIGQUIT (up to
// `tries` times, until `until` holds of standard error) or the time limit;
// standard error. Every rank gone at the end.
std::string ThreadsRun(const std::string& mode, std::map<std::string, std::string> env, int tries,
                       const std::function<bool(const std::string&)>& until) {
  const std::string dir = testutil::MakeTempDir();
  harness::Options o;
  o.hold = false;
  o.workdir = dir;
  o.env = env;
  o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
  harness::LauncherRun run({"-np", "3", std::string(TARVO_TEST_BIN_DIR) + "/threads_rank", dir, mode}, o);
  if (tries > 0) {
    EXPECT_TRUE(support::WaitUntil(20000, [&] { return support::PidsIn(dir).size() == 3; })) << run.Stderr();
    for (int i = 0; i < tries && !until(run.Stderr()); ++i) {
      const size_t reports = run.Stderr().size();
      kill(run.Pid(), SIGQUIT);
      support::WaitUntil(20000, [&] { return run.Stderr().find("moving between", reports) != std::string::npos; });
    }
    kill(run.Pid(), SIGTERM);
    EXPECT_EQ(run.Wait(60), 128 + SIGTERM);
  } else {
    EXPECT_EQ(run.Wait(60), 124);
  }
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
  return run.Stderr();
}

bool NotPermitted(const std::string& err) {
  return err.find("not read: not permitted to read it") != std::string::npos;
}

TEST(StackThreads, EveryThreadIsReadAndTheTreeIsDrawnAsAGraph) {
  const std::string dir = testutil::MakeTempDir();
  const std::string dot = dir + "/stacks.dot";
  struct Case {
    std::map<std::string, std::string> env;
    std::string line;  // beside the tree: the moving line, or the graph's refusal
  };
  const std::vector<Case> cases = {
      {{{"TARVO_TIMEOUT", "3"}, {"TARVO_STACKS_DOT", dot}, {"TARVO_STACKS_SAMPLES", "1"}}, ""},
      {{{"TARVO_TIMEOUT", "3"}, {"TARVO_STACKS_DOT", dir + "/none/stacks.dot"}},
       "tarvo:   moving between the two samples: none\n"
       "tarvo: cannot write the call stacks' graph to " + dir + "/none/stacks.dot (TARVO_STACKS_DOT): No such file "
       "or directory\n"},
  };
  for (const Case& c : cases) {
    const std::string err = ThreadsRun("thread", c.env, 0, nullptr);
    if (NotPermitted(err)) GTEST_SKIP() << "ptrace is not permitted here: " << err;
    const size_t tree = err.find("tarvo: where the 3 ranks are (2 call paths):\n");
    const size_t main = err.find("\ntarvo:   ranks 0-2: main > ", tree);
    const size_t helper = err.find("\ntarvo:   ranks 0-2 (thread 2): helper_thread > hanging_in_helper > ", main);
    EXPECT_TRUE(tree != std::string::npos && main != std::string::npos && helper != std::string::npos) << err;
    if (c.line.empty()) {
      EXPECT_EQ(err.find("moving"), std::string::npos) << err;
      const testutil::RunResult svg = testutil::Run("dot -Tsvg " + dot);
      EXPECT_EQ(svg.status, 0) << svg.err;
      EXPECT_NE(svg.out.find("hanging_in_helper"), std::string::npos) << svg.out;
      EXPECT_NE(svg.out.find("ranks 0&#45;2"), std::string::npos) << svg.out;
    } else {
      EXPECT_NE(err.find(c.line, helper), std::string::npos) << err;
    }
  }
}

TEST(StackSamples, ARankThatComputesIsNamedAsMovingAndTheSleepingOnesNot) {
  // Rank 1 changes its stack every 20 ms over a cycle of 600 ms: two samples
  // 200 ms apart (a few times more on a loaded machine) find it on the same
  // path only by chance, so it is asked again, at most three times.
  const std::string moving = "tarvo:   moving between the two samples: rank 1\n";
  const std::string err = ThreadsRun("moving", {}, 3, [&](const std::string& e) { return e.find(moving) != std::string::npos; });
  if (NotPermitted(err)) GTEST_SKIP() << "ptrace is not permitted here: " << err;
  EXPECT_NE(err.find(moving), std::string::npos) << err;
  EXPECT_NE(err.find("\ntarvo:     ranks 0,2: napping > "), std::string::npos) << err;
}
#endif

// A host whose agent does not answer (stopped here) is named and left out
// after 5 s; the run goes on meanwhile, and to its end once it answers.
class StacksHostMode : public support::SshdTest {
 protected:
  int Hosts() const override { return 2; }
};

TEST_F(StacksHostMode, AHostThatDoesNotAnswerIsNamedAndLeftOut) {
  const std::string dir = testutil::MakeTempDir();
  NapScript(dir, 10);
  testutil::WriteFile(dir + "/hosts", support::LocalName() + "\n127.0.0.2\n");
  harness::Options o;
  o.hold = false;
  o.workdir = dir;
  o.env = {{"TARVO_LAUNCH", "host"}};
  o.exactPath = sshd().ShimDir() + ":" + TARVO_BIN_DIR + ":/usr/bin:/bin";
  harness::LauncherRun run({"-ssh", "-mf", "hosts", "-np", "2", "python3", dir + "/nap.py", dir}, o);
  ASSERT_TRUE(support::WaitUntil(30000, [&] { return support::PidsIn(dir).size() == 2; })) << run.Stderr();
  // Rank 1 runs on 127.0.0.2: its parent is that host's agent.
  const std::string stat = testutil::ReadFile("/proc/" + testutil::ReadFile(dir + "/1.pid") + "/stat");
  const pid_t agent = static_cast<pid_t>(atol(stat.substr(stat.rfind(')') + 4).c_str()));
  ASSERT_GT(agent, 1) << stat;
  ASSERT_EQ(kill(agent, SIGSTOP), 0);
  kill(run.Pid(), SIGQUIT);
  const std::string late =
      "tarvo: the agent on 127.0.0.2 did not send its ranks' call stacks within 5 s; they are left out\n";
  const bool named = support::WaitUntil(20000, [&] { return run.Stderr().find("where the") != std::string::npos; });
  kill(agent, SIGCONT);
  EXPECT_TRUE(named) << run.Stderr();
  EXPECT_EQ(run.Wait(60), 0);
  EXPECT_EQ(support::SortedLines(run.Stdout()), "rank 0 done\nrank 1 done\n");
  const std::string err = run.Stderr();
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
  testutil::Run("rm -rf " + dir);
  if (err.find("not read: not permitted to read it") != std::string::npos) {
    GTEST_SKIP() << "ptrace is not permitted here (Yama's ptrace_scope, or a container): " << err;
  }
  EXPECT_EQ(err.find(late + "tarvo: where the 1 rank is ("), 0u) << err;
  EXPECT_NE(err.find("\ntarvo:   rank 0: "), std::string::npos) << err;
  EXPECT_EQ(err.find("rank 1"), std::string::npos) << err;
}

}  // namespace
