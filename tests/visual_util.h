// Helpers of the monitor bridge tests: a private working directory whose
// queue key no other test shares (and whose queue is removed whatever
// happens), bounded waits for children, and a forked child whose output is
// collected.
#ifndef TARVO_TESTS_VISUAL_UTIL_H
#define TARVO_TESTS_VISUAL_UTIL_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/run_util.h"
#include "tests/support/wait.h"

namespace visualtest {

/// The queue key that ftok(".", 115) gives in this directory.
inline key_t QueueKey(const std::string& dir) { return ftok(dir.c_str(), 115); }

/// Identifier of the queue under `key`, or -1 when there is none.
inline int ExistingQueue(key_t key) { return msgget(key, 0); }

/// Each test gets a private working directory; its queue, if any, is removed
/// at the end.
class PrivateQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // ftok keeps only part of the inode: a directory whose key already has a
    // queue (another test's, or one left by a crash) is traded for another.
    for (int attempt = 0; attempt < 20; ++attempt) {
      std::string dir = testutil::MakeTempDir();
      ASSERT_FALSE(dir.empty());
      key_t key = QueueKey(dir);
      if (key != -1 && ExistingQueue(key) < 0) {
        dir_ = dir;
        key_ = key;
        return;
      }
      rmdir(dir.c_str());
    }
    FAIL() << "no directory with an unused queue key";
  }
  void TearDown() override {
    if (dir_.empty()) return;
    RemoveQueue();
    std::string cleanup = "rm -rf " + dir_;
    if (system(cleanup.c_str()) != 0) {
    }
  }
  void RemoveQueue() {
    int id = ExistingQueue(key_);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
  }
  /// Waits at most `seconds` until the queue under the key exists (true) or
  /// is gone (false); true when that state was reached.
  bool WaitForQueue(bool present, int seconds) {
    return support::WaitUntil(seconds * 1000, [&] { return (ExistingQueue(key_) >= 0) == present; });
  }

  std::string dir_;
  key_t key_ = -1;
};

struct ChildResult {
  int status = -1;
  std::string out, err;
};

/// Runs `body` in a forked child with standard output and error going to
/// files (in `dir`), bounded by `seconds`. The child ends with 0 when `body`
/// returns.
inline ChildResult RunInChild(const std::string& dir, const std::function<void()>& body, int seconds) {
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
  r.status = support::WaitChild(pid, seconds * 1000);
  r.out = testutil::ReadFile(outPath);
  r.err = testutil::ReadFile(errPath);
  return r;
}

}  // namespace visualtest

#endif  // TARVO_TESTS_VISUAL_UTIL_H
