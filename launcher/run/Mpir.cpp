// The MPIR symbols and their table. The run control sets them from its one
// thread; a debugger reads them while tarvo is stopped. The strings and the
// table stay where they are until the next run's table, so that a debugger
// that reads the table at any time of the run reads it whole.
#include "launcher/run/Mpir.h"

#include <limits.h>
#include <stdlib.h>

#include <memory>
#include <vector>

extern "C" {
MPIR_PROCDESC* MPIR_proctable = nullptr;
int MPIR_proctable_size = 0;
volatile int MPIR_debug_state = MPIR_NULL;
char* MPIR_debug_abort_string = nullptr;
volatile int MPIR_being_debugged = 0;
int MPIR_i_am_starter = 1;
int MPIR_partial_attach_ok = 1;

// A debugger's breakpoint goes on this function's first instruction: it
// must be a call that stays, not code folded into its callers.
#if defined(__clang__)
__attribute__((noinline, used))
#else
__attribute__((noinline, noipa, used))
#endif
void* MPIR_Breakpoint(void) {
  __asm__ __volatile__("" ::: "memory");
  return nullptr;
}
}

namespace {

struct Table {
  std::vector<MPIR_PROCDESC> entries;
  std::vector<std::string> texts;  // each entry's host, then its program
  std::vector<char> set;
  // The last program's file: the ranks of a run mostly share one program,
  // and realpath asks the kernel once for each part of its path.
  std::string program, real;
  size_t left = 0;
  bool spawned = false;
  bool aborting = false;
  std::string abortText;
};

Table& TheTable() {
  static Table table;
  return table;
}

}  // namespace

void MpirBegin(int size) {
  Table& t = TheTable();
  MPIR_debug_state = MPIR_NULL;
  MPIR_proctable = nullptr;
  MPIR_proctable_size = 0;
  MPIR_debug_abort_string = nullptr;
  t = Table();
  const size_t n = size > 0 ? static_cast<size_t>(size) : 0;
  t.entries.assign(n, MPIR_PROCDESC{nullptr, nullptr, 0});
  t.texts.assign(2 * n, std::string());
  t.set.assign(n, 0);
  t.left = n;
}

void MpirSet(int rank, const std::string& host, const std::string& program, pid_t pid) {
  Table& t = TheTable();
  if (rank < 0 || static_cast<size_t>(rank) >= t.entries.size() || t.spawned) return;
  const size_t r = static_cast<size_t>(rank);
  t.texts[2 * r] = host;
  // The file itself, as /proc names a process's program, where this host
  // can tell; a remote host's path as the run names it.
  if (program != t.program || t.real.empty()) {
    char real[PATH_MAX];
    t.program = program;
    t.real = realpath(program.c_str(), real) != nullptr ? std::string(real) : program;
  }
  t.texts[2 * r + 1] = t.real;
  t.entries[r].host_name = &t.texts[2 * r][0];
  t.entries[r].executable_name = &t.texts[2 * r + 1][0];
  t.entries[r].pid = static_cast<int>(pid);
  if (!t.set[r]) --t.left;
  t.set[r] = 1;
}

bool MpirFull() {
  const Table& t = TheTable();
  return t.left == 0 && !t.entries.empty();
}

void MpirSpawned() {
  Table& t = TheTable();
  if (t.spawned || !MpirFull()) return;
  t.spawned = true;
  MPIR_proctable = t.entries.data();
  MPIR_proctable_size = static_cast<int>(t.entries.size());
  MPIR_debug_state = MPIR_DEBUG_SPAWNED;
  // A debugger that started tarvo (MPIR_being_debugged) stops here, attaches
  // to the processes, and lets tarvo go on.
  MPIR_Breakpoint();
}

void MpirAborting(const std::string& why) {
  Table& t = TheTable();
  if (t.aborting) return;
  t.aborting = true;
  t.abortText = why;
  MPIR_debug_abort_string = &t.abortText[0];
  MPIR_debug_state = MPIR_DEBUG_ABORTING;
  MPIR_Breakpoint();
}
