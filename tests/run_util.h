// Runs a shell command for end-to-end tests and collects what it printed.
#ifndef TARVO_TESTS_RUN_UTIL_H
#define TARVO_TESTS_RUN_UTIL_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace testutil {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

/// Writes `text` as a program (mode 0755); false when it cannot.
inline bool WriteScript(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  return chmod(path.c_str(), 0755) == 0;
}

/// The directories that MakeTempDir made in this test program, removed with
/// all they hold when it ends, whether its tests passed or failed; a forked
/// child that exits removes nothing of its parent's.
class MadeDirs {
 public:
  // Tests call it from threads of their own too.
  void Add(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    dirs_.push_back(dir);
  }
  ~MadeDirs() {
    if (getpid() != owner_) return;
    for (const std::string& dir : dirs_) {
      nftw(dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { remove(path); return 0; }, 16,
           FTW_DEPTH | FTW_PHYS);
    }
  }

 private:
  pid_t owner_ = getpid();
  std::mutex mutex_;
  std::vector<std::string> dirs_;
};

inline MadeDirs& TheMadeDirs() {
  static MadeDirs dirs;
  return dirs;
}

/// A fresh private directory under the system's temporary directory
/// ($TMPDIR, else /tmp), removed when the test program ends.
inline std::string MakeTempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarvo-test-XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) return std::string();
  TheMadeDirs().Add(templ);
  return templ;
}

/// Runs `command` through /bin/sh with no standard input, bounded by
/// `seconds` (the command is killed after that), and returns its status and
/// output.
inline RunResult Run(const std::string& command, int seconds = 60) {
  std::string dir = MakeTempDir();
  std::string out = dir + "/out", err = dir + "/err";
  std::string full = "timeout -k 5 " + std::to_string(seconds) + " sh -c '" + command + "' </dev/null >" +
                     out + " 2>" + err;
  int raw = system(full.c_str());
  RunResult r;
  if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  else if (WIFSIGNALED(raw)) r.status = 128 + WTERMSIG(raw);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  std::string cleanup = "rm -rf " + dir;
  if (system(cleanup.c_str()) != 0) {
  }
  return r;
}

// The lines of a text sorted, each with its newline: what ranks print, in
// an order that does not depend on their timing.
inline std::string SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const std::string& l : lines) sorted += l + "\n";
  return sorted;
}

// What is wrong with the output of report_rank's `ranks` x `lines` lines
// (tests/procs): a line missing, twice or broken, a stray line, output not
// ending in a line end; empty when every line is there whole, once.
inline std::string ReportFaults(const std::string& out, int ranks, int lines) {
  std::string want;
  for (int r = 0; r < ranks; ++r) {
    for (int i = 0; i < lines; ++i) {
      want += "report " + std::to_string(r) + " line " + std::to_string(i) +
              " ..........................................\n";
    }
  }
  want = SortedLines(want);
  const std::string got = SortedLines(out);
  if (!out.empty() && out.back() != '\n') return "the output ends inside a line";
  if (got == want) return "";
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  const size_t from = got.rfind('\n', at) == std::string::npos ? 0 : got.rfind('\n', at) + 1;
  return std::to_string(std::count(out.begin(), out.end(), '\n')) + " lines of " +
         std::to_string(ranks * lines) + "; the first that differs: " + got.substr(from, 80);
}

inline std::string Tarvo() { return std::string(TARVO_BIN_DIR) + "/tarvo"; }

}  // namespace testutil

#endif  // TARVO_TESTS_RUN_UTIL_H
