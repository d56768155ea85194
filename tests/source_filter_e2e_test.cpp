// Senders that are not hosts of the run, against the real tarvo: a
// machine-file run over loopback aliases (hosts 127.0.0.1 and 127.0.0.2, a
// foreign sender at 127.0.0.3), and a local run reached from another network
// namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "launcher/services/AddressService.h"
#include "tests/launcher_harness.h"

namespace {

// A UDP socket bound to one address, playing a process or a stranger.
class Peer {
 public:
  explicit Peer(const char* address) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Peer() { close(fd_); }
  bool Bound() const { return bound_; }
  bool Send(const char* to, int port, const void* data, size_t len) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, to, &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == static_cast<ssize_t>(len);
  }
  bool Send(int port, const void* data, size_t len) { return Send("127.0.0.1", port, data, len); }
  bool Send(int port, const std::string& text) { return Send(port, text.data(), text.size()); }
  // The next datagram, or "" when none comes within `ms` (0: none waiting).
  std::string Next(int ms = 10000) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<char> buf(70000);
    ssize_t n = recv(fd_, buf.data(), buf.size(), ms == 0 ? MSG_DONTWAIT : 0);
    return n < 0 ? std::string() : std::string(buf.data(), static_cast<size_t>(n));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

AddressMessage Address(int32_t code, int32_t fd, const char* ip = "", int32_t port = 0) {
  AddressMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.fd = fd;
  strncpy(m.ip, ip, sizeof m.ip);
  m.port = port;
  return m;
}

SyncMessage Meet(int32_t rank) {
  SyncMessage m;
  memset(&m, 0, sizeof m);
  m.code = Msg_TopologyBroadcast;
  m.rank = rank;
  return m;
}

int32_t CodeOf(const std::string& answer) {
  int32_t code = -1;
  if (answer.size() >= 4) memcpy(&code, answer.data(), 4);
  return code;
}

std::string Ask(Peer& p, int port, const AddressMessage& m) {
  return p.Send(port, &m, sizeof m) ? p.Next() : std::string();
}

const std::string kRelease(sizeof(SyncMessage), '\0');

// What tarvo says of one sender that was not a host of the run.
std::string Ignored(const std::string& address, int datagrams) {
  return "tarvo: ignoring datagrams from " + address + ", not a host of this run; TARVO_ACCEPT_FROM adds it\n" +
         "tarvo: ignored " + std::to_string(datagrams) + " datagrams from 1 address not of this run\n";
}

// Lets the held processes end; the run completes and prints `out` and `err`.
void ExpectEnd(harness::LauncherRun& run, const std::string& out, const std::string& err) {
  run.ReleaseChildren();
  ASSERT_EQ(run.Wait(), 0) << run.Stderr();
  EXPECT_EQ(run.Stdout(), out);
  EXPECT_EQ(run.Stderr(), err);
}

// "-ssh -np 2 -mf hosts prog" with the hosts 127.0.0.1 and 127.0.0.2; the
// recording ssh holds both processes.
struct MachineFileRun {
  std::string dir = testutil::MakeTempDir();
  std::unique_ptr<harness::LauncherRun> run;
  explicit MachineFileRun(const std::string& acceptFrom) {
    testutil::WriteFile(dir + "/hosts", "127.0.0.1\n127.0.0.2\n");
    harness::Options o;
    if (!acceptFrom.empty()) o.env["TARVO_ACCEPT_FROM"] = acceptFrom;
    run.reset(new harness::LauncherRun({"-ssh", "-np", "2", "-mf", dir + "/hosts", "prog"}, o));
  }
  ~MachineFileRun() {
    run.reset();
    if (system(("rm -rf " + dir).c_str()) != 0) {
    }
  }
};

TEST(SourceFilterEndToEnd, MachineFileRunIgnoresASenderOfAnotherHost) {
  MachineFileRun m("");
  harness::LauncherRun& run = *m.run;
  ASSERT_TRUE(run.WaitForChildren(2)) << run.Stdout() << run.Stderr();
  EXPECT_EQ(run.Record(1).at(1), "127.0.0.2") << "rank 1's host";
  const int addressPort = run.AddressPort(), syncPort = run.SyncPort(), consolePort = run.ConsolePort();
  Peer rank0("127.0.0.1"), rank1("127.0.0.2"), stranger("127.0.0.3");
  ASSERT_TRUE(rank0.Bound() && rank1.Bound() && stranger.Bound());

  ASSERT_EQ(CodeOf(Ask(rank0, addressPort, Address(JOIN, 1, "127.0.0.1", 4001))), JOINACK);
  ASSERT_EQ(CodeOf(Ask(rank1, addressPort, Address(JOIN, 2, "127.0.0.2", 4002))), JOINACK);
  const std::string before = Ask(rank0, addressPort, Address(ADDRESS, kWholeTable));
  ASSERT_EQ(before.size(), static_cast<size_t>(kAddressMessageSize + 2 * kAddressRecordSize));

  // Everything the stranger could do: register, claim, deregister, read the
  // table, stand in for rank 1 and print.
  const AddressMessage forged[] = {Address(JOIN, 3, "127.0.0.3", 5000), Address(JOIN, 1, "127.0.0.3", 5000),
                                   Address(LEAVE, 1), Address(LEAVE, 2), Address(ADDRESS, kWholeTable)};
  for (const AddressMessage& f : forged) ASSERT_TRUE(stranger.Send(addressPort, &f, sizeof f));
  const SyncMessage asRank1 = Meet(1);
  ASSERT_TRUE(stranger.Send(syncPort, &asRank1, sizeof asRank1));
  ASSERT_TRUE(stranger.Send(consolePort, "forged\n"));

  // Each service takes its datagrams in order, so the real requests below
  // are handled after the stranger's.
  const std::string after = Ask(rank0, addressPort, Address(ADDRESS, kWholeTable));
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(after.compare(0, kAddressMessageSize, before, 0, kAddressMessageSize), 0) << "the header";
  for (size_t at = kAddressMessageSize; at < std::min(after.size(), before.size()); at += kAddressRecordSize) {
    EXPECT_EQ(after.compare(at, kAddressRecordSize, before, at, kAddressRecordSize), 0) << "record at byte " << at;
  }
  ASSERT_TRUE(rank0.Send(consolePort, "real\n"));
  EXPECT_EQ(rank0.Next(), "s");
  const SyncMessage asRank0 = Meet(0);
  ASSERT_TRUE(rank0.Send(syncPort, &asRank0, sizeof asRank0));
  EXPECT_EQ(rank0.Next(500), "") << "released before rank 1 arrived";
  ASSERT_TRUE(rank1.Send(syncPort, &asRank1, sizeof asRank1));
  EXPECT_EQ(rank0.Next(), kRelease);
  EXPECT_EQ(rank1.Next(), kRelease);
  EXPECT_EQ(stranger.Next(0), "") << "the stranger got an answer";

  ExpectEnd(run, "Console-> real\n", Ignored("127.0.0.3", 7));
}

TEST(SourceFilterEndToEnd, TheSettingAddsSendersAndAMalformedOneStartsNothing) {
  {
    MachineFileRun m("10.9.0.0/16, 127.0.0.3");
    harness::LauncherRun& run = *m.run;
    ASSERT_TRUE(run.WaitForChildren(2)) << run.Stdout() << run.Stderr();
    Peer stranger("127.0.0.3");
    ASSERT_TRUE(stranger.Bound());
    EXPECT_EQ(CodeOf(Ask(stranger, run.AddressPort(), Address(JOIN, 3, "127.0.0.3", 5000))), JOINACK);
    ASSERT_TRUE(stranger.Send(run.ConsolePort(), "served\n"));
    EXPECT_EQ(stranger.Next(), "s");
    ExpectEnd(run, "Console-> served\n", "");
  }
  harness::Options o;
  o.env["TARVO_ACCEPT_FROM"] = "10.9.0.0/33";
  harness::LauncherRun run({"-np", "2", "prog"}, o);
  ASSERT_EQ(run.Wait(), 255);
  EXPECT_EQ(run.Stdout(),
            "ERROR-Control Process: TARVO_ACCEPT_FROM=10.9.0.0/33 is not a comma-separated list of IPv4 addresses "
            "and prefixes (such as 10.1.0.0/16)\n");
  EXPECT_EQ(run.Stderr(), "");
  EXPECT_TRUE(run.Record(0).empty()) << "a process was started";
}

// Runs `command` through the shell; true when it ends with 0.
bool Shell(const std::string& command) { return system(command.c_str()) == 0; }

// A local run reached from a host that is not this one: a second network
// namespace joined to this test's own by a veth pair (10.99.0.1 here,
// 10.99.0.2 there). The test moves its own process into a new network
// namespace first, so that nothing of the machine's network changes; ctest
// runs every test in a process of its own.
TEST(SourceFilterEndToEnd, LocalRunIgnoresASenderOfAnotherHost) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
    GTEST_SKIP() << "needs root and a new network namespace (unshare(CLONE_NEWNET)) to play another host";
  }
  ASSERT_TRUE(Shell("ip link set lo up"));
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    // The other host: its own namespace; sends a JOIN and a console text once
    // told the ports, and ends with the number of answers it got.
    close(go[1]);
    if (unshare(CLONE_NEWNET) != 0) _exit(100);
    if (write(ready[1], "r", 1) != 1) _exit(101);
    int ports[2] = {0, 0};
    if (read(go[0], ports, sizeof ports) != static_cast<ssize_t>(sizeof ports)) _exit(102);
    Peer p("10.99.0.2");
    if (!p.Bound()) _exit(103);
    AddressMessage join = Address(JOIN, 7, "10.99.0.2", 5000);
    if (!p.Send("10.99.0.1", ports[0], &join, sizeof join) || !p.Send("10.99.0.1", ports[1], "far\n", 4)) _exit(104);
    int answers = 0;
    while (!p.Next(1000).empty() && answers < 10) ++answers;
    _exit(answers);
  }
  // However the test ends, the other host is told to end and is reaped.
  struct Reap {
    pid_t pid;
    int go;
    ~Reap() {
      if (go >= 0) close(go);
      if (pid > 0) waitpid(pid, nullptr, 0);
    }
  } reap{other, go[1]};
  close(go[0]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const std::string pid = std::to_string(other);
  const bool joined = Shell("ip link add tvfa type veth peer name tvfb netns " + pid +
                            " && ip addr add 10.99.0.1/24 dev tvfa && ip link set tvfa up && nsenter -t " + pid +
                            " -n sh -c 'ip addr add 10.99.0.2/24 dev tvfb && ip link set tvfb up'");
  int ports[2] = {0, 0};
  harness::LauncherRun run({"-np", "1", "prog"});
  if (joined && run.WaitForChildren(1)) {
    ports[0] = run.AddressPort();
    ports[1] = run.ConsolePort();
  }
  // Zero ports end the other host at once.
  ASSERT_EQ(write(go[1], ports, sizeof ports), static_cast<ssize_t>(sizeof ports));
  int status = -1;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  reap.pid = -1;
  ASSERT_TRUE(joined) << "the veth pair could not be set up";
  ASSERT_GT(ports[0], 0) << run.Stdout() << run.Stderr();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": answers or a failure";

  Peer self("10.99.0.1");  // this host's own interface address is served
  ASSERT_TRUE(self.Send(ports[1], "near\n"));
  EXPECT_EQ(self.Next(), "s");
  ExpectEnd(run, "Console-> near\n", Ignored("10.99.0.2", 2));
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
