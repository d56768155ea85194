// Fault and load runs of the real tarvo with the real carrier and
// fault_rank (tests/procs/fault_rank.c) as every process: the largest run,
// a flood of random datagrams on all four endpoints while the processes
// meet, a process killed in the middle of a run, and a whole run under a
// leak checker.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "common/textfield.h"
#include "registry/peerbook.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Polls for up to `seconds` until `done` holds.
template <typename Done>
bool WaitUntil(int seconds, Done done) {
  return support::WaitUntil(seconds * 1000, done, 50);
}

// A fresh run directory holding fault_rank, from which tarvo starts it.
class RunDir {
 public:
  RunDir() : dir_(testutil::MakeTempDir()) {
    std::string program = std::string(TARVO_TEST_BIN_DIR) + "/fault_rank";
    EXPECT_EQ(symlink(program.c_str(), Path("fault_rank").c_str()), 0) << program;
  }
  ~RunDir() {
    if (system(("rm -rf " + dir_).c_str()) != 0) {
    }
  }
  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Touch(const std::string& name) const { testutil::WriteFile(Path(name), "go"); }
  int CountDone(int n) const {
    int done = 0;
    for (int r = 0; r < n; ++r) done += Exists(Path("done." + std::to_string(r))) ? 1 : 0;
    return done;
  }

 private:
  std::string dir_;
};

// Lets the processes of a run end when a test leaves early.
struct ReleaseAtEnd {
  const RunDir& run;
  ~ReleaseAtEnd() { run.Touch("release"); }
};

// tarvo in the background from the run directory, with the real carrier
// found first on PATH.
harness::Options RealCarrier(const RunDir& run) {
  harness::Options o;
  o.hold = false;
  o.workdir = run.dir();
  const char* path = getenv("PATH");
  o.exactPath = std::string(TARVO_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin");
  return o;
}

// ---- The largest run ----

TEST(FaultLoad, TwoThousandProcessesCompleteWithZero) {
  const int n = 2000;
  RunDir run;
  harness::LauncherRun tarvo({"-np", std::to_string(n), "fault_rank", "mark"}, RealCarrier(run));
  ASSERT_EQ(tarvo.Wait(240), 0) << tarvo.Stdout() << tarvo.Stderr();
  EXPECT_EQ(tarvo.Stdout(), "");
  EXPECT_EQ(tarvo.Stderr(), "");
  // Every rank ran exactly once, with its own rank.
  std::set<std::string> marks;
  DIR* d = opendir(run.dir().c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "mark.", 5) == 0) marks.insert(e->d_name);
  }
  closedir(d);
  EXPECT_EQ(marks.size(), static_cast<size_t>(n));
  for (int r = 0; r < n; ++r) EXPECT_EQ(marks.count("mark." + std::to_string(r)), 1u) << r;
}

// ---- Random datagrams while the processes meet ----

// Sends random datagrams of every length from 0 to 65507 bytes, each to all
// four endpoints, from one loopback socket, until asked to stop once every
// length has gone out (and at most ten rounds of 65508 datagrams). One in
// four datagrams of 8 bytes or more starts like a request (ADDRESS for one
// identifier or the whole table, an answer code, a collective code with a
// rank outside the run) so that the services look past the first word.
//
// The flood never forms a request that changes the registry or counts in a
// meeting: read as the services read them (bytes beyond a short datagram are
// zero), its first word is never JOIN or LEAVE, and a collective code never
// comes with a rank of the run. Everything else goes: ADDRESS requests,
// answers, console garbage, events on the unread visual endpoint. So the
// registry must end exactly as the processes left it, and every meeting must
// release every rank once.
class Flood {
 public:
  static const int kLongest = 65507;

  Flood(const std::vector<int>& ports, int ranks, uint32_t seed) : ports_(ports), ranks_(ranks), seed_(seed) {}
  ~Flood() { Stop(); }

  void Start() { thread_ = std::thread([this] { Run(); }); }
  // Stops after the first whole round; returns the datagrams sent.
  long Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return sent_;
  }
  bool EveryLengthSent() const { return firstRoundDone_; }
  int Failures() const { return failures_; }

  // Whether a datagram would register, deregister or count as a rank's
  // arrival in a meeting of `ranks` processes.
  static bool ChangesState(const char* data, size_t len, int ranks) {
    int32_t code = 0, second = 0;
    memcpy(&code, data, std::min(len, sizeof code));
    if (len > 4) memcpy(&second, data + 4, std::min(len - 4, sizeof second));
    if (code == JOIN || code == LEAVE) return true;
    return code >= Msg_TopologyBroadcast && code <= Msg_TopologyScatter && second >= 0 && second < ranks;
  }

 private:
  void Run() {
    support::LoopbackSocket sock;
    if (sock.Fd() < 0) {
      failures_ = -1;
      return;
    }
    std::mt19937 rng(seed_);
    std::vector<char> pool(2 * kLongest);
    for (char& c : pool) c = static_cast<char>(rng());
    std::vector<char> datagram(kLongest);
    std::vector<int> lengths(kLongest + 1);
    for (int k = 0; k <= kLongest; ++k) lengths[static_cast<size_t>(k)] = k;
    std::shuffle(lengths.begin(), lengths.end(), rng);

    for (int round = 0; round < 10; ++round) {
      for (size_t k = 0; k < lengths.size(); ++k) {
        if (stop_ && firstRoundDone_) break;
        const size_t len = static_cast<size_t>(round == 0 ? lengths[k] : static_cast<int>(rng() % (kLongest + 1)));
        const size_t from = rng() % (kLongest + 1);
        if (len > 0) memcpy(datagram.data(), pool.data() + from, len);
        if (len >= 8 && rng() % 4 == 0) Shape(datagram.data(), &rng);
        // A high bit in the low byte of the first word makes it no code at all.
        if (ChangesState(datagram.data(), len, ranks_)) datagram[0] = static_cast<char>(datagram[0] | 0x80);
        for (int port : ports_) {
          if (!sock.Send(port, datagram.data(), len)) ++failures_;
          ++sent_;
        }
      }
      firstRoundDone_ = true;
      if (stop_) break;
    }
  }

  // Gives a datagram the first two words of a request. Collective codes come
  // with ranks at the edges of the run (the last rank's are then made no
  // code by the check above).
  void Shape(char* data, std::mt19937* rng) const {
    static const int32_t kCodes[] = {ADDRESS, ADDRESS, JOINACK, ADDRESSACK, LEAVEACK, 0, 29, 30, 31, 32};
    const int32_t code = kCodes[(*rng)() % (sizeof kCodes / sizeof kCodes[0])];
    int32_t second = static_cast<int32_t>((*rng)());
    const int32_t edges[] = {ranks_ - 1, ranks_, ranks_ + 1, -1, INT32_MIN, second};
    if (code == ADDRESS && (*rng)() % 2 == 0) second = 998;
    if (code >= Msg_TopologyBroadcast) second = edges[(*rng)() % (sizeof edges / sizeof edges[0])];
    memcpy(data, &code, sizeof code);
    memcpy(data + 4, &second, sizeof second);
  }

  std::vector<int> ports_;
  int ranks_;
  uint32_t seed_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> firstRoundDone_{false};
  std::atomic<long> sent_{0};
  std::atomic<int> failures_{0};
};

// Asks the address service for the whole table from a socket of our own.
// Empty on no (well-formed) answer.
std::string FetchTable(int port) {
  support::LoopbackSocket sock(2000);
  AddressMessage ask;
  memset(&ask, 0, sizeof ask);
  ask.code = ADDRESS;
  ask.fd = 998;
  std::string table;
  for (int attempt = 0; attempt < 10 && table.empty(); ++attempt) {
    if (!sock.Send(port, &ask, sizeof ask)) break;
    for (;;) {
      std::vector<char> got = sock.Receive();
      if (got.empty()) break;  // time-out: ask again
      AddressMessage head;
      if (got.size() < sizeof head) continue;
      memcpy(&head, got.data(), sizeof head);
      if (head.code == ADDRESSACK && head.fd == 0 &&
          got.size() == sizeof head + sizeof(ProcessAddress) * static_cast<size_t>(head.port)) {
        table.assign(got.data(), got.size());
        break;
      }
    }
  }
  return table;
}

ProcessAddress Record(int fd, int tag, const std::string& ip, const std::string& host, int port) {
  ProcessAddress r;
  memset(&r, 0, sizeof r);
  r.fd = fd;
  r.tag = tag;
  CopyTextField(r.ip, sizeof r.ip, ip.c_str());
  CopyTextField(r.hostname, sizeof r.hostname, host.c_str());
  r.port = port;
  return r;
}

TEST(FaultLoad, RandomDatagramsOnEveryEndpointWhileSixteenProcessesMeetAHundredTimes) {
  const int n = 16, meetings = 100;
  RunDir run;
  harness::LauncherRun tarvo({"-np", std::to_string(n), "fault_rank", "meet", std::to_string(meetings), run.dir()},
                             RealCarrier(run));
  ReleaseAtEnd releaseAtEnd{run};
  ASSERT_TRUE(WaitUntil(60, [&] { return Exists(run.Path("ports")); })) << tarvo.Stderr();
  int addressPort = 0, visualPort = 0, syncPort = 0, consolePort = 0;
  std::istringstream(testutil::ReadFile(run.Path("ports"))) >> addressPort >> visualPort >> syncPort >> consolePort;
  ASSERT_GT(addressPort, 0);
  ASSERT_GT(visualPort, 0);
  ASSERT_GT(syncPort, 0);
  ASSERT_GT(consolePort, 0);

  const uint32_t seed = 20240817;
  SCOPED_TRACE("flood seed " + std::to_string(seed));
  Flood flood({addressPort, visualPort, syncPort, consolePort}, n, seed);
  flood.Start();
  run.Touch("go");  // the processes register and meet under the flood
  // A rank that fails names itself on tarvo's standard error.
  bool allDone = WaitUntil(300, [&] {
    return run.CountDone(n) == n || tarvo.Stderr().find("fault_rank:") != std::string::npos;
  });
  allDone = allDone && run.CountDone(n) == n;
  ASSERT_TRUE(allDone) << run.CountDone(n) << " of " << n << " done\n" << tarvo.Stderr();

  // The registry holds exactly what the processes left in it: identifier
  // rank + 1 of every rank, as registered, in identifier order; none of the
  // identifiers they deregistered, nothing of the flood.
  std::string table = FetchTable(addressPort);
  ASSERT_FALSE(table.empty()) << "no table reply";
  AddressMessage head;
  memcpy(&head, table.data(), sizeof head);
  ASSERT_EQ(head.port, n);
  for (int r = 0; r < n; ++r) {
    std::string ip;
    int port = 0;
    std::istringstream(testutil::ReadFile(run.Path("done." + std::to_string(r)))) >> ip >> port;
    ProcessAddress want = Record(r + 1, 1000 + r + 1, ip, "rank" + std::to_string(r), port);
    ProcessAddress got;
    memcpy(&got, table.data() + sizeof head + sizeof got * static_cast<size_t>(r), sizeof got);
    EXPECT_EQ(got.fd, want.fd) << r;
    EXPECT_EQ(got.port, want.port) << r;
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << "record " << r << " differs from what rank " << r
                                                  << " registered";
  }

  // The run ends, and its services with it, while the flood goes on.
  run.Touch("release");
  EXPECT_EQ(tarvo.Wait(60), 0) << tarvo.Stderr();
  const long sent = flood.Stop();
  EXPECT_TRUE(flood.EveryLengthSent());
  EXPECT_GE(sent, 4L * (Flood::kLongest + 1));
  EXPECT_EQ(flood.Failures(), 0);
  const std::string err = tarvo.Stderr();
  EXPECT_EQ(err.find("fault_rank"), std::string::npos) << err;
  EXPECT_EQ(err.find("UDPRecv"), std::string::npos) << err;
  EXPECT_NE(tarvo.Stdout().find("Console-> "), std::string::npos) << "the console printed the flood";
}

// ---- A process killed in the middle of a run ----

class KilledProcess : public ::testing::TestWithParam<int> {};

TEST_P(KilledProcess, EndsTheRunWithItsStatusWhileTheRestComplete) {
  const int sig = GetParam();
  const int n = 6, victim = 2;
  RunDir run;
  // The others go on: a failing rank does not end this run.
  harness::Options o = RealCarrier(run);
  o.env["TARVO_KILL_ON_BAD_EXIT"] = "0";
  harness::LauncherRun tarvo({"-np", std::to_string(n), "fault_rank", "victim", run.dir(), std::to_string(victim)}, o);
  ASSERT_TRUE(WaitUntil(60, [&] { return Exists(run.Path("victim.pid")); })) << tarvo.Stderr();
  const pid_t pid = static_cast<pid_t>(std::atol(testutil::ReadFile(run.Path("victim.pid")).c_str()));
  ASSERT_GT(pid, 1);
  ASSERT_EQ(kill(pid, sig), 0);
  // Gone once tarvo has reaped it.
  EXPECT_TRUE(WaitUntil(30, [&] { return kill(pid, 0) == -1 && errno == ESRCH; }));
  run.Touch("killed");

  EXPECT_EQ(tarvo.Wait(90), 128 + sig) << tarvo.Stderr();
  const std::string out = tarvo.Stdout();
  for (int r = 0; r < n; ++r) {
    if (r == victim) continue;
    EXPECT_TRUE(Exists(run.Path("done." + std::to_string(r)))) << "rank " << r << " did not complete\n"
                                                               << tarvo.Stderr();
    EXPECT_NE(out.find("Console-> rank " + std::to_string(r) + " goes on\n"), std::string::npos) << out;
  }
  EXPECT_FALSE(Exists(run.Path("done." + std::to_string(victim))));
}

INSTANTIATE_TEST_SUITE_P(Signals, KilledProcess, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGKILL ? std::string("SIGKILL") : std::string("SIGTERM");
                         });

// ---- A whole run under a leak checker ----

#if defined(__SANITIZE_ADDRESS__)
const char* const kChecker = "leaksanitizer";
#elif defined(__SANITIZE_THREAD__)
const char* const kChecker = "";
#else
const char* const kChecker = "valgrind";
#endif

TEST(FaultLoad, ACompleteRunLeaksNothing) {
  const std::string checker = kChecker;
  if (checker.empty()) GTEST_SKIP() << "ThreadSanitizer builds have no leak checker; the other builds run this";
  const int n = 4;
  RunDir run;
  run.Touch("go");
  run.Touch("release");
  const std::string path = "PATH=" + std::string(TARVO_BIN_DIR) + ":$PATH ";
  const std::string command = "cd " + run.dir() + " && " + path;
  const std::string job = " -np " + std::to_string(n) + " fault_rank meet 20 " + run.dir();
  testutil::RunResult r;
  if (checker == "valgrind") {
    testutil::RunResult probe = testutil::Run("valgrind -q " + testutil::Tarvo() + " -help", 60);
    if (probe.status != 0) GTEST_SKIP() << "valgrind cannot run tarvo here:\n" << probe.err;
    r = testutil::Run(command + "valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99 " +
                          "--suppressions=" + TARVO_SOURCE_DIR + "/tests/valgrind_libpmix.supp " +
                          testutil::Tarvo() + job,
                      240);
    const bool none = r.err.find("definitely lost: 0 bytes") != std::string::npos ||
                      r.err.find("no leaks are possible") != std::string::npos;
    EXPECT_TRUE(none) << r.err;
  } else {
    r = testutil::Run(command + "ASAN_OPTIONS=detect_leaks=1 " + testutil::Tarvo() + job, 120);
    EXPECT_EQ(r.err.find("LeakSanitizer"), std::string::npos) << r.err;
  }
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(run.CountDone(n), n);
}

}  // namespace
