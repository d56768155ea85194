// The examples, and the runtime library's reading of the address protocol,
// under the real tarvo and the real carrier: each run starts from the
// directory that holds the programs, with that directory first on PATH;
// then the examples across loopback hosts through ssh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"
#include "tests/support/sshd.h"

namespace {

// `tarvo -np n program args` from `dir`, bounded by `seconds`.
testutil::RunResult RunUnder(const std::string& dir, int n, const std::string& program, int seconds = 90) {
  return testutil::Run("cd " + dir + " && PATH=" + std::string(TARVO_BIN_DIR) + ":$PATH " + testutil::Tarvo() +
                           " -np " + std::to_string(n) + " " + program,
                       seconds);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string HostName() {
  char name[256] = {0};
  gethostname(name, sizeof name - 1);
  return name;
}

std::string Plural(int k, const char* word) { return std::to_string(k) + " " + word + (k == 1 ? "" : "s"); }

// True when `line` is `prefix`, a decimal number with one digit after the
// point, then `suffix`.
bool NumberBetween(const std::string& line, const std::string& prefix, const std::string& suffix) {
  if (line.size() < prefix.size() + suffix.size() + 3) return false;
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  if (line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
  size_t dot = number.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 2 != number.size()) return false;
  for (size_t i = 0; i < number.size(); ++i) {
    if (i != dot && (number[i] < '0' || number[i] > '9')) return false;
  }
  return true;
}

class Examples : public ::testing::TestWithParam<int> {};

TEST_P(Examples, HelloPrintsEveryRankInOrder) {
  const int n = GetParam();
  testutil::RunResult r = RunUnder(TARVO_BIN_DIR, n, "hello");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string want;
  for (int k = 0; k < n; ++k)
    want += "Console-> hello from rank " + std::to_string(k) + " of " + std::to_string(n) + " on " + HostName() + "\n";
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.err, "");
}

TEST_P(Examples, RingCarriesTheTokenRoundEveryLap) {
  const int n = GetParam();
  const int laps = 3;
  testutil::RunResult r = RunUnder(TARVO_BIN_DIR, n, "ring " + std::to_string(laps));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(laps + 2)) << r.out;
  std::string path = "0";
  for (int k = 1; k <= n; ++k) path += " -> " + std::to_string(k % n);
  EXPECT_EQ(lines[0], "Console-> ring: " + std::to_string(n) + (n == 1 ? " process" : " processes") +
                          " in the table, the token goes " + path);
  const std::string hops = std::to_string(n) + (n == 1 ? " hop" : " hops");
  for (int k = 1; k <= laps; ++k) {
    EXPECT_TRUE(NumberBetween(lines[static_cast<size_t>(k)],
                              "Console-> ring: lap " + std::to_string(k) + ": " + hops + ", ", " us per hop"))
        << lines[static_cast<size_t>(k)];
  }
  EXPECT_TRUE(NumberBetween(lines.back(), "Console-> ring: 3 laps, " + Plural(laps * n, "hop") + ", ", " us per hop"))
      << lines.back();
}

TEST_P(Examples, PiSumsThePartsAtRankZero) {
  const int n = GetParam();
  testutil::RunResult r = RunUnder(TARVO_BIN_DIR, n, "pi 100000");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string prefix = "Console-> pi: " + std::to_string(n) + (n == 1 ? " process" : " processes") +
                             ", 100000 intervals: ";
  ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
  double value = 0, error = -1;
  char end = 0;
  ASSERT_EQ(sscanf(r.out.c_str() + prefix.size(), "%lf, error %lf%c", &value, &error, &end), 3) << r.out;
  EXPECT_EQ(end, '\n');
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
  // The midpoint rule's error for 100000 intervals is about 8e-12; a lost or
  // doubled partial sum would be off by a whole share.
  EXPECT_NEAR(value, M_PI, 1e-9);
  EXPECT_NEAR(error, std::fabs(value - M_PI), 1e-12);
}

TEST_P(Examples, LibraryReadsTheRealAddressService) {
  const int n = GetParam();
  testutil::RunResult r = RunUnder(TARVO_TEST_BIN_DIR, n, "runtime_probe");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Console-> probe: " + std::to_string(n) + " ranks passed\n") << r.err;
}

INSTANTIATE_TEST_SUITE_P(Counts, Examples, ::testing::Values(1, 2, 4, 16),
                         [](const ::testing::TestParamInfo<int>& info) { return "np" + std::to_string(info.param); });

TEST(ExamplesAlone, SayTheyNeedTarvo) {
  for (const char* program : {"hello", "ring", "pi"}) {
    testutil::RunResult r = testutil::Run("env -u TARVO_SIZE -u TARVO_RANK " + std::string(TARVO_BIN_DIR) + "/" + program, 20);
    EXPECT_EQ(r.status, 2) << program;
    EXPECT_NE(r.err.find(std::string(program) + ": not started by tarvo"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// ---- Across hosts: tarvo -ssh over the private sshd of tests/support ----

using RemoteExamples = support::SshdTest;

// tarvo -ssh -np n -mf hosts from the directory of the examples, with the
// shim first on PATH.
testutil::RunResult RunAcross(const std::string& shimDir, const std::string& hosts, int n, const std::string& program) {
  return testutil::Run("cd " + std::string(TARVO_BIN_DIR) + " && PATH=" + shimDir + ":" + TARVO_BIN_DIR +
                           ":/usr/bin:/bin " + testutil::Tarvo() + " -ssh -np " + std::to_string(n) + " -mf " + hosts +
                           " " + program,
                       120);
}

TEST_F(RemoteExamples, RingAcrossTwoHosts) {
  const std::string hosts = sshd().Dir() + "/hosts";
  testutil::WriteFile(hosts, "127.0.0.1\n127.0.0.2\n");
  testutil::RunResult r = RunAcross(sshd().ShimDir(), hosts, 4, "ring 3");
  ASSERT_EQ(r.status, 0) << r.out << r.err << sshd().Log();
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "Console-> ring: 4 processes in the table, the token goes 0 -> 1 -> 2 -> 3 -> 0");
  EXPECT_TRUE(NumberBetween(lines[4], "Console-> ring: 3 laps, 12 hops, ", " us per hop")) << lines[4];
  EXPECT_EQ(sshd().SshHosts(), "127.0.0.1 127.0.0.1 127.0.0.2 127.0.0.2 ") << "every rank went through ssh";
}

TEST_F(RemoteExamples, HelloAndPiAcrossTwoHosts) {
  const std::string hosts = sshd().Dir() + "/hosts";
  testutil::WriteFile(hosts, "127.0.0.2\n127.0.0.1\n");
  testutil::RunResult hello = RunAcross(sshd().ShimDir(), hosts, 3, "hello");
  ASSERT_EQ(hello.status, 0) << hello.out << hello.err;
  std::istringstream in(hello.out);
  int k = 0;
  for (std::string line; std::getline(in, line); ++k) {
    const std::string head = "Console-> hello from rank " + std::to_string(k) + " of 3 on ";
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    EXPECT_GT(line.size(), head.size()) << "a host name follows";
  }
  EXPECT_EQ(k, 3) << hello.out;
  testutil::RunResult pi = RunAcross(sshd().ShimDir(), hosts, 3, "pi 1000");
  ASSERT_EQ(pi.status, 0) << pi.out << pi.err;
  EXPECT_EQ(pi.out.rfind("Console-> pi: 3 processes, 1000 intervals: 3.14159", 0), 0u) << pi.out;
}

}  // namespace
