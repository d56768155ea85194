// A recording stand-in for carrier, ssh and rsh in end-to-end tests.
//
// It writes its whole argument vector, NUL-separated, to
// $TARVO_FAKE_DIR/<rank>.args, where the rank is the third-last word (the
// launcher's parameters are always the last eight). With TARVO_FAKE_HOLD set
// it then waits until $TARVO_FAKE_DIR/release exists (at most 120 s), so that
// a test can talk to the launcher's services meanwhile. It ends with
// $TARVO_FAKE_EXIT_<rank> (default 0), or raises $TARVO_FAKE_SIGNAL_<rank>.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
  const char* dir = getenv("TARVO_FAKE_DIR");
  if (dir == nullptr) return 0;
  std::string rank = argc >= 4 ? argv[argc - 3] : "x";
  std::string blob;
  for (int i = 0; i < argc; ++i) {
    blob += argv[i];
    blob.push_back('\0');
  }
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
