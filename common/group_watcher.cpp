// The watcher: forked from the threaded launcher, so it makes system calls
// only, on a table it was given before the fork.
#include "common/group_watcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "common/process_start.h"

namespace {

// Everything but `keep` closed: the watcher holds no stream or socket of
// tarvo's (a reader of tarvo's output waits for no watcher).
void CloseAllBut(int keep) {
  const int limit = static_cast<int>(sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024);
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 0, keep > 0 ? keep - 1 : 0, 0) == 0 &&
      syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) {
    return;
  }
#endif
  for (int fd = 0; fd < limit && fd < 65536; ++fd) {
    if (fd != keep) close(fd);
  }
}

// Removes directory `name` (under `parent`) and what it holds, a few levels
// deep, with system calls on a buffer of the stack.
void RemoveTree(int parent, const char* name, int depth) {
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  for (int pass = 0; fd >= 0 && pass < 4; ++pass) {
    lseek(fd, 0, SEEK_SET);  // entries removed while read may hide others
    bool more = false;
    alignas(8) char buffer[4096];
    for (long n; (n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
      for (long at = 0; at < n;) {
        // struct linux_dirent64: inode, offset, record length, type, name.
        const char* entry = buffer + at;
        unsigned short length;
        memcpy(&length, entry + 16, sizeof length);
        at += length;
        const char* child = entry + 19;
        if (strcmp(child, ".") == 0 || strcmp(child, "..") == 0) continue;
        more = true;
        if (unlinkat(fd, child, 0) != 0 && errno == EISDIR && depth < 8) RemoveTree(fd, child, depth + 1);
      }
    }
    if (!more) break;
  }
  if (fd >= 0) close(fd);
  unlinkat(parent, name, AT_REMOVEDIR);
}

[[noreturn]] void Watch(int from, pid_t* groups, size_t slots, const std::vector<std::string>& dirs) {
  setpgid(0, 0);  // no terminal's signal reaches it
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
  CloseAllBut(from);
  int32_t buffer[512];
  size_t have = 0;  // bytes in buffer
  for (;;) {
    const ssize_t n = read(from, reinterpret_cast<char*>(buffer) + have, sizeof buffer - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    const size_t pairs = have / (2 * sizeof(int32_t));
    for (size_t k = 0; k < pairs; ++k) {
      const int32_t slot = buffer[2 * k], group = buffer[2 * k + 1];
      if (slot < 0) _exit(0);  // the run is over
      if (static_cast<size_t>(slot) < slots) groups[slot] = group;
    }
    const size_t used = pairs * 2 * sizeof(int32_t);
    memmove(buffer, reinterpret_cast<char*>(buffer) + used, have - used);
    have -= used;
  }
  // tarvo is gone without saying that the run is over.
  for (size_t k = 0; k < slots; ++k) {
    if (groups[k] > 0) kill(-groups[k], SIGKILL);
  }
  for (const std::string& dir : dirs) RemoveTree(AT_FDCWD, dir.c_str(), 0);
  _exit(0);
}

}  // namespace

bool GroupWatcher::Start(size_t slots, const std::vector<std::string>& dirs) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  std::vector<pid_t> groups(slots, 0);  // the watcher's, before the fork
  std::string err;
  const pid_t pid = ProcessFork([&] { Watch(ends[0], groups.data(), slots, dirs); }, &err);
  close(ends[0]);
  if (pid < 0) {
    close(ends[1]);
    return false;
  }
  fd_ = ends[1];
  return true;
}

void GroupWatcher::Set(size_t slot, pid_t group) {
  if (fd_ < 0) return;
  pending_.push_back(static_cast<int32_t>(slot));
  pending_.push_back(static_cast<int32_t>(group));
}

void GroupWatcher::Flush() {
  if (fd_ < 0 || pending_.empty()) return;
  const char* at = reinterpret_cast<const char*>(pending_.data());
  size_t left = pending_.size() * sizeof(int32_t);
  while (left > 0) {
    const ssize_t n = write(fd_, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += n;
    left -= static_cast<size_t>(n);
  }
  pending_.clear();
}

void GroupWatcher::Done() {
  if (fd_ < 0) return;
  pending_.push_back(-1);
  pending_.push_back(0);
  Flush();
  close(fd_);
  fd_ = -1;
}
