// A private sshd on loopback addresses for the remote tests: its own keys
// and configuration in a scratch directory, the sshd's default limits, and
// an "ssh" shim (in ShimDir()) that adds the client's configuration. The
// sshd puts TARVO_BIN_DIR first on the far side's PATH, so that carrier and
// tarvo-agent are found there. Stopped, and its directory removed, with the
// object.
#ifndef TARVO_TESTS_LOOPBACK_SSHD_H
#define TARVO_TESTS_LOOPBACK_SSHD_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/run_util.h"

namespace testutil {

class LoopbackSshd {
 public:
  /// Why the sshd cannot run here, or empty when it runs: listening on
  /// every address of `addresses` (127.x.y.z).
  std::string Start(const std::vector<std::string>& addresses) {
    addresses_ = addresses;
    if (access(kSshd, X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0 || access("/usr/bin/ssh-keygen", X_OK) != 0) {
      return "openssh-server and openssh-client are not installed";
    }
    char real[4096];
    if (realpath(MakeTempDir().c_str(), real) == nullptr) return "no scratch directory";
    dir_ = real;
    mkdir((dir_ + "/shim").c_str(), 0755);
    // sshd running as root wants its privilege separation directory.
    if (geteuid() == 0 && access("/run/sshd", F_OK) != 0) mkdir("/run/sshd", 0755);
    RunResult keys = Run("ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ + "/hostkey && ssh-keygen -q -t ed25519 -N \"\" -f " +
                             dir_ + "/userkey && cp " + dir_ + "/userkey.pub " + dir_ + "/authorized_keys",
                         60);
    if (keys.status != 0) return "ssh-keygen failed: " + keys.err;
    const passwd* pw = getpwuid(geteuid());
    if (pw == nullptr) return "no user name";
    user_ = pw->pw_name;
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) Launch();
    if (pid_ <= 0) return "sshd did not start:\n" + ReadFile(dir_ + "/sshd.log");
    WriteClientSide();
    return "";
  }

  ~LoopbackSshd() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int i = 0;
      for (; i < 500 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) Pause(10);
      if (i == 500) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (!dir_.empty()) {
      std::string cleanup = "rm -rf " + dir_;
      if (system(cleanup.c_str()) != 0) {
      }
    }
  }

  const std::string& ShimDir() const { return shim_; }
  const std::string& Dir() const { return dir_; }
  std::string Log() const { return ReadFile(dir_ + "/sshd.log"); }

 private:
  static constexpr const char* kSshd = "/usr/sbin/sshd";

  static void Pause(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
  }

  static std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
  }

  // A TCP port that nothing listens on right now.
  static int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    close(s);
    return port;
  }

  static bool Accepts(const std::string& ip, int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(ip.c_str());
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
  }

  // Starts sshd on a free port of every address; pid_ stays 0 when it did
  // not come up within ten seconds.
  void Launch() {
    port_ = FreePort();
    if (port_ <= 0) return;
    std::vector<std::string> config = {"Port " + std::to_string(port_)};
    for (const std::string& a : addresses_) config.push_back("ListenAddress " + a);
    for (const std::string& line :
         {"HostKey " + dir_ + "/hostkey", "PidFile " + dir_ + "/sshd.pid",
          "AuthorizedKeysFile " + dir_ + "/authorized_keys", std::string("StrictModes no"), std::string("UsePAM no"),
          std::string("PubkeyAuthentication yes"), std::string("PasswordAuthentication no"),
          std::string("KbdInteractiveAuthentication no"), std::string("PermitRootLogin prohibit-password"),
          "AllowUsers " + user_, "SetEnv PATH=" + std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin",
          std::string("LogLevel ERROR")}) {
      config.push_back(line);
    }
    WriteFile(dir_ + "/sshd_config", Lines(config));
    pid_t pid = fork();
    if (pid == 0) {
      int log = open((dir_ + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(log, 1);
      dup2(log, 2);
      std::string file = dir_ + "/sshd_config";
      execl(kSshd, kSshd, "-D", "-e", "-f", file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) return;  // it ended: port taken, or a bad set-up
      bool all = true;
      for (const std::string& a : addresses_) all = all && Accepts(a, port_);
      if (all) {
        pid_ = pid;
        return;
      }
      Pause(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  // The client's configuration, the known host key on every address and
  // the shim that every "ssh" of the launcher goes through.
  void WriteClientSide() {
    const std::string hostKey = ReadFile(dir_ + "/hostkey.pub");
    const std::string p = std::to_string(port_);
    std::string known;
    for (const std::string& a : addresses_) known += "[" + a + "]:" + p + " " + hostKey;
    WriteFile(dir_ + "/known_hosts", known);
    WriteFile(dir_ + "/ssh_config",
              Lines({"Host *", "  Port " + p, "  User " + user_, "  IdentityFile " + dir_ + "/userkey",
                     "  IdentitiesOnly yes", "  UserKnownHostsFile " + dir_ + "/known_hosts",
                     "  StrictHostKeyChecking yes", "  BatchMode yes", "  ConnectTimeout 10", "  LogLevel ERROR"}));
    shim_ = dir_ + "/shim";
    WriteFile(shim_ + "/ssh", "#!/bin/sh\nexec /usr/bin/ssh -F " + dir_ + "/ssh_config \"$@\"\n");
    chmod((shim_ + "/ssh").c_str(), 0755);
  }

  std::vector<std::string> addresses_;
  std::string dir_, shim_, user_;
  int port_ = 0;
  pid_t pid_ = 0;
};

}  // namespace testutil

#endif  // TARVO_TESTS_LOOPBACK_SSHD_H
