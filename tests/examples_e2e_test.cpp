// The examples, and the runtime library's reading of the address protocol,
// under the real tarvo and the real carrier: each run starts from the
// directory that holds the programs, with that directory first on PATH.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"

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

}  // namespace
