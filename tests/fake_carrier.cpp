// A recording stand-in for carrier, ssh and rsh in end-to-end tests.
//
// It writes its whole argument vector, NUL-separated, to
// $TARVO_FAKE_DIR/<rank>.args, where the rank is the third-last word (the
// launcher's parameters are always the last eight), and what its open
// descriptors refer to ("socket:[inode]", paths), one a line, to
// $TARVO_FAKE_DIR/<rank>.fds, before the .args file. With TARVO_FAKE_HOLD set
// it then waits until $TARVO_FAKE_DIR/release exists (at most 120 s), so that
// a test can talk to the launcher's services meanwhile. It ends with
// $TARVO_FAKE_EXIT_<rank> (default 0), or raises $TARVO_FAKE_SIGNAL_<rank>.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "common/carrier_params.h"

int main(int argc, char** argv) {
  const char* dir = getenv("TARVO_FAKE_DIR");
  if (dir == nullptr) return 0;
  const int rankFromEnd = TARVO_PARAMS - TARVO_PARAM_RANK;
  std::string rank = argc > rankFromEnd ? argv[argc - rankFromEnd] : "x";
  std::string blob;
  for (int i = 0; i < argc; ++i) {
    blob += argv[i];
    blob.push_back('\0');
  }
  // What the process inherited: the launcher's children must not pass its
  // endpoints on.
  std::string fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d)) continue;
      char target[256] = {0};
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0) fds += std::string(target) + "\n";
    }
    closedir(d);
  }
  std::string fdPath = std::string(dir) + "/" + rank + ".fds";
  int fdFile = open(fdPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fdFile < 0) return 93;
  if (write(fdFile, fds.data(), fds.size()) != static_cast<ssize_t>(fds.size())) return 94;
  close(fdFile);

  std::string path = std::string(dir) + "/" + rank + ".args";
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 90;
  if (write(fd, blob.data(), blob.size()) != static_cast<ssize_t>(blob.size())) return 91;
  close(fd);
  if (rename(tmp.c_str(), path.c_str()) != 0) return 92;

  if (getenv("TARVO_FAKE_HOLD") != nullptr) {
    std::string release = std::string(dir) + "/release";
    for (int i = 0; i < 120 * 200 && access(release.c_str(), F_OK) != 0; ++i) {
      timespec ts{0, 5 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
  }
  std::string sigName = "TARVO_FAKE_SIGNAL_" + rank;
  if (const char* sig = getenv(sigName.c_str())) {
    signal(atoi(sig), SIG_DFL);
    raise(atoi(sig));
  }
  std::string exitName = "TARVO_FAKE_EXIT_" + rank;
  const char* code = getenv(exitName.c_str());
  return code ? atoi(code) : 0;
}
