// How a run finds its program and where the ranks' input and output go,
// through the real tarvo and the real carrier, with shell scripts as the
// programs.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/terminal.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/output/TerminalPool.h"
#include "tests/run_util.h"
#include "tests/support/wait.h"
#include "tests/visual_util.h"

namespace {

// `env tarvo words` from `dir`, with tarvo's directory and `bin` on PATH.
testutil::RunResult RunTarvo(const std::string& dir, const std::string& bin, const std::string& words,
                             const std::string& env = "") {
  return testutil::Run("cd " + dir + " && PATH=" + std::string(TARVO_BIN_DIR) + ":" + bin + ":$PATH " + env + " " +
                       testutil::Tarvo() + " " + words);
}

// An executable script of `shell`.
void Script(const std::string& path, const std::string& body, const std::string& shell = "/bin/sh") {
  testutil::WriteFile(path, "#!" + shell + "\n" + body);
  ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// True when, within 10 s, no process has `dir` as its working directory.
bool NoneLeftIn(const std::string& dir) {
  return support::WaitUntil(10000, [&] {
    testutil::RunResult r = testutil::Run("ls -l /proc/[0-9]*/cwd 2>/dev/null | grep -c -- \"> " + dir + "$\"", 10);
    return atoi(r.out.c_str()) == 0;
  });
}

class OutputRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testutil::MakeTempDir();
    bin_ = testutil::MakeTempDir();
  }
  void TearDown() override {
    EXPECT_TRUE(NoneLeftIn(dir_)) << "every process of the run has ended";
    if (system(("rm -rf " + dir_ + " " + bin_).c_str()) != 0) {
    }
  }
  testutil::RunResult Tarvo(const std::string& words, const std::string& env = "") {
    return RunTarvo(dir_, bin_, words, env);
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

  // Neither: the program that starts the rank (carrier, or tarvo itself
  // in host mode) says where it looked.
  for (const char* launch : {"rank", "host"}) {
    r = Tarvo("-np 1 nowhere", std::string("TARVO_LAUNCH=") + launch);
    EXPECT_EQ(r.status, 127) << launch;
    const std::string who = launch[0] == 'r' ? "carrier" : "tarvo";
    EXPECT_NE(r.err.find(who + ": nowhere: not found in " + dir_ + " nor on PATH " + TARVO_BIN_DIR + ":" + bin_ + ":"),
              std::string::npos)
        << r.err;
  }
}

TEST_F(OutputRun, LabelledLinesComeOutWholeOnTheirStreamAndNothingIsLost) {
  // Every line is written in three pieces; the last one has no line end.
  const int ranks = 8, lines = 1000;
  Script(bin_ + "/chatter",
         "i=1\n"
         "while [ $i -le " + std::to_string(lines) + " ]; do\n"
         "  printf \"o$TARVO_RANK-\"; printf \"$i-\"; printf \"end\\n\"\n"
         "  printf \"e$TARVO_RANK-\" >&2; printf \"$i\\n\" >&2\n"
         "  i=$((i + 1))\n"
         "done\n"
         "printf \"last$TARVO_RANK\"\n");
  testutil::RunResult r = Tarvo("-np " + std::to_string(ranks) + " chatter", "TARVO_LABEL=1");
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 500);
  // Per rank and stream, the lines in the order written.
  std::vector<std::vector<std::string>> out(ranks), err(ranks);
  for (auto* stream : {&r.out, &r.err}) {
    std::istringstream in(*stream);
    for (std::string line; std::getline(in, line);) {
      int rank = -1;
      char close = 0;
      ASSERT_EQ(sscanf(line.c_str(), "[%d%c", &rank, &close), 2) << line;
      ASSERT_TRUE(close == ']' && rank >= 0 && rank < ranks) << line;
      (stream == &r.out ? out : err)[static_cast<size_t>(rank)].push_back(line);
    }
    EXPECT_EQ(stream->back(), '\n');
  }
  for (int k = 0; k < ranks; ++k) {
    const std::string label = "[" + std::to_string(k) + "] ";
    std::vector<std::string> wantOut, wantErr;
    for (int i = 1; i <= lines; ++i) {
      wantOut.push_back(label + "o" + std::to_string(k) + "-" + std::to_string(i) + "-end");
      wantErr.push_back(label + "e" + std::to_string(k) + "-" + std::to_string(i));
    }
    wantOut.push_back(label + "last" + std::to_string(k));
    EXPECT_EQ(out[static_cast<size_t>(k)], wantOut) << k;
    EXPECT_EQ(err[static_cast<size_t>(k)], wantErr) << k;
  }
}

// A reader that closes tarvo's output ends the run with 141 (128 +
// SIGPIPE), labelled or not.
TEST_F(OutputRun, AReaderThatClosesTheOutputEndsTheRunWith141) {
  Script(bin_ + "/loud", "i=0\nwhile [ $i -lt 200000 ]; do echo \"line $i\"; i=$((i + 1)); done\n");
  for (const char* label : {"0", "1"}) {
    testutil::RunResult r = testutil::Run("cd " + dir_ + " && (PATH=" + std::string(TARVO_BIN_DIR) + ":" + bin_ +
                                          ":$PATH TARVO_LABEL=" + label + " " + testutil::Tarvo() +
                                          " -np 2 loud; echo $? >status) | head -1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::ReadFile(dir_ + "/status"), "141\n") << "TARVO_LABEL=" << label << "\n" << r.err;
    EXPECT_NE(r.err.find("ending the run"), std::string::npos) << r.err;
  }
}

// A report printed with the C library's or the Fortran run-time's default
// buffering, then one rank ends the run at once (abort, SIGKILL): every line
// that the ranks wrote before the end comes out whole, once each. Through
// pipes a block of each rank's report dies with it.
TEST_F(OutputRun, EveryLineWrittenBeforeAnEarlyEndComesOutWhole) {
  const int ranks = 4, lines = 300;
  const std::string report = std::string(TARVO_TEST_BIN_DIR) + "/report_rank " + dir_ + " " + std::to_string(lines) + " 1";
  std::string fortran = bin_ + "/report_rank_f";
  testutil::RunResult built = testutil::Run("gfortran -o " + fortran + " " + TARVO_SOURCE_DIR + "/tests/procs/report_rank.f90");
  if (built.status != 0) {
    std::cout << "[ SKIPPED  ] the Fortran row: gfortran cannot build tests/procs/report_rank.f90: " << built.err << "\n";
    fortran.clear();
  }
  const struct {
    const char* name;
    std::string program;
  } rows[] = {
      {"C, abort", report + " abort"},
      {"C, SIGKILL", report + " kill"},
      {"Fortran, abort", fortran.empty() ? "" : fortran + " " + dir_ + " " + std::to_string(lines) + " 1"},
  };
  for (const auto& row : rows) {
    if (row.program.empty()) continue;
    ASSERT_EQ(testutil::Run("rm -f " + dir_ + "/printed.*").status, 0);
    testutil::RunResult r = Tarvo("-np " + std::to_string(ranks) + " " + row.program);
    EXPECT_NE(r.status, 0) << row.name;
    EXPECT_EQ(testutil::ReportFaults(r.out, ranks, lines), "") << row.name << "\n" << r.err;
  }
}

// Each rank's standard output is a terminal of its own, its standard error
// not; TARVO_PTY=0 leaves them tarvo's.
// 24 ranks: beyond the few that make their own terminals as they start,
// the terminals made ahead.
TEST_F(OutputRun, StandardOutputIsATerminalUnlessTarvoPtyIsZero) {
  Script(bin_ + "/where", "[ -t 1 ] && echo \"out tty\" || echo \"out no\"\n[ -t 2 ] && echo \"err tty\" || echo \"err no\"\n");
  const struct {
    const char* env;
    bool labelled;
    const char* each;  // what each rank writes, unlabelled
  } rows[] = {
      {"", false, "err no\nout tty\n"},
      {"TARVO_LABEL=1", true, "err no\nout tty\n"},
      {"TARVO_PTY=0", false, "err no\nout no\n"},
  };
  for (int ranks : {2, 24}) {
    for (const auto& row : rows) {
      std::string want;
      for (int k = 0; k < ranks; ++k) {
        std::istringstream each(row.each);
        for (std::string line; std::getline(each, line);) {
          want += (row.labelled ? "[" + std::to_string(k) + "] " : std::string()) + line + "\n";
        }
      }
      testutil::RunResult r = Tarvo("-np " + std::to_string(ranks) + " where </dev/null 2>&1", row.env);
      EXPECT_EQ(r.status, 0) << row.env << ", " << ranks << " ranks";
      EXPECT_EQ(testutil::SortedLines(r.out), testutil::SortedLines(want)) << row.env << ", " << ranks << " ranks";
    }
  }
}

// Terminals are a bound resource of the system: a rank that gets none
// writes to a pipe, its lines whole still, and tarvo says so once. The
// bound is that of a private instance of the terminals' file system that
// holds two. The ranks wait for one another (10 s at most), so that no
// rank's terminal is freed by its end before the last rank starts.
TEST_F(OutputRun, RanksBeyondTheBoundOnTerminalsWriteToPipes) {
  Script(bin_ + "/where",
         "touch started.$TARVO_RANK\n"
         "i=0; while [ $(ls started.* | wc -l) -lt 4 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
         "[ -t 1 ] && echo tty || echo pipe\n");
  const std::string own = "mount -t devpts -o newinstance,max=2,ptmxmode=0666 devpts /dev/pts && "
                          "mount --bind /dev/pts/ptmx /dev/ptmx";
  // testutil::Run quotes the command in single quotes.
  if (testutil::Run("unshare --mount sh -c \"" + own + "\"").status != 0) {
    GTEST_SKIP() << "no private mount of the terminals' file system here (needs root and unshare)";
  }
  testutil::RunResult r = testutil::Run("cd " + dir_ + " && unshare --mount sh -c \"" + own + " && PATH=" + TARVO_BIN_DIR +
                                        ":" + bin_ + ":$PATH " + testutil::Tarvo() + " -np 4 where\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testutil::SortedLines(r.out), "pipe\npipe\ntty\ntty\n");
  EXPECT_EQ(r.err,
            "tarvo: no terminal for the output of rank 2 (posix_openpt: No space left on device); it and any other "
            "without one write to a pipe\n");
}

// Lines written in two pieces (the text, then its line end) by 4 ranks at
// once: none is cut by another's, labelled or not.
TEST_F(OutputRun, LinesWrittenInPiecesComeOutWholeWithoutLabels) {
  if (testutil::Run("command -v python3").status != 0) GTEST_SKIP() << "python3 not found";
  Script(bin_ + "/pieces", "import os\nfor i in range(1000):\n    print('rank', os.environ['TARVO_RANK'], 'line', i)\n",
         "/usr/bin/env python3");
  testutil::RunResult r = Tarvo("-np 4 pieces", "PYTHONUNBUFFERED=1");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want;
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; i < 1000; ++i) want += "rank " + std::to_string(k) + " line " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(testutil::SortedLines(r.out), testutil::SortedLines(want));
}

TEST_F(OutputRun, StandardInputReachesRankZeroOnly) {
  Script(bin_ + "/reader", "while read line; do echo \"$TARVO_RANK $line\"; done\n");
  testutil::WriteFile(dir_ + "/input", "one\ntwo\n");
  // A remote shell that runs the command here: the shells get the streams
  // that the ranks would.
  Script(bin_ + "/ssh", "shift; exec \"$@\"\n");
  testutil::WriteFile(dir_ + "/hosts", "localhost\n");
  for (const char* label : {"0", "1"}) {
    for (const char* launch : {"rank", "host"}) {
      for (const char* form : {"", "-ssh -mf hosts "}) {
        testutil::RunResult r = Tarvo(std::string(form) + "-np 4 reader <input",
                                      std::string("TARVO_LABEL=") + label + " TARVO_LAUNCH=" + launch);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, *label == '1' ? "[0] 0 one\n[0] 0 two\n" : "0 one\n0 two\n") << form << launch;
      }
    }
  }
}

TEST(LabelLines, KeepsTheUnfinishedRestAndCutsOnlyAnEndlessLine) {
  std::string partial, out;
  LabelLines(3, "ab", 2, &partial, &out);
  EXPECT_EQ(out, "");
  LabelLines(3, "c\n\nde", 5, &partial, &out);
  EXPECT_EQ(out, "[3] abc\n[3] \n");
  LabelRest(3, &partial, &out);
  EXPECT_EQ(out, "[3] abc\n[3] \n[3] de\n");
  LabelRest(3, &partial, &out);
  EXPECT_EQ(out, "[3] abc\n[3] \n[3] de\n") << "nothing left to complete";
  out.clear();
  LabelLines(0, "a\nb", 3, &partial, &out, 1);
  LabelRest(0, &partial, &out, 1);
  EXPECT_EQ(out, "[1:0] a\n[1:0] b\n") << "a spawned job's";

  out.clear();
  const std::string endless(kMaxLabelledLine + 5, 'x');
  LabelLines(12, endless.data(), endless.size(), &partial, &out);
  EXPECT_EQ(out, "[12] " + std::string(kMaxLabelledLine, 'x') + "\n");
  EXPECT_EQ(partial, "xxxxx");
}

// The launcher's descriptors now.
int OpenDescriptors() {
  testutil::RunResult r = testutil::Run("ls /proc/" + std::to_string(getpid()) + "/fd | wc -l", 10);
  return atoi(r.out.c_str());
}

// What a read of a terminal's master gives within `ms`: its byte, "EIO"
// when every writer has gone, "none" when a writer is still there.
std::string MasterReads(int master, int ms = 5000) {
  pollfd ready{master, POLLIN, 0};
  if (poll(&ready, 1, ms) != 1) return "none";
  char byte = 0;
  const ssize_t n = read(master, &byte, 1);
  if (n == 1) return std::string(1, byte);
  return n < 0 && errno == EIO ? "EIO" : "none";
}

// Outputs made ahead: a taken one works, its master sees the end of its
// writers once the pool has closed the released slave, one whose rank still
// holds its slave does not, and the stop leaves no descriptor behind, taken
// or not, and hands the watcher back what it kept of those not taken.
TEST(TerminalPool, ClosesWhatItReleasedAndWhatWasNotTakenWhenItStops) {
  for (bool watching : {false, true}) {
    SCOPED_TRACE(watching ? "the read ends watched" : "the pool's own read ends");
    const int before = OpenDescriptors();
    // The watcher's part: a mark on each output it is given; those not taken
    // come back to it at the stop.
    int marks = 0, made = 0, unmarked = 0;
    std::function<bool(TerminalPool::Outputs*)> watch;
    std::function<void(const TerminalPool::Outputs&)> unwatch;
    if (watching) {
      watch = [&](TerminalPool::Outputs* o) {
        o->kept[0] = &marks;
        ++made;
        return true;
      };
      unwatch = [&](const TerminalPool::Outputs& o) { unmarked += o.kept[0] == &marks; };
    }
    TerminalPool pool(nullptr, true, watch, unwatch);
    // More than it holds ahead, and than the tries below take away (each
    // take that finds none makes the pool make one fewer).
    ASSERT_TRUE(pool.Start(4000));
    std::vector<TerminalPool::Outputs> taken;
    for (int k = 0; k < 2000 && taken.size() < 3; ++k) {
      TerminalPool::Outputs o;
      if (pool.Take(&o)) {
        taken.push_back(o);
      } else {
        usleep(5000);
      }
    }
    ASSERT_EQ(taken.size(), 3u) << "the pool makes what it is asked for";
    for (const TerminalPool::Outputs& o : taken) {
      EXPECT_TRUE(isatty(o.slave));
      EXPECT_EQ(o.kept[0], watching ? &marks : nullptr);
    }
    ASSERT_EQ(write(taken[2].slave, "x", 1), 1);
    for (int k = 0; k < 2; ++k) {
      pool.Release(taken[k].slave);
      pool.Release(taken[k].errWrite);
    }
    pool.Stop();
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(MasterReads(taken[k].master), "EIO");
      char byte;
      EXPECT_EQ(read(taken[k].errRead, &byte, 1), 0) << "the end of its standard error";
    }
    EXPECT_EQ(MasterReads(taken[2].master), "x");
    EXPECT_EQ(MasterReads(taken[2].master, 100), "none") << "its rank still holds the slave";
    for (const TerminalPool::Outputs& o : taken) {
      for (int fd : {o.master, o.errRead}) close(fd);
    }
    close(taken[2].slave);
    close(taken[2].errWrite);
    if (watching) {
      EXPECT_EQ(made, 3 + unmarked) << "each made is taken or handed back";
    }
    EXPECT_EQ(OpenDescriptors(), before);
  }
}

// A terminal whose rank has gone serves a later one: raw again whatever its
// last writer made of its mode, and nothing of the last rank's left in it;
// the pool closes what it was given and did not give again.
TEST(TerminalPool, ARecycledTerminalServesTheNextRankRawAgain) {
  const int before = OpenDescriptors();
  {
    TerminalPool pool(nullptr, false);
    ASSERT_TRUE(pool.Start(4000));  // more than the takes below find none of
    auto take = [&pool](TerminalPool::Outputs* o) {
      for (int k = 0; k < 2000; ++k) {
        if (pool.Take(o)) return true;
        usleep(5000);
      }
      return false;
    };
    TerminalPool::Outputs first;
    ASSERT_TRUE(take(&first));
    termios mode;
    ASSERT_EQ(tcgetattr(first.slave, &mode), 0);
    mode.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(first.slave, TCSANOW, &mode), 0);
    ASSERT_EQ(write(first.slave, "a\n", 2), 2);
    close(first.slave);
    std::string got;
    for (std::string b; (b = MasterReads(first.master)).size() == 1;) got += b;
    ASSERT_EQ(got, "a\r\n");
    pool.Recycle(first.master);
    // Given again to a starting thread that makes its own, or by the pool's
    // thread after those it had made ahead.
    std::vector<TerminalPool::Outputs> taken;
    TerminalPool::Outputs o;
    o.master = pool.TakeRecycled();
    if (o.master >= 0) {
      ASSERT_EQ(o.master, first.master);
      ASSERT_TRUE(ReopenOutputTerminal(o.master, nullptr, &o.slave)) << strerror(errno);
      taken.push_back(o);
    }
    while (taken.empty() || taken.back().master != first.master) {
      ASSERT_TRUE(take(&o));
      taken.push_back(o);
    }
    ASSERT_EQ(write(taken.back().slave, "b\n", 2), 2);
    EXPECT_EQ(MasterReads(first.master), "b");
    EXPECT_EQ(MasterReads(first.master), "\n") << "raw again";
    EXPECT_EQ(MasterReads(first.master, 100), "none");
    for (const TerminalPool::Outputs& each : taken) {
      close(each.slave);
      if (each.master != first.master) close(each.master);
    }
    EXPECT_EQ(MasterReads(first.master), "EIO");
    pool.Recycle(first.master);  // the pool's to close, now or at its stop
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

using MonitorRun = visualtest::PrivateQueueTest;

TEST_F(MonitorRun, ShowsTheEventsOfTheRanksAndLeavesNoQueue) {
  // Each rank sends two events to the visual endpoint over loopback (bash
  // writes a datagram to /dev/udp), then ends with its first argument.
  const std::string bin = dir_ + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  Script(bin + "/events",
         "printf '\\x06\\0\\0\\0\\x04\\0\\0\\0\\x02\\0\\0\\0' >/dev/udp/127.0.0.1/$TARVO_VISUAL_PORT\n"
         "printf \"\\x02\\0\\0\\0\\x0$TARVO_RANK\\0\\0\\0\" >/dev/udp/127.0.0.1/$TARVO_VISUAL_PORT\n"
         "exit $1\n",
         "/bin/bash");
  const std::vector<std::string> shown = {"Msg_AsynOneToOneChannelDestroy: 4 2 ",
                                          "Msg_AsynOneToOneChannelDestroy: 4 2 ", "Msg_RMPRocessEnd: -1 ",
                                          "Msg_RMPRocessEnd: 0 ", "Msg_RMPRocessEnd: 1 "};
  for (const char* exitWith : {"0", "3"}) {
    // The ranks' failures must not end each other before their events.
    testutil::RunResult r =
        RunTarvo(dir_, bin, "-np 2 events " + std::string(exitWith), "TARVO_MONITOR=1 TARVO_KILL_ON_BAD_EXIT=0");
    EXPECT_EQ(r.status, atoi(exitWith)) << r.err;
    EXPECT_EQ(SortedLines(r.out), shown);
    EXPECT_EQ(visualtest::ExistingQueue(key_), -1);
  }
  // A run that ends on an error after the bridge started.
  testutil::RunResult r = RunTarvo(dir_, bin, "-np 2 -mf missing events 0", "TARVO_MONITOR=1");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(visualtest::ExistingQueue(key_), -1);
  EXPECT_TRUE(NoneLeftIn(dir_)) << "the monitor ends with the run";

  // A malformed setting starts nothing.
  r = RunTarvo(dir_, bin, "-np 2 events 0", "TARVO_MONITOR=on");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "ERROR-Control Process: TARVO_MONITOR=on is not 0 or 1\n");
  r = RunTarvo(dir_, bin, "-np 2 events 0", "TARVO_LABEL=10");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "ERROR-Control Process: TARVO_LABEL=10 is not 0 or 1\n");
  r = RunTarvo(dir_, bin, "-np 2 events 0", "TARVO_PTY=yes");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "ERROR-Control Process: TARVO_PTY=yes is not 0 or 1\n");
}

}  // namespace
