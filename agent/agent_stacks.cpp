#include "agent/agent_stacks.h"

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/child_io.h"
#include "common/stack_wire.h"

#ifdef TARVO_HAVE_LIBDW
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#endif

namespace {

#ifdef TARVO_HAVE_LIBDW

// A rank that does not stop within this long is left out (a process in an
// uninterruptible sleep, or stopped by someone else).
const int kStopWaitMs = 500;
// Frames walked at most: a deeper stack (runaway recursion) is cut here,
// before StackFromMain bounds what is sent.
const int kWalkFrames = 1024;

// A process that has ended but is not reaped yet refuses a trace too.
bool Ended(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = fopen(path, "r");
  if (f == nullptr) return true;
  char line[512];
  const bool read = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  // "PID (NAME) STATE ...": the name may hold anything, ")" too.
  const char* close = read ? strrchr(line, ')') : nullptr;
  return close != nullptr && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

std::string Why(pid_t pid, int err) {
  if (err == ESRCH || Ended(pid)) return "gone";
  if (err == EPERM) return "not permitted to read it";
  return strerror(err);
}

std::string NameOf(Dwfl* dwfl, Dwarf_Addr pc) {
  Dwfl_Module* module = dwfl_addrmodule(dwfl, pc);
  char text[96];
  if (module == nullptr) {
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(pc));
    return text;
  }
  if (const char* name = dwfl_module_addrname(module, pc)) {
    int status = -1;
    char* plain = name[0] == '_' && name[1] == 'Z' ? abi::__cxa_demangle(name, nullptr, nullptr, &status) : nullptr;
    std::string out = status == 0 && plain != nullptr ? plain : name;
    free(plain);
    // The symbol's version ("memcpy@@GLIBC_2.14") says nothing of where.
    const size_t at = out.find('@');
    if (at != std::string::npos && at > 0) out.resize(at);
    return out;
  }
  Dwarf_Addr start = 0;
  const char* file = dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
  const char* slash = file != nullptr ? strrchr(file, '/') : nullptr;
  snprintf(text, sizeof text, "%s+0x%llx", slash != nullptr ? slash + 1 : (file != nullptr ? file : "?"),
           static_cast<unsigned long long>(pc - start));
  return text;
}

struct Walk {
  Dwfl* dwfl;
  std::vector<std::string> frames;  // innermost first
};

int OnFrame(Dwfl_Frame* frame, void* arg) {
  Walk* walk = static_cast<Walk*>(arg);
  Dwarf_Addr pc;
  bool activation = false;
  if (!dwfl_frame_pc(frame, &pc, &activation)) return DWARF_CB_ABORT;
  // A return address points after its call: name the call's own address.
  walk->frames.push_back(NameOf(walk->dwfl, activation ? pc : pc - 1));
  return walk->frames.size() < static_cast<size_t>(kWalkFrames) ? DWARF_CB_OK : DWARF_CB_ABORT;
}

// Waits until `pid` stops under our trace; the signal that stopped it (to be
// given back at the detach, 0 for our own interrupt), or -1 when it ended
// or does not stop. An end is left unreaped for the rank's parent.
int WaitStopped(pid_t pid) {
  for (int waited = 0; waited < kStopWaitMs; ++waited) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOHANG | WNOWAIT | __WALL) != 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (info.si_pid == pid) {
      if (info.si_code != CLD_TRAPPED && info.si_code != CLD_STOPPED) return -1;
      int status = 0;
      if (waitpid(pid, &status, __WALL) != pid || !WIFSTOPPED(status)) return -1;
      if ((status >> 16) == PTRACE_EVENT_STOP) return 0;
      return WSTOPSIG(status);
    }
    const timespec ms{0, 1000000};
    nanosleep(&ms, nullptr);
  }
  return -1;
}

RankStack Read(int rank, pid_t pid) {
  RankStack s;
  s.rank = rank;
  if (ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) {
    s.why = Why(pid, errno);
    return s;
  }
  ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr);
  const int sig = WaitStopped(pid);
  if (sig < 0) {
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    s.why = kill(pid, 0) == 0 ? "did not stop" : "gone";
    return s;
  }
  static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                           nullptr};
  Dwfl* dwfl = dwfl_begin(&callbacks);
  Walk walk{dwfl, {}};
  if (dwfl == nullptr || dwfl_linux_proc_report(dwfl, pid) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0 ||
      dwfl_linux_proc_attach(dwfl, pid, true) != 0) {
    s.why = std::string("cannot walk: ") + dwfl_errmsg(-1);
  } else {
    // An error after some frames (the outermost frame has no caller) still
    // leaves a path worth showing.
    dwfl_getthread_frames(dwfl, pid, OnFrame, &walk);
    if (walk.frames.empty()) s.why = std::string("cannot walk: ") + dwfl_errmsg(-1);
  }
  if (dwfl != nullptr) dwfl_end(dwfl);
  // The rank goes on, with the signal that it was stopped for.
  ptrace(PTRACE_DETACH, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(sig)));
  if (s.why.empty()) s.frames = StackFromMain(std::vector<std::string>(walk.frames.rbegin(), walk.frames.rend()));
  return s;
}

#endif  // TARVO_HAVE_LIBDW

}  // namespace

int StacksMain(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--stacks") != 0) return -1;
  // Gone with the process that asked: the tracees are let go with us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::vector<RankStack> stacks;
  for (int i = 2; i < argc; ++i) {
    int rank = -1;
    long pid = -1;
    char end = 0;
    if (sscanf(argv[i], "%d:%ld%c", &rank, &pid, &end) != 2 || rank < 0 || pid <= 0) {
      fprintf(stderr, "tarvo-agent --stacks: not RANK:PID: %s\n", argv[i]);
      return 2;
    }
#ifdef TARVO_HAVE_LIBDW
    stacks.push_back(Read(rank, static_cast<pid_t>(pid)));
#else
    RankStack s;
    s.rank = rank;
    s.why = "call stacks are not available in this build (no libdw)";
    stacks.push_back(s);
#endif
  }
  const std::string out = StackEncode(stacks);
  return ChildWrite(STDOUT_FILENO, out) ? 0 : 1;
}
