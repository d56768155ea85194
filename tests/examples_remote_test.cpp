// The examples across hosts: tarvo -ssh over a private sshd on loopback
// (127.0.0.1 and 127.0.0.2), with the real carrier on the far side. The sshd
// set-up is the one of remote_ssh_test.cpp: keys and configuration of the
// test's own, an "ssh" shim on PATH, and sshd stopped whatever happens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_util.h"

namespace {

const char kSshd[] = "/usr/sbin/sshd";

void Pause(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// A TCP port that nothing listens on right now.
int FreePort() {
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

bool Accepts(const char* ip, int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(ip);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

class RemoteExamples : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kSshd, X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0 || access("/usr/bin/ssh-keygen", X_OK) != 0) {
      GTEST_SKIP() << "openssh-server and openssh-client are not installed";
    }
    std::string made = testutil::MakeTempDir();
    char real[4096];
    ASSERT_NE(realpath(made.c_str(), real), nullptr);
    dir_ = real;
    work_ = dir_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/shim").c_str(), 0755), 0);
    // sshd running as root wants its privilege separation directory.
    if (geteuid() == 0 && access("/run/sshd", F_OK) != 0) {
      ASSERT_EQ(mkdir("/run/sshd", 0755), 0);
    }

    testutil::RunResult keys = testutil::Run(
        "ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ + "/hostkey && ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ +
            "/userkey && cp " + dir_ + "/userkey.pub " + dir_ + "/authorized_keys",
        60);
    ASSERT_EQ(keys.status, 0) << keys.err;
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    user_ = pw->pw_name;

    for (int attempt = 0; attempt < 3 && sshd_ <= 0; ++attempt) StartSshd();
    ASSERT_GT(sshd_, 0) << "sshd did not start:\n" << testutil::ReadFile(dir_ + "/sshd.log");
    WriteClientSide();
  }

  void TearDown() override {
    if (sshd_ > 0) StopSshd();
    if (!dir_.empty()) {
      std::string cleanup = "rm -rf " + dir_;
      if (system(cleanup.c_str()) != 0) {
      }
    }
  }

  // Starts sshd on a free port of 127.0.0.1 and 127.0.0.2; sshd_ stays 0
  // when it did not come up within ten seconds.
  void StartSshd() {
    port_ = FreePort();
    if (port_ <= 0) return;
    const std::string p = std::to_string(port_);
    testutil::WriteFile(dir_ + "/sshd_config",
                        Lines({"Port " + p, "ListenAddress 127.0.0.1", "ListenAddress 127.0.0.2",
                               "HostKey " + dir_ + "/hostkey", "PidFile " + dir_ + "/sshd.pid",
                               "AuthorizedKeysFile " + dir_ + "/authorized_keys", "StrictModes no", "UsePAM no",
                               "PubkeyAuthentication yes", "PasswordAuthentication no",
                               "KbdInteractiveAuthentication no", "PermitRootLogin prohibit-password",
                               "AllowUsers " + user_,
                               // carrier has to be on the far side's search path.
                               "SetEnv PATH=" + std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin", "LogLevel ERROR"}));
    pid_t pid = fork();
    if (pid == 0) {
      int log = open((dir_ + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(log, 1);
      dup2(log, 2);
      std::string config = dir_ + "/sshd_config";
      execl(kSshd, kSshd, "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) return;  // it ended: port taken, or a bad set-up
      if (Accepts("127.0.0.1", port_) && Accepts("127.0.0.2", port_)) {
        sshd_ = pid;
        return;
      }
      Pause(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  void StopSshd() {
    kill(sshd_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (waitpid(sshd_, nullptr, WNOHANG) == sshd_) {
        sshd_ = 0;
        return;
      }
      Pause(10);
    }
    kill(sshd_, SIGKILL);
    waitpid(sshd_, nullptr, 0);
    sshd_ = 0;
  }

  // The client's configuration, the known host key on both addresses and
  // the shim that every "ssh" of the launcher goes through.
  void WriteClientSide() {
    const std::string hostKey = testutil::ReadFile(dir_ + "/hostkey.pub");
    const std::string p = std::to_string(port_);
    testutil::WriteFile(dir_ + "/known_hosts", "[127.0.0.1]:" + p + " " + hostKey + "[127.0.0.2]:" + p + " " + hostKey);
    testutil::WriteFile(dir_ + "/ssh_config",
                        Lines({"Host *", "  Port " + p, "  User " + user_, "  IdentityFile " + dir_ + "/userkey",
                               "  IdentitiesOnly yes", "  UserKnownHostsFile " + dir_ + "/known_hosts",
                               "  StrictHostKeyChecking yes", "  BatchMode yes", "  ConnectTimeout 10",
                               "  LogLevel ERROR"}));
    const std::string shim = dir_ + "/shim/ssh";
    testutil::WriteFile(shim, "#!/bin/sh\nexec /usr/bin/ssh -F " + dir_ + "/ssh_config \"$@\"\n");
    ASSERT_EQ(chmod(shim.c_str(), 0755), 0);
  }

  std::string dir_, work_, user_;
  int port_ = 0;
  pid_t sshd_ = 0;
};

// tarvo -ssh -np n -mf hosts from the directory of the examples, with the
// shim first on PATH.
testutil::RunResult RunAcross(const std::string& shimDir, const std::string& hosts, int n, const std::string& program) {
  return testutil::Run("cd " + std::string(TARVO_BIN_DIR) + " && PATH=" + shimDir + ":" + TARVO_BIN_DIR +
                           ":/usr/bin:/bin " + testutil::Tarvo() + " -ssh -np " + std::to_string(n) + " -mf " + hosts +
                           " " + program,
                       120);
}

// True when `line` is `prefix`, a decimal number with one digit after the
// point, then `suffix`.
bool NumberBetween(const std::string& line, const std::string& prefix, const std::string& suffix) {
  if (line.size() < prefix.size() + suffix.size() + 3) return false;
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  if (line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
  size_t dot = number.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 2 != number.size()) return false;
  for (size_t i = 0; i < number.size(); ++i) {
    if (i != dot && (number[i] < '0' || number[i] > '9')) return false;
  }
  return true;
}

// The hosts that the launcher's ssh calls named, sorted: the shim is
// rewritten to log its first word (the host) before it goes on.
void LogShimHosts(const std::string& dir) {
  const std::string shim = dir + "/shim/ssh";
  testutil::WriteFile(shim, "#!/bin/sh\necho \"$1\" >> " + dir + "/ssh.log\nexec /usr/bin/ssh -F " + dir +
                                "/ssh_config \"$@\"\n");
  chmod(shim.c_str(), 0755);
}

std::string SortedLog(const std::string& dir) {
  std::vector<std::string> words;
  std::istringstream in(testutil::ReadFile(dir + "/ssh.log"));
  for (std::string w; in >> w;) words.push_back(w);
  std::sort(words.begin(), words.end());
  std::string all;
  for (const std::string& w : words) all += w + " ";
  return all;
}

TEST_F(RemoteExamples, RingAcrossTwoHosts) {
  LogShimHosts(dir_);
  const std::string hosts = dir_ + "/hosts";
  testutil::WriteFile(hosts, "127.0.0.1\n127.0.0.2\n");
  testutil::RunResult r = RunAcross(dir_ + "/shim", hosts, 4, "ring 3");
  ASSERT_EQ(r.status, 0) << r.out << r.err << testutil::ReadFile(dir_ + "/sshd.log");
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "Console-> ring: 4 processes in the table, the token goes 0 -> 1 -> 2 -> 3 -> 0");
  EXPECT_TRUE(NumberBetween(lines[4], "Console-> ring: 3 laps, 12 hops, ", " us per hop")) << lines[4];
  EXPECT_EQ(SortedLog(dir_), "127.0.0.1 127.0.0.1 127.0.0.2 127.0.0.2 ") << "every rank went through ssh";
}

TEST_F(RemoteExamples, HelloAndPiAcrossTwoHosts) {
  const std::string hosts = dir_ + "/hosts";
  testutil::WriteFile(hosts, "127.0.0.2\n127.0.0.1\n");
  testutil::RunResult hello = RunAcross(dir_ + "/shim", hosts, 3, "hello");
  ASSERT_EQ(hello.status, 0) << hello.out << hello.err;
  std::istringstream in(hello.out);
  int k = 0;
  for (std::string line; std::getline(in, line); ++k) {
    const std::string head = "Console-> hello from rank " + std::to_string(k) + " of 3 on ";
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    EXPECT_GT(line.size(), head.size()) << "a host name follows";
  }
  EXPECT_EQ(k, 3) << hello.out;
  testutil::RunResult pi = RunAcross(dir_ + "/shim", hosts, 3, "pi 1000");
  ASSERT_EQ(pi.status, 0) << pi.out << pi.err;
  EXPECT_EQ(pi.out.rfind("Console-> pi: 3 processes, 1000 intervals: 3.14159", 0), 0u) << pi.out;
}

}  // namespace
