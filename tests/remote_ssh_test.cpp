// A real remote run: tarvo -ssh over a private sshd on loopback, with the
// real carrier on the far side. The test makes its own keys and
// configuration, listens on 127.0.0.1 and 127.0.0.2, and reaches them
// through an "ssh" shim on PATH that adds the test's configuration. It stops
// its sshd whatever happens.
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

#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "transport/Connection.h"

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

class RemoteSsh : public ::testing::Test {
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

    testutil::RunResult keys = testutil::Run("ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ +
                                                 "/hostkey && ssh-keygen -q -t ed25519 -N \"\" -f " + dir_ +
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
    testutil::WriteFile(
        dir_ + "/sshd_config",
        Lines({"Port " + p, "ListenAddress 127.0.0.1", "ListenAddress 127.0.0.2", "HostKey " + dir_ + "/hostkey",
               "PidFile " + dir_ + "/sshd.pid", "AuthorizedKeysFile " + dir_ + "/authorized_keys", "StrictModes no",
               "UsePAM no", "PubkeyAuthentication yes", "PasswordAuthentication no", "KbdInteractiveAuthentication no",
               "PermitRootLogin prohibit-password", "AllowUsers " + user_,
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
    testutil::WriteFile(
        dir_ + "/ssh_config",
        Lines({"Host *", "  Port " + p, "  User " + user_, "  IdentityFile " + dir_ + "/userkey",
               "  IdentitiesOnly yes", "  UserKnownHostsFile " + dir_ + "/known_hosts", "  StrictHostKeyChecking yes",
               "  BatchMode yes", "  ConnectTimeout 10", "  LogLevel ERROR"}));
    const std::string shim = dir_ + "/shim/ssh";
    testutil::WriteFile(shim, "#!/bin/sh\nexec /usr/bin/ssh -F " + dir_ + "/ssh_config \"$@\"\n");
    ASSERT_EQ(chmod(shim.c_str(), 0755), 0);
  }

  std::string dir_, work_, user_;
  int port_ = 0;
  pid_t sshd_ = 0;
};

TEST_F(RemoteSsh, EveryRankRunsThroughCarrierOnItsHost) {
  // Each process writes where it ran, with what, into the shared directory.
  testutil::WriteFile(work_ + "/probe",
                      "#!/bin/sh\n"
                      "f=rank.$TARVO_RANK\n"
                      "{ pwd; printf '<%s>\\n' \"$@\"; echo \"$SSH_CONNECTION\" | cut -d' ' -f3;"
                      " env | grep '^TARVO_' | sort; } > $f.tmp && mv $f.tmp $f\n");
  ASSERT_EQ(chmod((work_ + "/probe").c_str(), 0755), 0);
  testutil::WriteFile(work_ + "/hosts", "127.0.0.1\n127.0.0.2\n");

  harness::Options opts;
  opts.workdir = work_;
  opts.hold = false;
  opts.exactPath = dir_ + "/shim:/usr/bin:/bin";
  harness::LauncherRun run({"-ssh", "-np", "3", "-mf", "hosts", "probe", "a", "b"}, opts);
  ASSERT_EQ(run.Wait(90), 0) << run.Stdout() << run.Stderr() << testutil::ReadFile(dir_ + "/sshd.log");
  EXPECT_EQ(run.Stdout(), "");

  CUDPConnection probe(100);
  const std::string address = probe.IP();
  probe.Close();
  const char* hosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1"};
  std::string ports;  // the four port lines, the same for every rank
  for (int rank = 0; rank < 3; ++rank) {
    std::string got = testutil::ReadFile(work_ + "/rank." + std::to_string(rank));
    ASSERT_FALSE(got.empty()) << "rank " << rank << " did not run\n" << run.Stderr();
    std::string head = work_ + "\n<a>\n<b>\n" + hosts[rank] + "\n";
    ASSERT_EQ(got.substr(0, head.size()), head) << got;
    std::istringstream env(got.substr(head.size()));
    std::vector<std::string> vars;
    for (std::string line; std::getline(env, line);) vars.push_back(line);
    ASSERT_EQ(vars.size(), 8u) << got;
    EXPECT_EQ(vars[2], "TARVO_HOST=" + address);
    EXPECT_EQ(vars[3], "TARVO_RANK=" + std::to_string(rank));
    EXPECT_EQ(vars[4], "TARVO_SIZE=3");
    EXPECT_EQ(vars[7], "TARVO_WORKDIR=" + work_);
    std::string mine = vars[0] + vars[1] + vars[5] + vars[6];
    EXPECT_EQ(vars[0].rfind("TARVO_ADDRESS_PORT=", 0), 0u);
    EXPECT_EQ(vars[1].rfind("TARVO_CONSOLE_PORT=", 0), 0u);
    EXPECT_EQ(vars[5].rfind("TARVO_SYNC_PORT=", 0), 0u);
    EXPECT_EQ(vars[6].rfind("TARVO_VISUAL_PORT=", 0), 0u);
    if (rank == 0) ports = mine;
    EXPECT_EQ(mine, ports);
  }
}

}  // namespace
