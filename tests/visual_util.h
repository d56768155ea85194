// Helpers of the monitor bridge tests: a private working directory whose
// queue key no other test shares (and whose queue is removed whatever
// happens).
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
#include "tests/support/child.h"
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

}  // namespace visualtest

#endif  // TARVO_TESTS_VISUAL_UTIL_H
