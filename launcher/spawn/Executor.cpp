// The executor: every process that the launcher starts, whatever mode
// planned it, starts here.
//
// A local carrier is started beside the launcher: a clone that shares the
// launcher's memory (a fork costs the page tables and a copy-on-write fault
// per page written afterwards) and that the launcher does not wait for
// until its exec, as posix_spawn's would. Where that cannot be (carrier not
// found, a rank with files or CPUs, the sanitizers, valgrind), posix_spawnp,
// and when the spawn fails, the same child is started again through fork
// and the one child body, so that every failure is seen as that child
// reports it: the exec messages and status 1 from the child, the fork
// report, and execvp's fallback to /bin/sh.
// A remote shell is always forked: it gets a parent-death signal, so that it
// (and with it the remote process) ends when the launcher is killed.
// A rank of the launcher's own host in host mode is started directly,
// without carrier (StartDirect).
#include "launcher/output/OutputRelay.h"
#include "launcher/spawn/Executor.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <spawn.h>
#include <stdint.h>
#include <linux/close_range.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "common/carrier_exec.h"
#include "common/child_io.h"
#include "common/child_sys.h"
#include "common/pmi_env.h"
#include "common/rank_place.h"
#include "common/reports.h"
#include "launcher/context/RunContext.h"
#include "launcher/run/Mpir.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/spawn/RankFiles.h"
#include "pmi/pmi1_server.h"

namespace spawn {
namespace {

// The child's whole life: ChildExecRun on the plan, the one body of every
// start. `resolved`: the file that the launcher has found for the plan's
// on the PATH, exec'd as it is; null: execvpe's search. `byDefault`: the
// run's signals to reset (BesideStarts), null for the child's own pass.
[[noreturn]] void RunChild(const ExecPlan& plan, pid_t launcher, const char* resolved = nullptr,
                           const ChildSignals* byDefault = nullptr, const BesideStarts::Own* own = nullptr) {
  ChildSetup setup;
  // A remote shell ends when the launcher's spawning thread ends, and with
  // the shell's connection the process on the remote host.
  setup.parent = plan.remote ? launcher : 0;
  setup.ownGroup = plan.ownGroup;
  setup.ownSession = plan.ownSession;
  setup.closeFds = plan.closeFds;
  setup.closeCount = plan.closeCount;
  setup.keepFd = plan.keepFd;
  setup.byDefault = byDefault;
  std::copy(plan.stdFds, plan.stdFds + 3, setup.stdFds);
  if (own != nullptr) {  // a table of its own: the descriptors where they came
    std::copy(own->fds, own->fds + 3, setup.stdFds);
    setup.keepFd = own->fds[3];
  }
  ChildExec x;
  x.place = plan.place;
  x.file = resolved != nullptr ? resolved : plan.file.c_str();
  x.argv = plan.argv.data();
  x.envp = plan.envp.empty() ? environ : plan.envp.data();
  x.said = plan.failure.c_str();
  x.saidOut = plan.errorAt.c_str();
  x.failure = "execvp";
  x.failedStatus = 1;
  ChildExecRun(setup, x);
}

// Starts the child of `plan` without copying the launcher: posix_spawnp, a
// vfork-style clone in the C library, with the plan's closes as file
// actions and the ordinary signal mask. -1 when the C library reports a
// failure of the clone or of the exec: no child is left then, and the
// caller takes the fork path, which reports the failure as it always did.
// Only a C library that reports exec failures this way is trusted with it.
pid_t SpawnWithoutCopy(const ExecPlan& plan) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 24))
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  // SIGINT and SIGQUIT by default, as ChildSetUp gives them.
  sigset_t byDefault;
  sigemptyset(&byDefault);
  sigaddset(&byDefault, SIGINT);
  sigaddset(&byDefault, SIGQUIT);
  const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                      (plan.ownSession ? POSIX_SPAWN_SETSID : plan.ownGroup ? POSIX_SPAWN_SETPGROUP : 0);
  bool ok = posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setpgroup(&attr, 0) == 0 &&
            posix_spawnattr_setsigdefault(&attr, &byDefault) == 0 && posix_spawnattr_setflags(&attr, flags) == 0;
  for (int i = 0; ok && i < plan.closeCount; ++i) {
    ok = posix_spawn_file_actions_addclose(&actions, plan.closeFds[i]) == 0;
  }
  for (int fd = 0; ok && fd < 3; ++fd) {
    if (plan.stdFds[fd] >= 0) ok = posix_spawn_file_actions_adddup2(&actions, plan.stdFds[fd], fd) == 0;
  }
  // A descriptor duplicated onto itself loses its close-on-exec.
  if (ok && plan.keepFd >= 0) ok = posix_spawn_file_actions_adddup2(&actions, plan.keepFd, plan.keepFd) == 0;
  pid_t pid = -1;
  char* const* env = plan.envp.empty() ? environ : plan.envp.data();
  ok = ok && posix_spawnp(&pid, plan.file.c_str(), &actions, &attr, plan.argv.data(), env) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return ok ? pid : -1;
#else
  (void)plan;
  return -1;
#endif
}

// The stack of a child that shares the launcher's memory: a few system
// calls, the buffer of a path and the words of a file handed to /bin/sh
// (ChildExecRun); below it a page that no one may touch, so that a child
// that overruns it ends there instead of writing the launcher's memory.
const size_t kBesideStack = 64 * 1024;
// The top of such a stack holds its Frame, with a copy of the child's argument.
const size_t kBesideArgument = 256;

// Whether this system lets a child leave a shared table of descriptors for
// one that holds only the first few (close_range with CLOSE_RANGE_UNSHARE,
// which a filter of system calls may also refuse): asked once.
bool OwnTablesWork() {
#if defined(SYS_close_range) && defined(SYS_recvmsg)
  static const bool works = syscall(SYS_close_range, ~0U, ~0U, 0) == 0;
  return works;
#else
  return false;
#endif
}

// Sends the descriptors of `own` that are there over `channel`, with a byte
// that says which they are. False when the message cannot be sent.
bool Hand(int channel, const BesideStarts::Own& own) {
  char which = 0;
  int fds[4];
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    if (own.fds[i] < 0) continue;
    which = static_cast<char>(which | (1 << i));
    fds[n++] = own.fds[i];
  }
  iovec data{&which, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)];
  memset(control, 0, sizeof control);
  msghdr m{};
  m.msg_iov = &data;
  m.msg_iovlen = 1;
  if (n > 0) {
    m.msg_control = control;
    m.msg_controllen = CMSG_SPACE(n * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(n * sizeof(int));
    memcpy(CMSG_DATA(c), fds, n * sizeof(int));
  }
  return sendmsg(channel, &m, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// One past the highest of `count` descriptors that a child closes.
int ClosesBelow(const int* fds, int count) {
  int below = 0;
  for (int i = 0; i < count; ++i) below = std::max(below, fds[i] + 1);
  return below;
}
#endif

// One message of a stack's socket as it is received, on the receiver's
// stack (a child's too: nothing allocated): the byte that says which
// descriptors came, and room for the four that may.
struct Received {
  char which = 0;
  iovec data{&which, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr m{};
  Received() {
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
  }
  Received(const Received&) = delete;
  Received& operator=(const Received&) = delete;
  /// The descriptors that came, in the order sent, in `got`; their count.
  int Fds(int (&got)[4]) const {
    const cmsghdr* c = CMSG_FIRSTHDR(&m);
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) return 0;
    const size_t count = std::min<size_t>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int), 4);
    memcpy(got, CMSG_DATA(c), count * sizeof(int));
    return static_cast<int>(count);
  }
};

// A message that no child took (its clone failed, or it ended first):
// read off `channel` and its descriptors closed.
void Drain(int channel) {
  for (int k = 0; k < 16; ++k) {
    Received r;
    if (recvmsg(channel, &r.m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) < 0) return;
    int got[4];
    const int count = r.Fds(got);
    for (int i = 0; i < count; ++i) close(got[i]);
  }
}

// A file that an exec runs without execvp's help: a program, or a script
// with its "#!" line. Any other (a script without one, which execvp hands
// to /bin/sh) takes the other way: posix_spawnp, then fork.
bool ExecsItself(const std::string& file) {
  char head[4] = {0, 0, 0, 0};
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, head, sizeof head);
  close(fd);
  return (n == 4 && memcmp(head, "\x7f" "ELF", 4) == 0) || (n >= 2 && head[0] == '#' && head[1] == '!');
}

// Where execvp finds carrier on the launcher's PATH; empty when it finds
// nothing that an exec runs itself.
std::string CarrierOnLaunchersPath() {
  char file[PATH_MAX];
  if (!CarrierOnPath("carrier", nullptr, getenv("PATH"), file, sizeof file) || !ExecsItself(file)) return std::string();
  return file;
}

// Valgrind runs a clone only as a fork's or a vfork's.
bool UnderValgrind() {
#if __has_include(<valgrind/valgrind.h>)
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A local carrier started beside the launcher: its plan and the file found
// for it, which stay as they are for the run.
struct BesideChild {
  const ExecPlan* plan;
  const char* file;
  const ChildSignals* byDefault;
};

void CarrierChild(const void* arg, const BesideStarts::Own& own) {
  const BesideChild* c = static_cast<const BesideChild*>(arg);
  RunChild(*c->plan, 0, c->file, c->byDefault, &own);
}
#endif

// The child of a direct start, between its clone and its exec. It shares
// the launcher's memory and runs beside it: system calls on prepared data
// only, nothing allocated, nothing written but its own stack. As carrier's,
// the rank ends with the launcher's spawning thread.
[[noreturn]] void RunDirect(const DirectPlan* d) { RankExecRun(d->setup, d->exec); }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void DirectChild(const void* plan, const BesideStarts::Own& own) {
  const DirectPlan* const d = *static_cast<const DirectPlan* const*>(plan);
  ChildSetup setup = d->setup;  // on the child's own stack
  std::copy(own.fds, own.fds + 3, setup.stdFds);
  setup.keepFd = own.fds[3];
  RankExecRun(setup, d->exec);
}
#endif

// Copies the launcher's standard input behind the secret to rank 0's agent.
void* FeedStdin(void* arg) {
  const int to = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ChildWrite(to, buffer, static_cast<size_t>(n));
  }
  close(to);
  return nullptr;
}

// The remote shell's standard input: the secret's line, then, for the agent
// of rank 0, the launcher's standard input (`relay`'s copy of it with
// TARVO_STDIN=all). -1 when no pipe can be had.
int SecretInput(const std::string& secret, bool withStdin, OutputRelay* relay) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const std::string line = secret + "\n";
  ChildWrite(ends[1], line.data(), line.size());  // far below a pipe's capacity
  // TARVO_STDIN=all: the agent's copy comes from the copy of tarvo's.
  if (withStdin && OutputRelay::InputWho(relay) == OutputRelay::kInputAll) {
    OutputRelay::AddInputReader(relay, ends[1], "an agent's remote shell");
    return ends[0];
  }
  pthread_t feeder;
  if (!withStdin ||
      pthread_create(&feeder, nullptr, FeedStdin, reinterpret_cast<void*>(static_cast<intptr_t>(ends[1]))) != 0) {
    close(ends[1]);
  } else {
    pthread_detach(feeder);
  }
  return ends[0];
}

}  // namespace

// The top of a child's stack: what the launcher gives it, and the one word
// that the child writes back (`received`), on its own stack.
struct BesideStarts::Frame {
  Body body;
  int channel;   // the child's end of its stack's socket
  int below;     // the child keeps the launcher's descriptors below this
  int handed;    // the launcher sent `own` over it: the clone shares the table
  int received;  // the child has taken the message
  Own own;
  alignas(16) char arg[kBesideArgument];
};

namespace {

// Where a stack's Frame is: at its top, aligned for any argument.
BesideStarts::Frame* FrameAt(char* top) {
  const uintptr_t at = (reinterpret_cast<uintptr_t>(top) - sizeof(BesideStarts::Frame)) & ~uintptr_t{63};
  return reinterpret_cast<BesideStarts::Frame*>(at);
}

// The child's side of the hand-over, in a clone that shares the launcher's
// table: a table of its own with the launcher's first descriptors (a copy
// of a few, however many the launcher holds: exec closes those with
// close-on-exec, the child's set-up those it closes); then the message,
// whose descriptors become its own: the standard ones where they arrive,
// the one the program keeps at its number. A child that cannot leave the
// shared table ends before it touches it.
void TakeOwnTable(BesideStarts::Frame* f) {
  using child_sys::Call;
  const int channel = f->channel;
  if (Call(SYS_close_range, f->below, ~0U, CLOSE_RANGE_UNSHARE) < 0) child_sys::Exit(1);
  Received r;
  if (Call(SYS_recvmsg, channel, child_sys::Arg(&r.m), MSG_CMSG_CLOEXEC) != 1) child_sys::Exit(1);
  __atomic_store_n(&f->received, 1, __ATOMIC_RELEASE);
  child_sys::Close(channel);
  const char which = r.which;
  int got[4];
  const int count = r.Fds(got);
  int next = 0;
  for (int i = 0; i < 3; ++i) {
    if ((which & (1 << i)) == 0) continue;
    if (next >= count) child_sys::Exit(1);
    f->own.fds[i] = got[next++];
  }
  if ((which & 8) != 0) {
    if (next >= count) child_sys::Exit(1);
    const int keep = f->own.fds[3];
    // A standard one that arrived where the kept one goes moves aside first.
    for (int i = 0; i < 3; ++i) {
      if (f->own.fds[i] == keep) f->own.fds[i] = static_cast<int>(child_sys::Fcntl(keep, F_DUPFD_CLOEXEC, keep + 1));
    }
    if (got[next] != keep && child_sys::Dup2(got[next], keep) < 0) child_sys::Exit(1);
  }
}

}  // namespace

int BesideStarts::Entry(void* frame) {
  Frame* const f = static_cast<Frame*>(frame);
  if (f->handed != 0) TakeOwnTable(f);
  f->body(f->arg, f->own);
  child_sys::Exit(127);
}

namespace {

// One past the highest descriptor of this process without close-on-exec:
// those a child keeps across its exec.
int InheritedBelow() {
  int below = 3;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return INT_MAX;  // unknown: the child copies the whole table
  const int own = dirfd(dir);
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const int fd = atoi(e->d_name);
    if (fd == own) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0 && fd + 1 > below) below = fd + 1;
  }
  closedir(dir);
  return below;
}

}  // namespace

BesideStarts::BesideStarts() : valgrind_(UnderValgrind()), page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {}

const ChildSignals& BesideStarts::Signals() {
  if (!signalsRead_) ChildSignalsRead(&signals_);
  signalsRead_ = true;
  return signals_;
}

const std::string& BesideStarts::Carrier() {
  if (!looked_ && !valgrind_) carrier_ = CarrierOnLaunchersPath();
  looked_ = true;
  return carrier_;
}

BesideStarts::~BesideStarts() {
  for (const std::unique_ptr<Stack>& s : stacks_) {
    munmap(s->top - kBesideStack - page_, kBesideStack + page_);
    for (int fd : s->channel) {
      if (fd >= 0) close(fd);
    }
  }
}

BesideStarts::Stack* BesideStarts::Take() {
  for (const std::unique_ptr<Stack>& s : stacks_) {
    if (__atomic_load_n(&s->word, __ATOMIC_ACQUIRE) != 0) continue;
    // Its last child ended before it took what was handed to it.
    Frame* const f = FrameAt(s->top);
    if (f->handed != 0 && __atomic_load_n(&f->received, __ATOMIC_ACQUIRE) == 0) Drain(s->channel[1]);
    f->handed = 0;
    return s.get();
  }
  void* base = mmap(nullptr, kBesideStack + page_, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (mprotect(base, page_, PROT_NONE) != 0) {
    munmap(base, kBesideStack + page_);
    return nullptr;
  }
  stacks_.emplace_back(new Stack{static_cast<char*>(base) + page_ + kBesideStack, 0, {-1, -1}});
  Stack* const s = stacks_.back().get();
  if (inherited_ < 0) inherited_ = InheritedBelow();
  if (OwnTablesWork() && inherited_ != INT_MAX && socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, s->channel) != 0) {
    s->channel[0] = s->channel[1] = -1;
  }
  return s;
}

pid_t BesideStarts::CloneOn(Body body, const void* arg, size_t size, const Own& own, bool wait) {
  // A debugger (MPIR_being_debugged) takes a child that shares the
  // launcher's memory for a fork's, and takes its breakpoints out of that
  // memory when it lets the child go: the launcher's own breakpoints with
  // them. A fork, or posix_spawn's vfork, keeps them.
  if (valgrind_ || MPIR_being_debugged != 0 || size > kBesideArgument) return -1;
  // The launcher's errno is kept across the hand-over and the clone.
  const int saved = errno;
  Stack* s = Take();
  if (s == nullptr) return -1;
  Frame* const f = FrameAt(s->top);
  f->body = body;
  f->own = own;
  f->channel = s->channel[1];
  f->below = std::max(std::max(s->channel[1] + 1, inherited_), own.closesBelow);
  f->received = 0;
  memcpy(f->arg, arg, size);
  f->handed = s->channel[0] >= 0 && Hand(s->channel[0], own);
  // Where the child's system calls write errno (child_sys.h), the launcher
  // waits for its exec.
  const bool vfork = wait || !child_sys::kChildOwnErrno;
  const int flags = CLONE_VM | (f->handed != 0 ? CLONE_FILES : 0) | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID |
                    (vfork ? CLONE_VFORK : 0) | SIGCHLD;
  const pid_t pid = clone(Entry, f, flags, f, &s->word, nullptr, &s->word);
  if (pid < 0) {
    const int failed = errno;
    if (f->handed != 0) Drain(s->channel[1]);
    f->handed = 0;
    __atomic_store_n(&s->word, 0, __ATOMIC_RELEASE);
    errno = failed;
    return pid;
  }
  errno = saved;
  return pid;
}

pid_t StartPlan(const ExecPlan& plan, const ForkReport& report) {
  fflush(stdout);  // a child's exit must not flush a copy of the buffer
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A local carrier, whose file is found: a clone that shares the
  // launcher's memory and does not hold the launcher up until its exec, as
  // posix_spawn would (with its pass over every signal's action). The
  // sanitizers' run-times keep per-thread state that such a child would
  // share: posix_spawn there.
  BesideStarts* const beside = plan.beside;
  if (beside != nullptr && !plan.remote && plan.place == nullptr && plan.file == "carrier" && !beside->Carrier().empty()) {
    const BesideStarts::Own own{{plan.stdFds[0], plan.stdFds[1], plan.stdFds[2], plan.keepFd},
                                ClosesBelow(plan.closeFds, plan.closeCount)};
    const pid_t pid =
        beside->Clone(CarrierChild, BesideChild{&plan, beside->Carrier().c_str(), &beside->Signals()}, own, false);
    if (pid > 0) {
      if (plan.ownGroup && !plan.ownSession) setpgid(pid, pid);
      return pid;
    }
  }
#endif
  if (!plan.remote && plan.place == nullptr) {  // posix_spawn cannot open a rank's files or bind it
    pid_t pid = SpawnWithoutCopy(plan);
    if (pid > 0) return pid;
  }
  const pid_t launcher = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    if (report.line == 0) return -1;  // no rank's start: nothing to report
    if (report.before != nullptr) printf("%s\n", report.before);
    ErrorMsg("fork", report.line, kErrorSource);
    fflush(stdout);
    return -1;
  }
  if (pid == 0) RunChild(plan, launcher);
  // Also here, so that the group is there before the child has run (a
  // session is the child's own doing: until then a signal goes to its pid).
  if (plan.ownGroup && !plan.ownSession) setpgid(pid, pid);
  return pid;
}


void RankEnvironment(char** env, std::vector<std::string>& pmiEnv, std::vector<char*>* envp) {
  envp->clear();
  for (char** e = env; *e != nullptr; ++e) {
    if (!pmi::IsClientVariable(*e)) envp->push_back(*e);
  }
  MergeRankEnvironment(envp, pmiEnv);
}

// carrier's argument vector without "carrier": the program words and the
// eight launcher parameters.
std::vector<std::string> CarrierWords(const ExecPlan& plan) {
  auto at = std::find(plan.vector.begin(), plan.vector.end(), std::string("carrier"));
  return std::vector<std::string>(at + 1, plan.vector.end());
}

// The launcher's environment without its PMI variables, then carrier's
// part. carrier's lookup is done here too: the child, which shares the
// launcher's memory, is one exec of a file already found. Started by tarvo
// itself, without carrier: its reports say so.
void PrepareDirect(const ExecPlan& plan, DirectPlan* d) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!pmi::IsClientVariable(*e)) env.push_back(*e);
  }
  RankExecPrepare(CarrierWords(plan), std::move(env), "tarvo", false, &d->exec);
  d->exec.Seal();
  d->plan = &plan;
}

// Starts a rank of the launcher's host. A clone that shares the launcher's
// memory, without waiting for its exec: a fork copies the page tables and
// costs the launcher a copy-on-write fault for each page it writes
// afterwards, and a vfork (or posix_spawn) stops the launcher until the
// child has exec'd; this one costs about what a fork of a small program
// does. Unlike posix_spawn it sets the parent-death signal.
pid_t StartDirect(DirectPlan& d, const ForkReport& report) {
  fflush(stdout);
  d.setup.parent = getpid();
  d.setup.ownSession = d.plan->ownSession;
  d.setup.ownGroup = true;
  d.setup.closeFds = d.plan->closeFds;
  d.setup.closeCount = d.plan->closeCount;
  if (d.beside != nullptr) d.setup.byDefault = &d.beside->Signals();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' run-times keep per-thread state that such a child
  // would share with the launcher's thread: a plain fork there.
  const pid_t pid = fork();
  if (pid == 0) RunDirect(&d);
#else
  const DirectPlan* plan = &d;
  const BesideStarts::Own own{{d.setup.stdFds[0], d.setup.stdFds[1], d.setup.stdFds[2], d.setup.keepFd},
                              ClosesBelow(d.setup.closeFds, d.setup.closeCount)};
  pid_t pid = d.beside != nullptr ? d.beside->Clone(DirectChild, plan, own, false) : -1;
  if (pid < 0) {  // no stack, or under valgrind: a plain fork
    pid = fork();
    if (pid == 0) RunDirect(&d);
  }
#endif
  if (pid < 0) {
    if (report.before != nullptr) printf("%s\n", report.before);
    ErrorMsg("fork", report.line, kErrorSource);
    fflush(stdout);
  }
  return pid;
}

pid_t StartWithSecret(ExecPlan& shell, const std::string& secret, bool withStdin, OutputRelay* relay,
                      const ForkReport& report) {
  shell.stdFds[0] = SecretInput(secret, withStdin, relay);
  const pid_t pid = StartPlan(shell, report);
  if (shell.stdFds[0] >= 0) close(shell.stdFds[0]);
  return pid;
}

}  // namespace spawn
