// The starts beside the launcher (BesideStarts, StartPlan, StartDirect, and
// in their children ChildSetUp and RankExecRun): children that share the
// launcher's memory until their exec, while the launcher's thread runs on.
// What a child does there must never reach the launcher: a handler of the
// launcher's run in the child, or the child's errno written into the
// thread that reads the run's connections.
#include "launcher/spawn/Executor.h"
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using spawn::BesideStarts;
using spawn::DirectPlan;
using spawn::ExecPlan;

const spawn::ForkReport kReport = {nullptr, 1};

// A rank that execs `file` in `workdir`, started directly.
void PlanDirect(DirectPlan* d, const ExecPlan* plan, BesideStarts* beside, const std::string& file,
                const std::string& workdir, int err) {
  *d = DirectPlan();
  d->exec.args = {file};
  d->exec.env = {"PATH=/usr/bin:/bin"};
  d->exec.workdir = workdir;
  d->exec.file = file;
  d->exec.failure = "tarvo: " + file;
  d->exec.noWorkdir = "tarvo: " + workdir;
  d->exec.Seal();
  d->plan = plan;
  d->beside = beside;
  d->setup.stdFds[2] = err;
}

// Waits for `pid` to end without reaping it (its pid stays its own).
void AwaitEnd(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

int Reap(pid_t pid) {
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Set in the launcher's handler when it runs in another process; shared, so
// that a forked child's run is seen too.
volatile sig_atomic_t* g_ranElsewhere = nullptr;
pid_t g_launcher = 0;
void LaunchersHandler(int) {
  if (getpid() != g_launcher) *g_ranElsewhere = 1;
}

// A directory whose "carrier" is /bin/true, first on the PATH while it
// lives, so that StartPlan starts a local carrier beside the launcher.
class CarrierOnPath {
 public:
  CarrierOnPath() {
    char dir[] = "/tmp/tarvo-start-XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? dir : "";
    link_ = dir_ + "/carrier";
    if (symlink("/bin/true", link_.c_str()) != 0) link_.clear();
    const char* path = getenv("PATH");
    path_ = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (dir_ + ":" + path_).c_str(), 1);
  }
  ~CarrierOnPath() {
    setenv("PATH", path_.c_str(), 1);
    if (!link_.empty()) unlink(link_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  bool ok() const { return !link_.empty(); }

 private:
  std::string dir_, link_, path_;
};

TEST(StartPath, SignalsPassedOnDuringAThousandStartsNeverRunTheLaunchersHandlers) {
  void* shared = mmap(nullptr, sizeof(sig_atomic_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  g_ranElsewhere = static_cast<volatile sig_atomic_t*>(shared);
  g_launcher = getpid();
  // The launcher's way: handlers of its own (or of its libraries) and every
  // such signal blocked, taken through a descriptor.
  struct sigaction handler = {};
  handler.sa_handler = LaunchersHandler;
  struct sigaction old[2];
  const int signals[2] = {SIGUSR1, SIGTERM};
  sigset_t blocked, before;
  sigemptyset(&blocked);
  for (int k = 0; k < 2; ++k) {
    sigaction(signals[k], &handler, &old[k]);
    sigaddset(&blocked, signals[k]);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  {
    CarrierOnPath carrier;
    ASSERT_TRUE(carrier.ok());
    BesideStarts beside;
    ExecPlan plan;
    plan.vector = {"carrier"};
    plan.SealArgv();
    plan.file = "carrier";
    plan.ownGroup = true;
    plan.beside = &beside;
    plan.stdFds[2] = quiet;
    DirectPlan direct;
    PlanDirect(&direct, &plan, &beside, "/bin/true", "/", quiet);
    std::mutex mutex;
    pid_t live = 0;  // signalled only until it has ended: its pid stays its own until reaped
    std::atomic<bool> done(false);
    int sent = 0;
    std::thread storm([&] {
      while (!done.load()) {
        std::lock_guard<std::mutex> hold(mutex);
        if (live > 0) SignalGroup(live, signals[++sent & 1]);
      }
    });
    int unexpected = 0;
    for (int i = 0; i < 1000; ++i) {
      const pid_t pid = (i & 1) != 0 ? spawn::StartPlan(plan, kReport) : spawn::StartDirect(direct, kReport);
      ASSERT_GT(pid, 0);
      {
        std::lock_guard<std::mutex> hold(mutex);
        live = pid;
        SignalGroup(pid, SIGUSR1);  // at once: pending until the child unblocks its signals
      }
      AwaitEnd(pid);
      {
        std::lock_guard<std::mutex> hold(mutex);
        live = 0;
      }
      const int status = Reap(pid);
      const bool expected = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                            (WIFSIGNALED(status) && (WTERMSIG(status) == SIGUSR1 || WTERMSIG(status) == SIGTERM));
      if (!expected) ++unexpected;
    }
    done = true;
    storm.join();
    EXPECT_GT(sent, 0);
    EXPECT_EQ(unexpected, 0) << "children that ended otherwise than by the default action or exit 0";
  }
  EXPECT_EQ(*g_ranElsewhere, 0) << "a handler of the launcher ran in a child";
  close(quiet);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  for (int k = 0; k < 2; ++k) sigaction(signals[k], &old[k], nullptr);
  munmap(shared, sizeof(sig_atomic_t));
}

TEST(StartPath, ExecsThatFailLeaveTheRunLoopsErrnoAndConnectionsAlone) {
  // A connection of the run loop on loopback, read as AgentHub and the PMI
  // server read theirs: anything but EAGAIN is a connection closed.
  int port = 0;
  const int listener = support::LoopbackTcpListener(&port);
  ASSERT_GE(listener, 0);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(static_cast<uint16_t>(port));
  const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  ASSERT_GE(conn, 0);

  char reports[] = "/tmp/tarvo-start-reports-XXXXXX";
  const int err = mkstemp(reports);
  ASSERT_GE(err, 0);
  unlink(reports);  // read back through `err`
  // A program that is not there, one that no PATH directory has (a search,
  // one failed exec a directory), and a working directory that is not there.
  struct Failure {
    const char* file;
    const char* workdir;
    const char* said;
  };
  const Failure failures[] = {
      {"/nonexistent/tarvo-program", "/", "tarvo: /nonexistent/tarvo-program: No such file or directory"},
      {"tarvo-no-such-program", "/", "tarvo: tarvo-no-such-program: No such file or directory"},
      {"/bin/true", "/nonexistent-tarvo-dir", "tarvo: /nonexistent-tarvo-dir: No such file or directory"},
  };
  const int starts = 300;
  BesideStarts beside;
  ExecPlan plan;
  DirectPlan d;
  int taken = 0, statusOtherThan127 = 0;
  std::string expected;
  for (int i = 0; i < starts && taken == 0; ++i) {
    const Failure& f = failures[i % 3];
    expected += std::string(f.said) + "\n";
    PlanDirect(&d, &plan, &beside, f.file, f.workdir, err);
    const pid_t pid = spawn::StartDirect(d, kReport);
    ASSERT_GT(pid, 0);
    siginfo_t info;
    do {
      char c;
      if (recv(conn, &c, 1, MSG_DONTWAIT) >= 0) ++taken;  // nothing was sent: a read of 0 is a close
      // The run loop's time between a recv and its errno test, drawn out.
      for (int k = 0; k < 1000 && taken == 0; ++k) {
        if (*static_cast<volatile int*>(&errno) != EAGAIN) ++taken;
      }
      info.si_pid = 0;
    } while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0);
    const int status = Reap(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 127) ++statusOtherThan127;
  }
  EXPECT_EQ(taken, 0) << "the run loop took its live connection for closed: a child's errno reached it";
  EXPECT_EQ(statusOtherThan127, 0);
  // The connection lives, and each child said its own reason.
  ASSERT_EQ(send(peer, "x", 1, 0), 1);
  char c = 0;
  for (int k = 0; k < 1000 && recv(conn, &c, 1, MSG_DONTWAIT) != 1; ++k) usleep(1000);
  EXPECT_EQ(c, 'x');
  std::string said;
  char buffer[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(err, buffer, sizeof buffer, at)) > 0; at += n) said.append(buffer, static_cast<size_t>(n));
  EXPECT_EQ(said, expected);
  close(err);
  close(conn);
  close(peer);
  close(listener);
}

// The descriptors of this process that a child keeps across its exec.
std::set<int> KeptAcrossExec() {
  std::set<int> kept;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return kept;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9' || atoi(e->d_name) == dirfd(dir)) continue;
    const int fd = atoi(e->d_name);
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) kept.insert(fd);
  }
  closedir(dir);
  return kept;
}

// A child beside a launcher that holds many descriptors takes only its own
// (its standard ones where the plan puts them, the one it keeps at its
// number) and what it would keep across its exec anyway, start after start
// on the same stack.
TEST(StartPath, AChildHoldsItsOwnDescriptorsHoweverManyTheLauncherHolds) {
  const int inherited = open("/dev/null", O_RDONLY);  // without close-on-exec: the child keeps it
  ASSERT_GE(inherited, 0);
  std::vector<int> held;
  for (int k = 0; k < 300; ++k) held.push_back(fcntl(inherited, F_DUPFD_CLOEXEC, 0));
  BesideStarts beside;
  ExecPlan plan;
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE("start " + std::to_string(start));
    int out[2], pair[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int keep = fcntl(pair[1], F_DUPFD_CLOEXEC, 700);  // far above what the child's table copies
    close(pair[1]);
    DirectPlan d;
    PlanDirect(&d, &plan, &beside, "/bin/bash", "/", -1);
    d.exec.args = {"/bin/bash", "-c", "printf k >&" + std::to_string(keep) + "; cd /proc/self/fd && echo *"};
    d.exec.Seal();
    d.setup.stdFds[1] = out[1];
    d.setup.keepFd = keep;
    std::set<int> want = KeptAcrossExec();
    want.insert({0, 1, 2, keep});
    const pid_t pid = spawn::StartDirect(d, kReport);
    ASSERT_GT(pid, 0);
    close(out[1]);
    close(keep);
    std::string listed;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) listed.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(Reap(pid), 0);
    // What the child lists, less the one through which it reads the list.
    std::set<int> has;
    std::istringstream words(listed);
    for (int fd; words >> fd;) has.insert(fd);
    int reader = -1;
    for (int fd : has) {
      if (want.count(fd) == 0) reader = fd;
    }
    has.erase(reader);
    EXPECT_EQ(has, want) << listed;
    char c = 0;
    EXPECT_EQ(read(pair[0], &c, 1), 1);
    EXPECT_EQ(c, 'k') << "the kept descriptor is the plan's, at its number";
    close(out[0]);
    close(pair[0]);
  }
  for (int fd : held) close(fd);
  close(inherited);
}

}  // namespace
