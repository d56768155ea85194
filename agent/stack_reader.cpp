// The module tarvo-stacks.so: the ranks' call stacks through elfutils'
// libdw, which only a run that asks for them loads (tarvo-agent --stacks,
// agent_stacks.cpp). It links libdw and nothing of ours but the stacks'
// record.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
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

// The threads of `pid` by thread id, the main thread (tid == pid) first;
// at most kStackMaxThreads, *more the ones beyond.
std::vector<pid_t> Threads(pid_t pid, int* more) {
  std::vector<pid_t> tids;
  *more = 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      const long tid = atol(e->d_name);
      if (tid > 0 && tid != pid) tids.push_back(static_cast<pid_t>(tid));
    }
    closedir(d);
  }
  std::sort(tids.begin(), tids.end());
  tids.insert(tids.begin(), pid);
  if (tids.size() > static_cast<size_t>(kStackMaxThreads)) {
    *more = static_cast<int>(tids.size()) - kStackMaxThreads;
    tids.resize(static_cast<size_t>(kStackMaxThreads));
  }
  return tids;
}

// One thread of a rank under our trace.
struct Thread {
  pid_t tid = 0;
  int index = 0;  // its place among the rank's threads: 0 the main one
  bool pending = false, stopped = false;
  int stopSignal = 0;
  RankStack stack;
};

struct Rank {
  pid_t pid;
  std::vector<Thread> threads;
  size_t pending = 0;
  int more = 0;     // threads beyond kStackMaxThreads
  std::string why;  // the main thread could not be traced
};

// Each rank's libdw session, made at its first walk and kept for the
// second sample: reading the process's maps and its modules' symbol tables
// is most of a walk's cost. Its attach assumes the threads stopped by us,
// and lets go of nothing itself, so it outlasts our detach and seize.
struct Session {
  Dwfl* dwfl = nullptr;
  std::string why;  // it could not be made
};
std::unordered_map<pid_t, Session>& Sessions() {
  static std::unordered_map<pid_t, Session> sessions;
  return sessions;
}

// Every stopped thread of a rank, walked in one attach of libdw.
void WalkRank(Rank* r) {
  static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                           nullptr};
  auto known = Sessions().find(r->pid);
  if (known == Sessions().end()) {
    Session made;
    made.dwfl = dwfl_begin(&callbacks);
    if (made.dwfl == nullptr || dwfl_linux_proc_report(made.dwfl, r->pid) != 0 ||
        dwfl_report_end(made.dwfl, nullptr, nullptr) != 0 || dwfl_linux_proc_attach(made.dwfl, r->pid, true) != 0) {
      made.why = std::string("cannot walk: ") + dwfl_errmsg(-1);
    }
    known = Sessions().emplace(r->pid, made).first;
  }
  Dwfl* const dwfl = known->second.dwfl;
  const std::string why = known->second.why;
  for (Thread& t : r->threads) {
    if (!t.stopped) continue;
    if (!why.empty()) {
      t.stack.why = why;
      continue;
    }
    Walk walk{dwfl, {}};
    // An error after some frames (the outermost frame has no caller) still
    // leaves a path worth showing.
    dwfl_getthread_frames(dwfl, t.tid, OnFrame, &walk);
    if (walk.frames.empty()) {
      t.stack.why = std::string("cannot walk: ") + dwfl_errmsg(-1);
    } else {
      // Outermost first; the agent keeps what lies from main (or the
      // thread's start routine) outward.
      t.stack.frames.assign(walk.frames.rbegin(), walk.frames.rend());
    }
  }
}

// Every thread of every rank is asked to stop at once, each rank is walked
// as soon as all its threads have stopped, and all are let go at the end:
// on a machine with more busy ranks than processors a rank takes up to a
// round of the scheduler to stop, which one rank after another would pay
// 64 times, and the walks, with the ranks held, no longer share the
// processors with them (64 polling MPICH ranks on two cores: 6 s one by
// one, 2 s letting each go after its walk). This process is the tracer, not
// the ranks' parent: reaping a rank that ends meanwhile leaves its end to
// its parent. Threads that start meanwhile are not read.
std::vector<Rank> Sample(const std::vector<std::pair<int, pid_t>>& ranks) {
  std::vector<Rank> all(ranks.size());
  std::unordered_map<pid_t, std::pair<size_t, size_t>> byTid;  // tid -> (rank, thread)
  size_t left = 0;
  for (size_t i = 0; i < ranks.size(); ++i) {
    Rank& r = all[i];
    r.pid = ranks[i].second;
    for (pid_t tid : Threads(r.pid, &r.more)) {
      if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) {
        // The main thread says why the rank is not read; another that
        // cannot be seized has ended meanwhile.
        if (tid == r.pid) {
          r.why = Why(r.pid, errno);
          break;
        }
        continue;
      }
      ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
      Thread t;
      t.tid = tid;
      t.index = static_cast<int>(r.threads.size());
      t.pending = true;
      t.stack.rank = ranks[i].first;
      t.stack.thread = t.index;
      byTid[tid] = {i, r.threads.size()};
      r.threads.push_back(t);
      ++r.pending;
      ++left;
    }
  }
  for (int waited = 0; left > 0 && waited < kStopWaitMs;) {
    int status = 0;
    const pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
    if (tid < 0 && errno == EINTR) continue;
    if (tid <= 0) {
      if (tid < 0) break;  // no tracee left
      const timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
      ++waited;
      continue;
    }
    auto at = byTid.find(tid);
    if (at == byTid.end()) continue;
    Rank& r = all[at->second.first];
    Thread& t = r.threads[at->second.second];
    if (!t.pending) continue;
    if (!WIFSTOPPED(status)) {
      t.stack.why = "gone";
    } else {
      // Let go with the signal that it was stopped for (none for our own
      // interrupt), once every rank is read.
      t.stopSignal = (status >> 16) == PTRACE_EVENT_STOP ? 0 : WSTOPSIG(status);
      t.stopped = true;
    }
    t.pending = false;
    --left;
    if (--r.pending == 0) WalkRank(&r);
  }
  for (Rank& r : all) {
    for (Thread& t : r.threads) {
      if (t.stopped) {
        ptrace(PTRACE_DETACH, t.tid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(t.stopSignal)));
      } else if (t.pending) {
        // Let go when it stops; our end lets go of it at the latest.
        ptrace(PTRACE_DETACH, t.tid, nullptr, nullptr);
        t.stack.why = kill(r.pid, 0) == 0 ? "did not stop" : "gone";
      }
    }
  }
  return all;
}

// What is sent of a sample: each rank's threads, or why none was read.
std::vector<RankStack> Stacks(const std::vector<std::pair<int, pid_t>>& ranks, const std::vector<Rank>& all) {
  std::vector<RankStack> out;
  for (size_t i = 0; i < all.size(); ++i) {
    const Rank& r = all[i];
    if (!r.why.empty() || r.threads.empty()) {
      RankStack s;
      s.rank = ranks[i].first;
      s.why = r.why.empty() ? "gone" : r.why;
      out.push_back(s);
      continue;
    }
    for (const Thread& t : r.threads) {
      // A thread other than the main one that ended meanwhile is no news.
      if (t.index > 0 && t.stack.why == "gone") continue;
      out.push_back(t.stack);
    }
    if (r.more > 0) {
      RankStack s;
      s.rank = ranks[i].first;
      s.thread = kStackMaxThreads;
      s.why = "threads beyond " + std::to_string(kStackMaxThreads);
      out.push_back(s);
    }
  }
  return out;
}

}  // namespace

// `samples` 2: the ranks are read again kStackSampleGapMs after the first
// sample began, and each thread of the first whose path differs in the
// second (by thread id; one that came or went too) is marked as moved.
extern "C" void tarvo_stacks_read(const std::vector<std::pair<int, pid_t>>* ranks, int samples,
                                  std::vector<RankStack>* out) {
  timespec began;
  clock_gettime(CLOCK_MONOTONIC, &began);
  std::vector<Rank> first = Sample(*ranks);
  if (samples >= 2) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long spent = (now.tv_sec - began.tv_sec) * 1000LL + (now.tv_nsec - began.tv_nsec) / 1000000;
    if (spent < kStackSampleGapMs) {
      const long long rest = kStackSampleGapMs - spent;
      const timespec gap{static_cast<time_t>(rest / 1000), static_cast<long>(rest % 1000) * 1000000L};
      nanosleep(&gap, nullptr);
    }
    const std::vector<Rank> second = Sample(*ranks);
    for (size_t i = 0; i < first.size(); ++i) {
      bool moved = false;
      std::vector<pid_t> before, after;
      for (const Thread& t : first[i].threads) {
        if (t.stopped) before.push_back(t.tid);
      }
      for (const Thread& t : second[i].threads) {
        if (t.stopped) after.push_back(t.tid);
      }
      moved = second[i].why.empty() && before != after;
      for (const Thread& t : first[i].threads) {
        for (const Thread& u : second[i].threads) {
          if (t.stopped && u.stopped && t.tid == u.tid && t.stack.frames != u.stack.frames) moved = true;
        }
      }
      // A rank moved as a whole: each of its threads says so.
      for (Thread& t : first[i].threads) t.stack.moved = moved;
    }
  }
  *out = Stacks(*ranks, first);
  for (auto& s : Sessions()) {
    if (s.second.dwfl != nullptr) dwfl_end(s.second.dwfl);
  }
  Sessions().clear();
}
