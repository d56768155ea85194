// The two ways a child is started: posix_spawnp, and fork with execvp when
// the spawn fails. Each process of a run starts exactly once either way, and
// a carrier that only execvp can run (a script without a #! line, which
// execvp hands to /bin/sh) still runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"

namespace {

// A carrier script that appends its rank (the third-last word) to
// $TARVO_FAKE_DIR/ranks and ends with 0. Shell built-ins only.
const char kRecordRank[] =
    "n=0; r=\n"
    "for w in \"$@\"; do n=$((n + 1)); done\n"
    "i=0\n"
    "for w in \"$@\"; do i=$((i + 1)); if [ $i -eq $((n - 2)) ]; then r=$w; fi; done\n"
    "echo \"$r\" >> \"$TARVO_FAKE_DIR/ranks\"\n";

// Runs `tarvo -np n prog` with `script` as the only carrier on PATH, and
// returns the ranks recorded, sorted; *status gets tarvo's exit status.
std::vector<int> RanksStarted(const std::string& script, int n, int* status) {
  std::string bin = testutil::MakeTempDir();
  std::string carrier = bin + "/carrier";
  testutil::WriteFile(carrier, script);
  chmod(carrier.c_str(), 0755);
  harness::Options o;
  o.hold = false;
  o.exactPath = bin;
  harness::LauncherRun run({"-np", std::to_string(n), "prog"}, o);
  *status = run.Wait();
  std::istringstream in(testutil::ReadFile(run.RecordDir() + "/ranks"));
  std::vector<int> ranks;
  for (int r; in >> r;) ranks.push_back(r);
  std::sort(ranks.begin(), ranks.end());
  return ranks;
}

std::vector<int> Upto(int n) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(i);
  return v;
}

TEST(SpawnPaths, EveryRankStartsOnceThroughTheSpawn) {
  int status = -1;
  EXPECT_EQ(RanksStarted(std::string("#!/bin/sh\n") + kRecordRank, 40, &status), Upto(40));
  EXPECT_EQ(status, 0);
}

TEST(SpawnPaths, ACarrierOnlyExecvpCanRunStillRunsOncePerRank) {
  // No #! line: the spawn fails with ENOEXEC, and the fork path's execvp
  // runs the file with /bin/sh.
  int status = -1;
  EXPECT_EQ(RanksStarted(kRecordRank, 12, &status), Upto(12));
  EXPECT_EQ(status, 0);
}

}  // namespace
