// A private sshd on loopback for remote runs: its own host and user keys,
// one free port on the addresses 127.0.0.1 to 127.0.0.<hosts>, a
// known_hosts that names each of them, and an "ssh" wrapper in ShimDir()
// that adds the client configuration, so that `tarvo -ssh -mf hosts ...`
// with ShimDir() first on PATH reaches it. The far side's PATH holds the
// built programs (carrier among them). The destructor stops sshd and
// removes its directory whatever happened.
//
//   class Remote : public support::SshdTest {};
//   TEST_F(Remote, Something) {
//     testutil::WriteFile(sshd().Dir() + "/hosts", "127.0.0.1\n127.0.0.2\n");
//     ... PATH=sshd().ShimDir() + ":/usr/bin:/bin" ...
//   }
#ifndef TARVO_TESTS_SUPPORT_SSHD_H
#define TARVO_TESTS_SUPPORT_SSHD_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"
#include "tests/support/wait.h"

namespace support {

class Sshd {
 public:
  static constexpr const char* kSshd = "/usr/sbin/sshd";

  /// Starts sshd on 127.0.0.1 to 127.0.0.<hosts> (1 to 4). `extraConfig`
  /// holds sshd_config lines of the test's own (say "MaxStartups 100");
  /// without them sshd keeps its defaults. They come before ours, because
  /// the first value of a keyword is the one that sshd takes.
  explicit Sshd(int hosts = 4, std::vector<std::string> extraConfig = {}) : hosts_(hosts) {
    if (access(kSshd, X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0 || access("/usr/bin/ssh-keygen", X_OK) != 0) {
      why_ = "openssh-server and openssh-client are not installed";
      return;
    }
    char real[4096];
    std::string made = testutil::MakeTempDir();
    if (made.empty() || realpath(made.c_str(), real) == nullptr) {
      why_ = "no temporary directory";
      return;
    }
    dir_ = real;
    if (mkdir((dir_ + "/shim").c_str(), 0755) != 0) {
      why_ = "cannot make " + dir_ + "/shim";
      return;
    }
    // sshd running as root wants its privilege separation directory.
    if (geteuid() == 0 && access("/run/sshd", F_OK) != 0) mkdir("/run/sshd", 0755);
    testutil::RunResult keys = testutil::Run("ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ +
                                                 "/hostkey && ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ +
                                                 "/userkey && cp " + dir_ + "/userkey.pub " + dir_ + "/authorized_keys",
                                             60);
    const passwd* pw = getpwuid(geteuid());
    if (keys.status != 0 || pw == nullptr) {
      why_ = "ssh-keygen failed: " + keys.err;
      return;
    }
    user_ = pw->pw_name;
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) Start(extraConfig);
    if (pid_ <= 0) {
      // One line: sshd's last complaint, if it made one.
      std::string log = Log();
      while (!log.empty() && log.back() == '\n') log.pop_back();
      why_ = "sshd did not start on a free port of " + Hosts().front() + " to " + Hosts().back() +
             (log.empty() ? std::string() : ": " + log.substr(log.rfind('\n') + 1));
      return;
    }
    WriteClientSide();
  }

  ~Sshd() {
    if (pid_ > 0) Stop();
    if (!dir_.empty() && system(("rm -rf " + dir_).c_str()) != 0) {
    }
  }
  Sshd(const Sshd&) = delete;
  Sshd& operator=(const Sshd&) = delete;

  /// True when sshd accepts on every address; otherwise Why() says why not.
  bool Ready() const { return pid_ > 0; }
  const std::string& Why() const { return why_; }
  /// The fixture's private directory (keys, configuration, logs); tests may
  /// put their own files here too.
  const std::string& Dir() const { return dir_; }
  /// The directory of the "ssh" wrapper, to go first on the launcher's PATH.
  std::string ShimDir() const { return dir_ + "/shim"; }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  /// "127.0.0.1" to "127.0.0.<hosts>".
  std::vector<std::string> Hosts() const {
    std::vector<std::string> h;
    for (int k = 1; k <= hosts_; ++k) h.push_back("127.0.0." + std::to_string(k));
    return h;
  }
  /// What sshd reported (its errors only).
  std::string Log() const { return testutil::ReadFile(dir_ + "/sshd.log"); }
  /// The host word of every ssh call the wrapper passed on, sorted, each
  /// followed by a blank.
  std::string SshHosts() const {
    std::vector<std::string> words;
    std::istringstream in(testutil::ReadFile(dir_ + "/ssh.log"));
    for (std::string w; in >> w;) words.push_back(w);
    std::sort(words.begin(), words.end());
    std::string all;
    for (const std::string& w : words) all += w + " ";
    return all;
  }

 private:
  static std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
  }

  // A TCP port that no socket holds right now on any of `hosts`: the kernel
  // picks one on 127.0.0.1, and each other address must be able to take it
  // too (a server of someone else's may hold it on one address only).
  static int FreePort(const std::vector<std::string>& hosts) {
    int port = 0;
    std::vector<int> held;
    for (const std::string& h : hosts) {
      const int s = socket(AF_INET, SOCK_STREAM, 0);
      if (s < 0) break;
      held.push_back(s);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = inet_addr(h.c_str());
      a.sin_port = htons(static_cast<uint16_t>(port));
      socklen_t len = sizeof a;
      if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        port = -1;
        break;
      }
      if (port == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) port = ntohs(a.sin_port);
    }
    for (int s : held) close(s);
    return held.size() == hosts.size() ? port : -1;
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

  // Starts sshd on a free port; pid_ stays 0 when it did not come up on
  // every address within ten seconds, or could not take the port on one of
  // them (what answers there is not ours).
  void Start(const std::vector<std::string>& extraConfig) {
    port_ = FreePort(Hosts());
    if (port_ <= 0) return;
    std::vector<std::string> config = extraConfig;
    config.push_back("Port " + std::to_string(port_));
    for (const std::string& h : Hosts()) config.push_back("ListenAddress " + h);
    for (const std::string& l :
         {"HostKey " + dir_ + "/hostkey", "PidFile " + dir_ + "/sshd.pid",
          "AuthorizedKeysFile " + dir_ + "/authorized_keys", std::string("StrictModes no"), std::string("UsePAM no"),
          std::string("PubkeyAuthentication yes"), std::string("PasswordAuthentication no"),
          std::string("KbdInteractiveAuthentication no"), std::string("PermitRootLogin prohibit-password"),
          "AllowUsers " + user_,
          // carrier has to be on the far side's search path. HOME is the
          // test's own, so that the far side's shell reads none of this
          // machine's files for the user (~/.bashrc): what they print on
          // standard error would come out as the run's.
          "SetEnv PATH=" + std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin HOME=" + dir_, std::string("LogLevel ERROR")})
      config.push_back(l);
    testutil::WriteFile(dir_ + "/sshd_config", Lines(config));
    const std::string configPath = dir_ + "/sshd_config", logPath = dir_ + "/sshd.log";
    pid_t pid = fork();
    if (pid == 0) {
      // sshd ends with the test, even one killed before its destructor ran.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(log, 1);
      dup2(log, 2);
      execl(kSshd, kSshd, "-D", "-e", "-f", configPath.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid < 0) return;
    bool ended = false;  // port taken, or a bad set-up
    bool up = WaitUntil(10000, [&] {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return ended = true;
      for (const std::string& h : Hosts())
        if (!Accepts(h, port_)) return false;
      return true;
    });
    if (up && !ended && Log().find("Bind to port") == std::string::npos) {
      pid_ = pid;
      return;
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  void Stop() {
    kill(pid_, SIGTERM);
    if (!WaitUntil(5000, [&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; })) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
  }

  // The client's configuration, the host key known on every address, and
  // the wrapper that every "ssh" of the launcher goes through; it notes the
  // host word of each call in ssh.log.
  void WriteClientSide() {
    const std::string hostKey = testutil::ReadFile(dir_ + "/hostkey.pub");
    const std::string p = std::to_string(port_);
    std::string known;
    for (const std::string& h : Hosts()) known += "[" + h + "]:" + p + " " + hostKey;
    testutil::WriteFile(dir_ + "/known_hosts", known);
    testutil::WriteFile(
        dir_ + "/ssh_config",
        Lines({"Host *", "  Port " + p, "  User " + user_, "  IdentityFile " + dir_ + "/userkey",
               "  IdentitiesOnly yes", "  UserKnownHostsFile " + dir_ + "/known_hosts", "  StrictHostKeyChecking yes",
               "  BatchMode yes", "  ConnectTimeout 10", "  LogLevel ERROR"}));
    const std::string shim = ShimDir() + "/ssh";
    testutil::WriteFile(shim, "#!/bin/sh\necho \"$1\" >> " + dir_ + "/ssh.log\nexec /usr/bin/ssh -F " + dir_ +
                                  "/ssh_config \"$@\"\n");
    chmod(shim.c_str(), 0755);
  }

  int hosts_;
  std::string dir_, user_, why_;
  int port_ = 0;
  pid_t pid_ = 0;
};

/// A test fixture that starts a fresh sshd for each test and skips the test
/// when sshd is missing or cannot start. Override Hosts() or ExtraConfig()
/// for other addresses or settings.
class SshdTest : public ::testing::Test {
 protected:
  virtual int Hosts() const { return 4; }
  virtual std::vector<std::string> ExtraConfig() const { return {}; }
  void SetUp() override {
    sshd_.reset(new Sshd(Hosts(), ExtraConfig()));
    if (!sshd_->Ready()) GTEST_SKIP() << "no private sshd: " << sshd_->Why();
  }
  void TearDown() override { sshd_.reset(); }
  Sshd& sshd() { return *sshd_; }

 private:
  std::unique_ptr<Sshd> sshd_;
};

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_SSHD_H
