#include "common/process_start.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The reason of a start that failed, errno as it was.
void Why(std::string* err, const char* step, int e) {
  if (err != nullptr) *err = std::string(step) + ": " + strerror(e);
  errno = e;
}

// The exec error that the child wrote on `from` before it ended;
// 0 when the child has exec'd (the pipe closed at its exec, unwritten).
int ExecError(int from) {
  int e = 0;
  ssize_t got;
  while ((got = read(from, &e, sizeof e)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof e) ? e : 0;
}

}  // namespace

pid_t ProcessStart(const ChildSetup& setup, ChildExec exec, bool execFailureIsOurs, std::string* err) {
  int report[2] = {-1, -1};
  if (execFailureIsOurs) {
    if (pipe2(report, O_CLOEXEC) != 0) {
      Why(err, "pipe", errno);
      return -1;
    }
    exec.execErrorFd = report[1];
  }
  const pid_t pid = fork();
  if (pid == 0) ChildExecRun(setup, exec);
  const int forkError = errno;
  if (!execFailureIsOurs) {
    if (pid < 0) Why(err, "fork", forkError);
    return pid;
  }
  close(report[1]);
  const int e = pid > 0 ? ExecError(report[0]) : 0;
  close(report[0]);
  if (pid < 0) {
    Why(err, "fork", forkError);
    return -1;
  }
  if (e != 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    Why(err, exec.file, e);
    return -1;
  }
  return pid;
}

pid_t ProcessFork(const std::function<void()>& body, std::string* err) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  if (pid < 0) Why(err, "fork", errno);
  return pid;
}

pid_t ProcessStartReading(const std::function<pid_t(int writeFd)>& start, bool nonblocking, int* readFd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t pid = start(ends[1]);
  const int startError = errno;
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    errno = startError;
    return -1;
  }
  if (nonblocking) fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  *readFd = ends[0];
  return pid;
}

std::string AgentProgram() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "tarvo-agent";
  self[n] = '\0';
  const std::string beside = std::string(self, static_cast<size_t>(strrchr(self, '/') - self)) + "/tarvo-agent";
  return access(beside.c_str(), X_OK) == 0 ? beside : "tarvo-agent";
}
