// Runs a piece of the test in a forked child, for code that ends the
// process (a service thread's exit, a start-up failure), and collects what
// it wrote.
#ifndef TARVO_TESTS_SUPPORT_CHILD_H
#define TARVO_TESTS_SUPPORT_CHILD_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "tests/run_util.h"
#include "tests/support/wait.h"

namespace support {

struct ChildResult {
  int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
  std::string out, err;
};

/// Runs `body` in a forked child whose standard output and error go to
/// `dir`/child.out and child.err (which stay there), bounded by `boundMs`.
/// The child ends with 0 when `body` returns.
inline ChildResult RunInChild(const std::string& dir, const std::function<void()>& body, int boundMs = 30000) {
  std::string outPath = dir + "/child.out", errPath = dir + "/child.err";
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(96);
    dup2(out, 1);
    dup2(err, 2);
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
  }
  ChildResult r;
  if (pid < 0) return r;
  r.status = WaitChild(pid, boundMs);
  r.out = testutil::ReadFile(outPath);
  r.err = testutil::ReadFile(errPath);
  return r;
}

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_CHILD_H
