// The real tarvo with the recording carrier, ssh and rsh first on PATH:
// every entry of every process's argument vector, the hosts of a machine
// file, the program file, the failures and the status of the run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/wait.h"
#include "transport/Connection.h"

namespace {

using Words = std::vector<std::string>;

// The launcher's host address, as every process receives it.
std::string LauncherAddress() {
  CUDPConnection probe(100);
  std::string ip = probe.IP();
  probe.Close();
  return ip;
}

struct Endpoint {
  int port;
  std::string socket;  // "socket:[inode]", as /proc shows the descriptor
};

// The UDP sockets that process `pid` holds, in the order of their
// descriptors, which is the order in which the launcher created its
// endpoints: address, visual, synchronisation, console.
std::vector<Endpoint> EndpointsOf(pid_t pid) {
  std::map<unsigned long, int> portOfInode;
  std::istringstream table(testutil::ReadFile("/proc/net/udp"));
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retr, uid, timeout;
    unsigned long inode = 0;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    size_t colon = local.find(':');
    if (colon != std::string::npos)
      portOfInode[inode] = static_cast<int>(strtol(local.c_str() + colon + 1, nullptr, 16));
  }
  std::map<int, Endpoint> endpointOfFd;
  std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(fdDir.c_str());
  if (d == nullptr) return {};
  while (dirent* e = readdir(d)) {
    char target[128] = {0};
    std::string link = fdDir + "/" + e->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
    unsigned long inode = 0;
    if (sscanf(target, "socket:[%lu]", &inode) == 1 && portOfInode.count(inode)) {
      endpointOfFd[atoi(e->d_name)] = Endpoint{portOfInode[inode], target};
    }
  }
  closedir(d);
  std::vector<Endpoint> endpoints;
  for (auto& kv : endpointOfFd) endpoints.push_back(kv.second);
  return endpoints;
}

class SpawnRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string made = testutil::MakeTempDir();
    char real[4096];
    ASSERT_NE(realpath(made.c_str(), real), nullptr);
    dir_ = real;
    address_ = LauncherAddress();
  }
  void TearDown() override {
    std::string cleanup = "rm -rf " + dir_;
    if (system(cleanup.c_str()) != 0) {
    }
  }
  void Write(const std::string& name, const std::string& text) { testutil::WriteFile(dir_ + "/" + name, text); }
  harness::Options Opts(bool hold = true) {
    harness::Options o;
    o.workdir = dir_;
    o.hold = hold;
    return o;
  }

  // The eight launcher parameters that rank `rank` of `count` receives in
  // this run, taken from rank 0's ports.
  Words Params(const harness::LauncherRun& run, int rank, int count) const {
    return {std::to_string(run.ConsolePort()),
            std::to_string(run.SyncPort()),
            address_,
            std::to_string(run.AddressPort()),
            std::to_string(run.VisualPort()),
            std::to_string(rank),
            std::to_string(count),
            dir_};
  }
  // A remote shell's words without the "env PMI_ID=N", the locality
  // variables and `terminal` (carrier's word for the rank's terminal, none
  // where empty) that come after its host (N a number of up to 31 bits,
  // other than `others`' and added to them).
  static Words WithoutPmiId(Words words, std::vector<std::string>* others,
                            const std::string& terminal = "TARVO_PTY=1") {
    EXPECT_GE(words.size(), 4u);
    if (words.size() < 4) return words;
    EXPECT_EQ(words[2], "env");
    const std::string id = words[3].substr(words[3].find('=') + 1);
    EXPECT_EQ(words[3].substr(0, 7), "PMI_ID=");
    EXPECT_TRUE(!id.empty() && id.size() <= 10 && id.find_first_not_of("0123456789") == std::string::npos &&
                std::stoll(id) < (1ll << 31)) << words[3];
    EXPECT_EQ(std::count(others->begin(), others->end(), id), 0) << words[3];
    others->push_back(id);
    // Then the seven variables that tell the rank where it is.
    size_t end = 4;
    while (end < words.size() && (words[end].compare(0, 16, "OMPI_COMM_WORLD_") == 0 || words[end].compare(0, 9, "MPI_LOCAL") == 0)) ++end;
    EXPECT_EQ(end, 11u) << words[3];
    if (!terminal.empty()) {
      EXPECT_EQ(end < words.size() ? words[end] : "", terminal);
      end += end < words.size() && words[end] == terminal;
    }
    words.erase(words.begin() + 2, words.begin() + static_cast<long>(end));
    return words;
  }
  static Words Join(Words a, const Words& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  // Each port entry names the launcher endpoint that it stands for, and
  // no process holds the endpoints it must not have: none of the four in
  // the user-program form, only the console one in the program-file form.
  void ExpectEndpoints(const harness::LauncherRun& run, int count, bool consoleStays = false) {
    std::vector<Endpoint> e = EndpointsOf(run.Pid());
    ASSERT_EQ(e.size(), 4u) << "the launcher's endpoints";
    EXPECT_EQ(run.AddressPort(), e[0].port);
    EXPECT_EQ(run.VisualPort(), e[1].port);
    EXPECT_EQ(run.SyncPort(), e[2].port);
    EXPECT_EQ(run.ConsolePort(), e[3].port);
    for (int rank = 0; rank < count; ++rank) {
      std::string held = testutil::ReadFile(run.RecordDir() + "/" + std::to_string(rank) + ".fds");
      for (int k = 0; k < 4; ++k) {
        bool holds = held.find(e[k].socket + "\n") != std::string::npos;
        EXPECT_EQ(holds, consoleStays && k == 3) << "rank " << rank << " endpoint " << k << ":\n" << held;
      }
    }
  }

  std::string dir_;
  std::string address_;
};

TEST_F(SpawnRun, LocalRunGivesEveryProcessItsVector) {
  harness::LauncherRun run({"-np", "3", "prog", "x", "y"}, Opts());
  ASSERT_TRUE(run.WaitForChildren(3)) << run.Stdout() << run.Stderr();
  ExpectEndpoints(run, 3);
  for (int rank = 0; rank < 3; ++rank) {
    EXPECT_EQ(run.Record(rank), Join({"carrier", dir_ + "/prog", "x", "y"}, Params(run, rank, 3))) << rank;
  }
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0);
  EXPECT_EQ(run.Stdout(), "");
  EXPECT_EQ(run.Stderr(), "");
}

TEST_F(SpawnRun, OneProcessByDefaultAndPortsRightAfterTheProgram) {
  {
    harness::LauncherRun run({"prog", "a"}, Opts());
    ASSERT_TRUE(run.WaitForChildren(1));
    EXPECT_EQ(run.Record(0), Join({"carrier", dir_ + "/prog", "a"}, Params(run, 0, 1)));
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
  }
  {
    harness::LauncherRun run({"-np", "1", "prog"}, Opts());
    ASSERT_TRUE(run.WaitForChildren(1));
    EXPECT_EQ(run.Record(0), Join({"carrier", dir_ + "/prog"}, Params(run, 0, 1)));
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
  }
}

TEST_F(SpawnRun, MachineFileHostsAreReusedInOrderThroughTheRemoteShell) {
  Write("hosts", "localhost 127.0.0.1\n\t127.0.0.2\n");
  const Words hosts = {"localhost", "127.0.0.1", "127.0.0.2", "localhost", "127.0.0.1"};
  // With TARVO_PTY=0 the command asks carrier for no terminal.
  for (const char* shell : {"-rsh", "-ssh"}) {
    harness::Options o = Opts();
    const bool terminals = shell[1] == 's';
    if (!terminals) o.env["TARVO_PTY"] = "0";
    harness::LauncherRun run({shell, "-np", "5", "-mf", "hosts", "prog", "x"}, o);
    ASSERT_TRUE(run.WaitForChildren(5)) << shell << run.Stdout();
    ExpectEndpoints(run, 5);
    const std::string exe = shell + 1;  // "rsh" or "ssh"
    std::vector<std::string> ids;
    for (int rank = 0; rank < 5; ++rank) {
      EXPECT_EQ(WithoutPmiId(run.Record(rank), &ids, terminals ? "TARVO_PTY=1" : ""),
                Join({exe, hosts[rank], "carrier", dir_ + "/prog", "x"}, Params(run, rank, 5)))
          << shell << " rank " << rank;
    }
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(run.Stdout(), "");
  }
}

// Comments, and the places of "host:N" and "host slots=N", as other
// launchers' machine files have them.
TEST_F(SpawnRun, MachineFileCommentsAndPlacesPerHost) {
  Write("hosts", "# two places on the first host\nlocalhost:2 # and a comment\n127.0.0.2 slots=3\n#127.0.0.3\n127.0.0.1#x\n");
  const Words hosts = {"localhost", "localhost", "127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.1", "localhost"};
  harness::LauncherRun run({"-ssh", "-np", "7", "-mf", "hosts", "prog"}, Opts());
  ASSERT_TRUE(run.WaitForChildren(7)) << run.Stdout();
  for (int rank = 0; rank < 7; ++rank) EXPECT_EQ(run.Record(rank).at(1), hosts[rank]) << rank;
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0);
  EXPECT_EQ(run.Stdout(), "");
}

TEST_F(SpawnRun, MachineFileWithoutUsableWordRunsLocally) {
  Write("empty", "");
  // Unknown names have an empty label here: the resolver refuses such a name
  // itself, so these tests ask no name server.
  Write("unknown", "bad-one..invalid\nbad-two..invalid\n");
  for (const char* file : {"empty", "unknown"}) {
    harness::LauncherRun run({"-ssh", "-np", "2", "-mf", file, "prog", "a"}, Opts());
    ASSERT_TRUE(run.WaitForChildren(2)) << file;
    for (int rank = 0; rank < 2; ++rank) {
      EXPECT_EQ(run.Record(rank), Join({"carrier", dir_ + "/prog", "a"}, Params(run, rank, 2))) << file;
    }
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
    if (std::string(file) == "empty") {
      EXPECT_EQ(run.Stdout(), "");
    } else {
      EXPECT_EQ(run.Stdout(),
                "ERROR-Host: bad-one..invalid does NOT exists\nERROR-Please check you machinefile\n"
                "ERROR-Host: bad-two..invalid does NOT exists\nERROR-Please check you machinefile\n");
    }
  }
}

TEST_F(SpawnRun, ProgramFileLinesAreTheProcesses) {
  Write("pf", "prog a b\n\n   other  x  \n/bin/third\t1");
  Write("hosts", "localhost unchecked..invalid");
  {
    harness::LauncherRun run({"-pf", "pf"}, Opts());
    ASSERT_TRUE(run.WaitForChildren(3));
    ExpectEndpoints(run, 3, true);
    EXPECT_EQ(run.Record(0), Join({"carrier", "prog", "a", "b"}, Params(run, 0, 3)));
    EXPECT_EQ(run.Record(1), Join({"carrier", "other", "x", ""}, Params(run, 1, 3)));
    EXPECT_EQ(run.Record(2), Join({"carrier", "/bin/third\t1"}, Params(run, 2, 3)));
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
  }
  {
    // Hosts are used as read, without a lookup, and reused for the third line.
    harness::LauncherRun run({"-ssh", "-mf", "hosts", "-pf", "pf"}, Opts());
    ASSERT_TRUE(run.WaitForChildren(3));
    ExpectEndpoints(run, 3, true);
    std::vector<std::string> ids;
    EXPECT_EQ(WithoutPmiId(run.Record(0), &ids), Join({"ssh", "localhost", "carrier", "prog", "a", "b"}, Params(run, 0, 3)));
    // The far side's shell reads the words again: they come quoted for it.
    EXPECT_EQ(WithoutPmiId(run.Record(1), &ids),
              Join({"ssh", "unchecked..invalid", "carrier", "other", "x", "''"}, Params(run, 1, 3)));
    EXPECT_EQ(WithoutPmiId(run.Record(2), &ids), Join({"ssh", "localhost", "carrier", "'/bin/third\t1'"}, Params(run, 2, 3)));
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(run.Stdout(), "");
  }
}

// The synchronisation service of a program-file run waits for one request
// per line, and releases every rank.
// Through per-rank remote shells each rank's PMI_ID is a number that tarvo
// drew: a connection to the TCP endpoint that names a rank's number, or
// another ID, is closed and takes nothing; the rank's own ID still takes it.
TEST_F(SpawnRun, TheMpiEndpointTakesARankOnlyByTheIdDrawnForIt) {
  Write("hosts", "127.0.0.1\n");
  harness::LauncherRun run({"-ssh", "-np", "2", "-mf", "hosts", "prog"}, Opts());
  ASSERT_TRUE(run.WaitForChildren(2)) << run.Stdout();
  std::vector<std::string> ids;
  WithoutPmiId(run.Record(0), &ids);
  WithoutPmiId(run.Record(1), &ids);
  ASSERT_EQ(ids.size(), 2u);
  // The first line, then what comes back until the server closes or four
  // lines are in (5 s at most).
  auto ask = [&run](const std::string& line) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval bound{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(run.AddressPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      char buffer[256];
      for (ssize_t n; std::count(got.begin(), got.end(), '\n') < 4 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
        got.append(buffer, static_cast<size_t>(n));
      }
    }
    close(fd);
    return got;
  };
  for (const std::string& guess : {std::string("1"), std::string("0"), ids[0] + "0"}) {
    EXPECT_EQ(ask("cmd=initack pmiid=" + guess + "\n"), "") << guess;
  }
  EXPECT_EQ(ask("cmd=initack pmiid=" + ids[1] + "\n"), "cmd=initack\ncmd=set size=2\ncmd=set rank=1\ncmd=set debug=0\n");
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0);
}

TEST_F(SpawnRun, ProgramFileRunSynchronisesEveryLine) {
  Write("pf", "p\nq\nr\n");
  harness::LauncherRun run({"-pf", "pf"}, Opts());
  ASSERT_TRUE(run.WaitForChildren(3));
  std::vector<std::unique_ptr<CUDPConnection>> ranks;
  for (int rank = 0; rank < 3; ++rank) {
    ranks.emplace_back(new CUDPConnection(100));
    ASSERT_EQ(ranks.back()->Open(0), 0);
    timeval limit{10, 0};
    setsockopt(ranks.back()->Socket(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SyncMessage request{};
    request.code = Msg_TopologyBroadcast;
    request.rank = rank;
    char bytes[sizeof request];
    memcpy(bytes, &request, sizeof request);
    ASSERT_EQ(ranks.back()->UDPSend(bytes, sizeof bytes, "127.0.0.1", run.SyncPort()), static_cast<int>(sizeof bytes));
  }
  for (int rank = 0; rank < 3; ++rank) {
    char release[sizeof(SyncMessage)];
    int capacity = sizeof release;
    EXPECT_EQ(ranks[rank]->UDPRecv(release, &capacity, nullptr, nullptr), static_cast<int>(sizeof release))
        << "rank " << rank << " was not released";
    ranks[rank]->Close();
  }
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 0);
}

TEST_F(SpawnRun, ProgramFileWithoutLinesStartsNothing) {
  Write("none", "\n\n");
  harness::LauncherRun run({"-pf", "none"}, Opts(false));
  EXPECT_EQ(run.Wait(), 0);
  EXPECT_EQ(run.Stdout(), "");
  EXPECT_EQ(run.CountRecords(), 0);
}

TEST_F(SpawnRun, StatusOfTheRunIsTheWorstOfItsProcesses) {
  struct Case {
    std::map<std::string, std::string> env;
    int status;
  };
  const std::vector<Case> cases = {
      {{{"TARVO_FAKE_EXIT_1", "3"}}, 3},
      {{{"TARVO_FAKE_SIGNAL_2", "9"}}, 128 + SIGKILL},
      {{{"TARVO_FAKE_EXIT_0", "3"}, {"TARVO_FAKE_SIGNAL_1", "15"}, {"TARVO_FAKE_EXIT_2", "200"}}, 200},
  };
  for (const Case& c : cases) {
    harness::Options o = Opts();
    o.env = c.env;
    o.env["TARVO_KILL_ON_BAD_EXIT"] = "0";  // every process ends on its own
    harness::LauncherRun run({"-np", "3", "prog"}, o);
    ASSERT_TRUE(run.WaitForChildren(3));
    run.ReleaseChildren();
    EXPECT_EQ(run.Wait(), c.status);
  }
  // The program-file form keeps the statuses the same way.
  Write("pf", "p\nq\n");
  harness::Options o = Opts();
  o.env = {{"TARVO_FAKE_EXIT_1", "3"}};
  harness::LauncherRun run({"-pf", "pf"}, o);
  ASSERT_TRUE(run.WaitForChildren(2));
  run.ReleaseChildren();
  EXPECT_EQ(run.Wait(), 3);
}

// Input that the launcher refuses ends the run with 255 and one report,
// before any process starts.
TEST_F(SpawnRun, MissingFilesAndOversizedInputEndTheRunBeforeAnyProcess) {
  std::string longWord(128, 'w');
  Write("pf", "prog\n");
  Write("longpf", "fine\nprog " + longWord + "\n");
  const std::string longPath = "/" + std::string(4095, 'p');
  struct Case {
    Words args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"-np", "2", "-mf", "nohosts", "prog"}, "ERROR-Control Process Cannot open machinefile: nohosts\n"},
      {{"-mf", "nohosts", "-pf", "pf"}, "ERROR-Control Process Cannot open machinefile: nohosts\n"},
      {{"-pf", "nopf"}, "ERROR-Control Process: Cannot open program file: nopf\n"},
      // A directory opens, but cannot be read: refused all the same.
      {{"-mf", ".", "prog"}, "ERROR-Control Process Cannot read machinefile: .\n"},
      {{"-pf", "."}, "ERROR-Control Process: Cannot read program file: .\n"},
      {{"-pf", "longpf"}, "ERROR-Control Process: program file longpf, line 2: a word longer than 127 characters\n"},
      {{"-np", "2", "prog", longWord},
       "ERROR-Control Process: argument is longer than 127 characters: " + longWord + "\n"},
      {{"-np", "2", longPath}, "ERROR-Control Process: program path is longer than 4095 characters: " + longPath + "\n"},
  };
  for (const Case& c : cases) {
    harness::LauncherRun run(c.args, Opts(false));
    EXPECT_EQ(run.Wait(), 255) << c.out;
    EXPECT_EQ(run.Stdout(), c.out);
    EXPECT_EQ(run.CountRecords(), 0);
  }
}

TEST_F(SpawnRun, EveryChildWhoseExecFailsIsReapedWithStatusOne) {
  // An empty search path: neither carrier nor a remote shell can be found.
  std::string bin = dir_ + "/emptybin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  // A carrier that is found, and started beside the launcher, but whose
  // exec fails: its "#!" names an interpreter that is nowhere.
  const std::string found = dir_ + "/foundbin";
  ASSERT_EQ(mkdir(found.c_str(), 0755), 0);
  Write("foundbin/carrier", "#!/nonexistent/sh\n");
  ASSERT_EQ(chmod((found + "/carrier").c_str(), 0755), 0);
  Write("hosts", "localhost\n");
  Write("pf", "prog\nprog\n");
  struct Case {
    Words args;
    std::string message;
    int line;
    std::string path = std::string();
  };
  const std::vector<Case> cases = {
      {{"-np", "2", "prog"}, "no machine", 661},
      {{"-np", "2", "prog"}, "no machine", 661, found},
      {{"-ssh", "-np", "2", "-mf", "hosts", "prog"}, "ssh", 673},
      {{"-np", "2", "-mf", "hosts", "prog"}, "rsh", 682},
      {{"-pf", "pf"}, "no machine", 1046},
      {{"-ssh", "-mf", "hosts", "-pf", "pf"}, "ssh", 1058},
      {{"-mf", "hosts", "-pf", "pf"}, "rsh", 1067},
  };
  for (const Case& c : cases) {
    harness::Options o = Opts(false);
    o.exactPath = c.path.empty() ? bin : c.path;
    // Every child reports: the first failure does not end the run here.
    o.env["TARVO_KILL_ON_BAD_EXIT"] = "0";
    harness::LauncherRun run(c.args, o);
    EXPECT_EQ(run.Wait(), 1) << c.line;
    const std::string at = "Error at " + std::to_string(c.line) + " Control";
    EXPECT_EQ(run.Stdout(), at + at);
    const std::string line = "Control Process: execvp " + c.message + " failed\n";
    const std::string err = run.Stderr();
    size_t fails = 0, texts = 0;
    for (size_t p = err.find(line); p != std::string::npos; p = err.find(line, p + 1)) ++fails;
    const std::string text = "execvp: No such file or directory\n";
    for (size_t p = err.find(text); p != std::string::npos; p = err.find(text, p + 1)) ++texts;
    EXPECT_EQ(fails, 2u) << err;
    EXPECT_EQ(texts, 2u) << err;
    // A line for each failing rank, and one that names a missing remote shell.
    size_t ranks = 0, said = 0;
    for (size_t p = err.find("tarvo: rank "); p != std::string::npos; p = err.find("tarvo: rank ", p + 1)) {
      const std::string rest = err.substr(p, err.find('\n', p) + 1 - p);
      EXPECT_EQ(rest.substr(rest.size() - 22), " exited with status 1\n") << err;
      said += rest.size();
      ++ranks;
    }
    EXPECT_EQ(ranks, 2u) << err;
    std::string shell;
    if (c.message != "no machine") {
      shell = "tarvo: cannot start the remote shell " + c.message + ": it is not on the PATH" +
              (c.message == "rsh" ? " (-ssh chooses ssh)" : "") + "\n";
      EXPECT_EQ(err.find(shell), 0u) << err;
    }
    EXPECT_EQ(err.size(), 2 * (line.size() + text.size()) + said + shell.size()) << err;
  }
}

// The write end of a pipe that tarvo reads as its machine file, so that the
// test decides what the reading finds and when; -1 when tarvo never opens it.
int OpenFifoWriter(const std::string& fifo) {
  int fd = -1;
  support::WaitUntil(30000, [&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });  // ENXIO until tarvo opens it
  return fd;
}

// Names that stop resolving after the first process: one whole pass finds
// nothing, and the spawning stops instead of rereading for ever.
TEST_F(SpawnRun, APassWithoutUsableHostStopsTheSpawning) {
  std::string fifo = dir_ + "/hosts";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  harness::LauncherRun run({"-np", "3", "-mf", "hosts", "prog"}, Opts());
  int fd = OpenFifoWriter(fifo);
  ASSERT_GE(fd, 0) << "tarvo never opened its machine file";
  // The first pass finds a host; every later one meets an unknown name only.
  const char words[] = "localhost\ngone..invalid\n";
  ASSERT_EQ(write(fd, words, sizeof words - 1), static_cast<ssize_t>(sizeof words - 1));
  close(fd);
  EXPECT_EQ(run.Wait(), 255);
  EXPECT_EQ(run.Stdout(),
            "ERROR-Host: gone..invalid does NOT exists\nERROR-Please check you machinefile\n"
            "ERROR-Control Process: no usable host left in machinefile: hosts\n");
  // Every host is chosen before the first process starts: nothing ran.
  EXPECT_EQ(run.CountRecords(), 0);
}

}  // namespace
