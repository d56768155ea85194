// The module tarvo-stacks.so: the ranks' call stacks through elfutils'
// libdw, which only a run that asks for them loads (tarvo-agent --stacks,
// agent_stacks.cpp). It links libdw and nothing of ours but the stacks'
// record.
#include <errno.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/stack_wire.h"

namespace {

// Ranks that have not stopped within this long are left out (a process in
// an uninterruptible sleep); below the agent's and tarvo's bounds.
const int kStopWaitMs = 3000;
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
  // No symbol (a library without its symbol table): the start of the
  // function that holds pc, from the call frame information, so that ranks
  // anywhere in one function share a line; pc itself when there is none.
  Dwarf_Addr at = pc, bias = 0;
  Dwarf_CFI* cfi = dwfl_module_eh_cfi(module, &bias);
  Dwarf_Frame* frame = nullptr;
  if (cfi != nullptr && dwarf_cfi_addrframe(cfi, pc - bias, &frame) == 0) {
    Dwarf_Addr low = 0, high = 0;
    bool signal = false;
    if (dwarf_frame_info(frame, &low, &high, &signal) >= 0 && low + bias <= pc) at = low + bias;
    free(frame);
  }
  Dwarf_Addr start = 0;
  const char* file = dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
  const char* slash = file != nullptr ? strrchr(file, '/') : nullptr;
  snprintf(text, sizeof text, "%s+0x%llx", slash != nullptr ? slash + 1 : (file != nullptr ? file : "?"),
           static_cast<unsigned long long>(at - start));
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

// The main thread's path of a rank that is stopped under our trace.
void Walk1(pid_t pid, RankStack* s) {
  static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                           nullptr};
  Dwfl* dwfl = dwfl_begin(&callbacks);
  Walk walk{dwfl, {}};
  if (dwfl == nullptr || dwfl_linux_proc_report(dwfl, pid) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0 ||
      dwfl_linux_proc_attach(dwfl, pid, true) != 0) {
    s->why = std::string("cannot walk: ") + dwfl_errmsg(-1);
  } else {
    // An error after some frames (the outermost frame has no caller) still
    // leaves a path worth showing.
    dwfl_getthread_frames(dwfl, pid, OnFrame, &walk);
    if (walk.frames.empty()) s->why = std::string("cannot walk: ") + dwfl_errmsg(-1);
  }
  if (dwfl != nullptr) dwfl_end(dwfl);
  // Outermost first; the agent keeps what lies from main outward.
  if (s->why.empty()) s->frames.assign(walk.frames.rbegin(), walk.frames.rend());
}

// Every rank is asked to stop at once, each is walked as soon as it has
// stopped, and all are let go at the end: on a machine with more busy ranks
// than processors a rank takes up to a round of the scheduler to stop,
// which one rank after another would pay 64 times, and the walks, with the
// ranks held, no longer share the processors with them (64 polling MPICH
// ranks on two cores: 6 s one by one, 2 s letting each go after its walk).
// This process is the tracer, not the ranks' parent: reaping a rank that
// ends meanwhile leaves its end to its parent.
std::vector<RankStack> ReadAll(const std::vector<std::pair<int, pid_t>>& ranks) {
  std::vector<RankStack> stacks(ranks.size());
  std::vector<char> pending(ranks.size(), 0), stopped(ranks.size(), 0);
  std::vector<int> stopSignal(ranks.size(), 0);
  size_t left = 0;
  for (size_t i = 0; i < ranks.size(); ++i) {
    stacks[i].rank = ranks[i].first;
    const pid_t pid = ranks[i].second;
    if (ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) {
      stacks[i].why = Why(pid, errno);
      continue;
    }
    ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr);
    pending[i] = 1;
    ++left;
  }
  for (int waited = 0; left > 0 && waited < kStopWaitMs;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, __WALL | WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) {
      if (pid < 0) break;  // no tracee left
      const timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
      ++waited;
      continue;
    }
    size_t i = 0;
    while (i < ranks.size() && !(pending[i] && ranks[i].second == pid)) ++i;
    if (i == ranks.size()) continue;
    if (!WIFSTOPPED(status)) {
      stacks[i].why = "gone";
    } else {
      Walk1(pid, &stacks[i]);
      // Let go with the signal that it was stopped for (none for our own
      // interrupt), once every rank is read.
      stopSignal[i] = (status >> 16) == PTRACE_EVENT_STOP ? 0 : WSTOPSIG(status);
      stopped[i] = 1;
    }
    pending[i] = 0;
    --left;
  }
  for (size_t i = 0; i < ranks.size(); ++i) {
    if (stopped[i]) {
      ptrace(PTRACE_DETACH, ranks[i].second, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(stopSignal[i])));
    } else if (pending[i]) {
      // Let go when it stops; our end lets go of it at the latest.
      ptrace(PTRACE_DETACH, ranks[i].second, nullptr, nullptr);
      stacks[i].why = kill(ranks[i].second, 0) == 0 ? "did not stop" : "gone";
    }
  }
  return stacks;
}

}  // namespace

extern "C" void tarvo_stacks_read(const std::vector<std::pair<int, pid_t>>* ranks, std::vector<RankStack>* out) {
  *out = ReadAll(*ranks);
}
