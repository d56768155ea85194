// The PMIx host with real Open MPI programs (tests/procs/ompi_probe.c, built
// with mpicc.openmpi): the test starts the host, forks the node's ranks with
// the environment merged as tarvo merges it for its own ranks, and checks
// what the programs and the callbacks saw.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "launcher/spawn/PmixSetup.h"
#include "pmi/pmix_facts.h"
#include "pmi/pmix_host.h"
#include "pmi/pmix_relay.h"
#include "tests/run_util.h"
#include "tests/support/processes.h"
#include "tests/support/wait.h"

extern char** environ;

// The sanitizers' defaults for libpmix's own frames come with tarvo_pmix
// (common/sanitizer_defaults.cpp).

namespace {

const char kProbe[] = TARVO_TEST_BIN_DIR "/ompi_probe";

// What the callbacks saw, from libpmix's thread.
struct Seen {
  std::mutex mutex;
  std::vector<int> connected;
  std::vector<int> finalized;
  std::vector<std::tuple<int, int, std::string>> aborts;

  pmi::PmixCallbacks Callbacks(std::function<void(std::string, pmi::PmixCallbacks::Done)> exchange = {}) {
    pmi::PmixCallbacks c;
    c.exchange = exchange ? exchange : [](std::string blob, pmi::PmixCallbacks::Done done) { done(blob); };
    c.abort = [this](int rank, int status, const std::string& msg) {
      std::lock_guard<std::mutex> lock(mutex);
      aborts.emplace_back(rank, status, msg);
    };
    c.connected = [this](int rank) {
      std::lock_guard<std::mutex> lock(mutex);
      connected.push_back(rank);
    };
    c.finalized = [this](int rank) {
      std::lock_guard<std::mutex> lock(mutex);
      finalized.push_back(rank);
    };
    return c;
  }
  size_t Aborts() {
    std::lock_guard<std::mutex> lock(mutex);
    return aborts.size();
  }
};

// Forks each of the job's ranks on this node as ompi_probe DIR MODE, its
// output in DIR/<rank>.out; the environment is this process's, with a stale
// server address of an outside server (as Slurm leaves one) that must not
// count, and Open MPI's TCP transport kept on loopback (between two nodes
// it would take this machine's own network address).
// `host`: a PmixHost, or a PmixRelay around one.
template <typename Host>
std::vector<pid_t> StartRanks(const Host& host, const pmi::PmixJob& job, const std::string& dir,
                              const std::string& mode) {
  std::string outside = "PMIX_SERVER_URI41=outside;tcp4://127.0.0.1:1";
  std::string loopback = "OMPI_MCA_btl_tcp_if_include=lo";
  std::vector<pid_t> pids;
  for (int rank : pmi::LocalRanksOf(job)) {
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(&outside[0]);
    envp.push_back(&loopback[0]);
    envp.push_back(nullptr);
    std::vector<std::string> ours = host.Environment(rank);
    spawn::MergeRankEnvironment(&envp, ours);
    std::string out = dir + "/" + std::to_string(rank) + ".out";
    std::vector<std::string> words = {kProbe, dir, mode};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fd, 1);
      execve(kProbe, argv.data(), envp.data());
      _exit(127);
    }
    close(fd);
    pids.push_back(pid);
  }
  return pids;
}

std::vector<int> WaitAll(const std::vector<pid_t>& pids, int boundMs = 60000) {
  std::vector<int> statuses;
  for (pid_t p : pids) statuses.push_back(support::WaitChild(p, boundMs));
  return statuses;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// libpmix's server starts once in a process's life: ctest runs each test
// in a process of its own; a second test in one process is skipped.
bool SecondServer() {
  static bool ran = false;
  bool before = ran;
  ran = true;
  return before;
}
#define SKIP_IF_SECOND_SERVER() \
  if (SecondServer()) GTEST_SKIP() << "libpmix's server has run in this process: run this test alone (ctest does)"

pmi::PmixJob Job(std::vector<std::string> hosts, std::string thisHost, pid_t owner = getpid()) {
  pmi::PmixJob job;
  job.nspace = "tarvo-test-" + std::to_string(owner);
  job.hosts = std::move(hosts);
  job.thisHost = std::move(thisHost);
  return job;
}

// Starts `host` for `job` with `seen`'s callbacks; a failure says why.
::testing::AssertionResult Started(pmi::PmixHost* host, const pmi::PmixJob& job, Seen* seen) {
  std::string why;
  if (host->Start(job, seen->Callbacks(), &why)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << why;
}

TEST(PmixHost, RanksSeeTheirRankSizeSharedMemoryAndAppnum) {
  SKIP_IF_SECOND_SERVER();
  std::string dir = testutil::MakeTempDir();
  pmi::PmixJob job = Job({"n0", "n0", "n0", "n0"}, "n0");
  job.appnums = {0, 0, 1, 1};
  Seen seen;
  pmi::PmixHost host;
  ASSERT_TRUE(Started(&host, job, &seen));
  // The server's topology leaves hwloc's plugins out, and the ranks'
  // environments (this process's here) never hear of it.
  EXPECT_EQ(getenv("HWLOC_PLUGINS_BLACKLIST"), nullptr);
  const std::vector<std::string> dirs = host.PrivateDirs();
  EXPECT_EQ(dirs.size(), 2u);
  for (const std::string& d : dirs) EXPECT_TRUE(Exists(d)) << d;
  pmi::PmixHost second;
  std::string why;
  EXPECT_FALSE(second.Start(job, seen.Callbacks(), &why)) << "libpmix runs one server per process";
  EXPECT_FALSE(host.Finalized(0));

  std::vector<pid_t> pids = StartRanks(host, job, dir, "report");
  EXPECT_EQ(WaitAll(pids), std::vector<int>(4, 0));
  for (int r = 0; r < 4; ++r)
    EXPECT_EQ(testutil::ReadFile(dir + "/" + std::to_string(r) + ".out"),
              "rank " + std::to_string(r) + " of 4 sum 6 shared 4 appnum " + std::to_string(r / 2) + " session shared\n");
  host.Stop();
  for (const std::string& d : dirs) EXPECT_FALSE(Exists(d)) << d;
  std::sort(seen.connected.begin(), seen.connected.end());
  std::sort(seen.finalized.begin(), seen.finalized.end());
  EXPECT_EQ(seen.connected, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(seen.finalized, (std::vector<int>{0, 1, 2, 3}));
  for (int r = 0; r < 4; ++r) EXPECT_TRUE(host.Finalized(r));
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
}

// A one-node job of `count` ranks that run `mode`, in a fresh directory.
struct OneNode {
  OneNode(int count, const char* mode) {
    const pmi::PmixJob job = Job(std::vector<std::string>(static_cast<size_t>(count), "n0"), "n0");
    if (Started(&host, job, &seen)) {
      pids = StartRanks(host, job, dir, mode);
    }
  }
  std::string dir = testutil::MakeTempDir();
  Seen seen;
  pmi::PmixHost host;
  std::vector<pid_t> pids;
};

TEST(PmixHost, AbortReachesTheCallbackWithRankAndStatus) {
  SKIP_IF_SECOND_SERVER();
  OneNode run(3, "abort");
  ASSERT_EQ(run.pids.size(), 3u);
  ASSERT_TRUE(support::WaitUntil(60000, [&] { return run.seen.Aborts() == 1; }));
  EXPECT_EQ(std::get<0>(run.seen.aborts[0]), 1);
  EXPECT_EQ(std::get<1>(run.seen.aborts[0]), 7);
  EXPECT_EQ(support::WaitChild(run.pids[1], 30000), 7) << "released, the rank exits with its status";
  for (pid_t p : {run.pids[0], run.pids[2]}) kill(p, SIGKILL);  // the run ends, as a launcher ends it
  WaitAll({run.pids[0], run.pids[2]});
  run.host.Stop();
  EXPECT_TRUE(support::Survivors(support::PidsIn(run.dir)).empty());
}

// Stop waits for a callback that libpmix's thread is in, past the finalize's
// few seconds, and nothing reaches the callbacks or the library afterwards:
// the owner may go at once.
TEST(PmixHost, StopWaitsForARunningCallbackBeyondTheFinalizeTimeOut) {
  SKIP_IF_SECOND_SERVER();
  std::string dir = testutil::MakeTempDir();
  pmi::PmixHost host;
  std::vector<pid_t> pids;
  std::atomic<int> abortAt{0};  // 1: inside the callback, 2: out of it
  {
    Seen seen;
    pmi::PmixCallbacks c = seen.Callbacks();
    c.abort = [&abortAt](int, int, const std::string&) {
      abortAt = 1;
      std::this_thread::sleep_for(std::chrono::seconds(4));
      abortAt = 2;
    };
    std::string why;
    const pmi::PmixJob job = Job({"n0", "n0"}, "n0");
    ASSERT_TRUE(host.Start(job, std::move(c), &why)) << why;
    pids = StartRanks(host, job, dir, "abort");
    ASSERT_TRUE(support::WaitUntil(60000, [&] { return abortAt.load() == 1; }));
    host.Stop();
    EXPECT_EQ(abortAt.load(), 2) << "Stop returned while the abort callback ran";
  }
  for (pid_t p : pids) kill(p, SIGKILL);
  WaitAll(pids);
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
}

TEST(PmixHost, RankThatEndsWithoutFinalizeIsNamed) {
  SKIP_IF_SECOND_SERVER();
  OneNode run(2, "nofinalize");
  ASSERT_EQ(run.pids.size(), 2u);
  EXPECT_EQ(support::WaitChild(run.pids[0], 60000), 0);
  EXPECT_FALSE(run.host.Finalized(0));
  kill(run.pids[1], SIGKILL);
  WaitAll({run.pids[1]});
  run.host.Stop();
  EXPECT_TRUE(support::Survivors(support::PidsIn(run.dir)).empty());
}

// One node's side of a two-node exchange over a stream socket: this node's
// blob goes out with its length, the other's comes in, and the union is in
// node order. Each fence on a thread of its own, as the progress thread
// must not wait; reads are bounded.
class SocketExchange {
 public:
  SocketExchange(int fd, bool firstNode) : fd_(fd), first_(firstNode) {}
  ~SocketExchange() {
    for (std::thread& t : threads_) t.join();
  }
  void operator()(std::string blob, pmi::PmixCallbacks::Done done) {
    ++fences_;
    threads_.emplace_back([this, blob, done] {
      uint64_t size = blob.size();
      bool sent = write(fd_, &size, sizeof size) == sizeof size &&
                  write(fd_, blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
      std::string other;
      if (sent && Read(&size, sizeof size)) {
        other.resize(size);
        if (!Read(&other[0], size)) other.clear();
      }
      done(first_ ? blob + other : other + blob);
    });
  }
  int Fences() const { return fences_; }

 private:
  bool Read(void* into, size_t n) {
    char* p = static_cast<char*>(into);
    while (n > 0) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 60000) != 1) return false;
      ssize_t got = read(fd_, p, n);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  int fd_;
  bool first_;
  int fences_ = 0;  // on libpmix's thread only, read after Stop
  std::vector<std::thread> threads_;
};

// Runs node `node` of the job: its host, its ranks, their end; 0 when every
// rank ended with 0, and *fences the fences that crossed to the other node.
int RunNode(const pmi::PmixJob& job, int fd, const std::string& dir, int* fences) {
  Seen seen;
  SocketExchange exchange(fd, job.thisHost == job.hosts[0]);
  pmi::PmixHost host;
  std::string why;
  if (!host.Start(job, seen.Callbacks(std::ref(exchange)), &why)) return 2;
  std::vector<int> statuses = WaitAll(StartRanks(host, job, dir, "report"));
  host.Stop();
  close(fd);  // the other node's pending read ends
  *fences = exchange.Fences();
  for (int status : statuses)
    if (status != 0) return 1;
  return 0;
}

TEST(PmixHost, TwoNodesOfOneMachineFenceThroughTheCallersExchange) {
  SKIP_IF_SECOND_SERVER();
  std::string dir = testutil::MakeTempDir();
  pmi::PmixJob job = Job({"n0", "n1", "n0", "n1"}, "n0");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  fflush(stdout);
  fflush(stderr);
  pid_t other = fork();  // before this process starts any thread
  if (other == 0) {
    close(sv[0]);
    pmi::PmixJob mine = job;
    mine.thisHost = "n1";
    int fences = 0;
    _exit(RunNode(mine, sv[1], dir, &fences));
  }
  close(sv[1]);
  int fences = 0;
  EXPECT_EQ(RunNode(job, sv[0], dir, &fences), 0);
  EXPECT_EQ(support::WaitChild(other, 90000), 0);
  EXPECT_GE(fences, 1);
  for (int r = 0; r < 4; ++r)
    EXPECT_EQ(testutil::ReadFile(dir + "/" + std::to_string(r) + ".out"),
              "rank " + std::to_string(r) + " of 4 sum 6 shared 2 appnum 0 session shared\n");
  EXPECT_TRUE(support::Survivors(support::PidsIn(dir)).empty());
}

// Two fences of the same ranks in flight at once (the job's, by its
// wildcard and by every rank named; rank 1 is another node's, so both go
// through the relay) are kept apart: the loop holds both before it answers
// either, and each completes once.
TEST(PmixRelay, TwoFencesOfTheSameRanksInFlightCompleteEach) {
  SKIP_IF_SECOND_SERVER();
  std::string dir = testutil::MakeTempDir();
  const pmi::PmixJob job = Job({"n0", "n1"}, "n0");
  std::unique_ptr<pmi::PmixRelay> relay = pmi::NewPmixRelay();
  std::string why;
  ASSERT_TRUE(relay->Start(job, pmi::PmixReach{true, false}, &why)) << why;
  const std::vector<pid_t> pids = StartRanks(*relay, job, dir, "twofences");
  ASSERT_EQ(pids.size(), 1u);
  std::vector<pmi::PmixNotice> held;
  bool both = false;
  int status = -1;
  for (int i = 0; i < 2500 && status < 0; ++i) {
    pollfd fd{relay->WakeFd(), POLLIN, 0};
    poll(&fd, 1, 10);
    std::vector<pmi::PmixNotice> notices;
    relay->Take(&notices);
    for (pmi::PmixNotice& n : notices) {
      if (n.kind == pmi::PmixNotice::kFence) held.push_back(std::move(n));
    }
    both = both || held.size() >= 2;
    for (const pmi::PmixNotice& n : both ? held : std::vector<pmi::PmixNotice>()) {
      EXPECT_TRUE(n.ranks.empty());
      relay->CompleteFence(n.nspace, n.ranks, n.blob);
    }
    if (both) held.clear();
    int ws = 0;
    if (waitpid(pids[0], &ws, WNOHANG) == pids[0]) status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  if (status < 0) {
    kill(pids[0], SIGKILL);
    WaitAll(pids);
  }
  relay->Stop();
  EXPECT_TRUE(both) << "the two fences were not in flight together";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testutil::ReadFile(dir + "/0.out"), "fences SUCCESS SUCCESS\n");
  EXPECT_TRUE(support::Survivors(pids).empty());
}

}  // namespace
