// Runs the real tarvo with the recording stand-ins (fakebin/carrier, ssh,
// rsh) first on PATH, so that a test can read every process's argument
// vector and talk to the launcher's services while the "processes" hold.
#ifndef TARVO_TESTS_LAUNCHER_HARNESS_H
#define TARVO_TESTS_LAUNCHER_HARNESS_H

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/carrier_params.h"
#include "tests/run_util.h"
#include "tests/support/wait.h"

namespace harness {

struct Options {
  bool hold = true;                          // stand-ins wait for ReleaseChildren()
  std::string workdir;                       // empty: a fresh temporary directory
  std::map<std::string, std::string> env;    // extra environment, e.g. TARVO_FAKE_EXIT_1=3
  std::string pathPrefix;                    // put before fakebin on PATH
  std::string exactPath;                     // when set, PATH is this alone (no fakebin)
  std::string stdinFile = "/dev/null";       // tarvo's standard input
};

class LauncherRun {
 public:
  /// Starts `tarvo args...` in the background.
  explicit LauncherRun(const std::vector<std::string>& args, Options opts = Options())
      : opts_(opts) {
    recordDir_ = testutil::MakeTempDir();
    workdir_ = opts_.workdir.empty() ? testutil::MakeTempDir() : opts_.workdir;
    outPath_ = recordDir_ + "/tarvo.out";
    errPath_ = recordDir_ + "/tarvo.err";
    std::vector<std::string> words = {testutil::Tarvo()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, "PATH=", 5) != 0) envs.push_back(*e);
    }
    const char* path = getenv("PATH");
    std::string newPath = "PATH=" + (opts_.pathPrefix.empty() ? "" : opts_.pathPrefix + ":") +
                          std::string(TARVO_FAKE_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin");
    if (!opts_.exactPath.empty()) newPath = "PATH=" + opts_.exactPath;
    envs.push_back(newPath);
    envs.push_back("TARVO_FAKE_DIR=" + recordDir_);
    if (opts_.hold) envs.push_back("TARVO_FAKE_HOLD=1");
    for (auto& kv : opts_.env) envs.push_back(kv.first + "=" + kv.second);

    std::vector<char*> argv, envp;
    for (auto& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    for (auto& e : envs) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      int in = open(opts_.stdinFile.c_str(), O_RDONLY);
      int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (chdir(workdir_.c_str()) != 0) _exit(97);
      execve(argv[0], argv.data(), envp.data());
      _exit(98);
    }
  }

  ~LauncherRun() {
    ReleaseChildren();
    if (pid_ > 0 && status_ < 0) Wait(30);
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::string cleanup = "rm -rf " + recordDir_;
    if (opts_.workdir.empty()) cleanup += " " + workdir_;
    if (system(cleanup.c_str()) != 0) {
    }
  }

  /// Waits until `n` processes have recorded their vectors; false on time-out
  /// or when tarvo ended first.
  bool WaitForChildren(int n, int seconds = 30) {
    support::WaitUntil(seconds * 1000, [&] { return CountRecords() >= n || Ended(); });
    return CountRecords() >= n;
  }

  /// The recorded argument vector of the process of this rank (empty if none).
  std::vector<std::string> Record(int rank) const {
    std::string blob = testutil::ReadFile(recordDir_ + "/" + std::to_string(rank) + ".args");
    std::vector<std::string> words;
    std::string cur;
    for (char c : blob) {
      if (c == '\0') {
        words.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    return words;
  }

  /// The launcher parameters from rank 0's vector: the last eight words.
  int ConsolePort() const { return std::atoi(Param(TARVO_PARAM_CONSOLE_PORT).c_str()); }
  int SyncPort() const { return std::atoi(Param(TARVO_PARAM_SYNC_PORT).c_str()); }
  std::string Host() const { return Param(TARVO_PARAM_HOST); }
  int AddressPort() const { return std::atoi(Param(TARVO_PARAM_ADDRESS_PORT).c_str()); }
  int VisualPort() const { return std::atoi(Param(TARVO_PARAM_VISUAL_PORT).c_str()); }

  /// Lets held stand-ins end.
  void ReleaseChildren() { testutil::WriteFile(recordDir_ + "/release", "go"); }

  /// tarvo's exit status (128 + signal when it was killed), -1 on time-out.
  int Wait(int seconds = 60) {
    support::WaitUntil(seconds * 1000, [&] { return Ended(); });
    return status_;
  }

  /// How many processes have recorded their vectors so far.
  int CountRecords() const {
    int n = 0;
    DIR* d = opendir(recordDir_.c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
      size_t len = strlen(e->d_name);
      if (len > 5 && strcmp(e->d_name + len - 5, ".args") == 0) ++n;
    }
    closedir(d);
    return n;
  }

  std::string Stdout() const { return testutil::ReadFile(outPath_); }
  std::string Stderr() const { return testutil::ReadFile(errPath_); }
  const std::string& Workdir() const { return workdir_; }
  const std::string& RecordDir() const { return recordDir_; }
  pid_t Pid() const { return pid_; }

 private:
  // True once tarvo has ended (and was reaped here).
  bool Ended() {
    int st;
    if (status_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_) status_ = support::StatusOf(st);
    return status_ >= 0;
  }
  std::string Param(int k) const {
    std::vector<std::string> r = Record(0);
    if (r.size() < TARVO_PARAMS) return std::string();
    return r[r.size() - TARVO_PARAMS + static_cast<size_t>(k)];
  }

  Options opts_;
  std::string recordDir_, workdir_, outPath_, errPath_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace harness

#endif  // TARVO_TESTS_LAUNCHER_HARNESS_H
