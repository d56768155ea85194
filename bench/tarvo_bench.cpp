// tarvo_bench: what a user of the launcher feels, each figure beside a floor
// measured in the same run on the same machine.
//
//   tarvo_bench --tarvo-bin DIR --bench-bin DIR --out DIR [--quick]
//               [--only launch,hostlaunch,served,sync,address,console,memory,output] [--no-pin]
//
// Launch figures time whole commands: `tarvo -np N noop` against the bench's
// own minimal launchers (floor_launch). Service figures start the real tarvo
// with the holding program `peer`, read the live ports from it, and play the
// processes of the run from this program, one socket per process; the floors
// are the bench's own servers (floor_sync, floor_echo) fed the same
// datagrams by the same code. Every figure is a median over repeated runs,
// the variants interleaved so that a drift of the machine hits all alike.
// The table goes to standard output and, as text and CSV, to the out
// directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"

namespace {

struct Settings {
  std::string tarvoBin;  // tarvo and carrier
  std::string benchBin;  // noop, hop, peer, floor_*
  std::string outDir;
  std::string kept;      // the figures kept for this machine's size (CSV), or empty
  bool quick = false;
  bool pin = true;
  std::set<std::string> only;  // empty: every section
};

Settings settings;

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Die(const std::string& what) {
  fprintf(stderr, "tarvo_bench: %s\n", what.c_str());
  exit(1);
}

// ---------------------------------------------------------------- processes

int CpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

// Pins the calling process to one CPU; -1 frees it again.
void PinTo(int cpu) {
  if (!settings.pin || CpuCount() < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu < 0) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    for (long c = 0; c < n && c < CPU_SETSIZE; ++c) CPU_SET(static_cast<int>(c), &set);
  } else {
    CPU_SET(cpu, &set);
  }
  sched_setaffinity(0, sizeof set, &set);
}

struct Command {
  std::vector<std::string> argv;
  std::string cwd;                // empty: the bench's own
  std::vector<std::string> env;   // added to (or replacing) the bench's environment
  int in = -1;                    // descriptor for standard input; -1: /dev/null
  std::string out = "/dev/null";  // standard output
  std::string err;                // standard error; empty: the bench's
  int cpu = -1;                   // pin the command to this CPU
};

std::string PathWithTarvo() {
  const char* path = getenv("PATH");
  return "PATH=" + settings.tarvoBin + ":" + (path ? path : "/usr/bin:/bin");
}

// Starts a command; the bench is single-threaded, so the child may use
// anything before its exec.
pid_t Start(const Command& c) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const std::string& mine : c.env) {
      if (entry.compare(0, entry.find('=') + 1, mine, 0, mine.find('=') + 1) == 0) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), c.env.begin(), c.env.end());
  std::vector<char*> argv, envp;
  std::vector<std::string> words = c.argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) Die("fork: " + std::string(strerror(errno)));
  if (pid > 0) return pid;
  if (c.cpu >= 0) PinTo(c.cpu); else PinTo(-1);
  if (!c.cwd.empty() && chdir(c.cwd.c_str()) != 0) _exit(126);
  int in = c.in >= 0 ? c.in : open("/dev/null", O_RDONLY);
  int out = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  if (!c.err.empty()) {
    int err = open(c.err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err < 0) _exit(126);
    dup2(err, 2);
  }
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

struct Ended {
  int status = -1;
  double seconds = 0;
  long maxRssKB = 0;  // the command's peak resident size (and of what it reaped)
};

Ended Wait(pid_t pid, double started) {
  Ended e;
  rusage usage;
  memset(&usage, 0, sizeof usage);
  while (wait4(pid, &e.status, 0, &usage) < 0) {
    if (errno != EINTR) Die("wait4: " + std::string(strerror(errno)));
  }
  e.seconds = Now() - started;
  e.maxRssKB = usage.ru_maxrss;
  return e;
}

Ended RunTimed(const Command& c) {
  double started = Now();
  pid_t pid = Start(c);
  return Wait(pid, started);
}

bool WaitForFile(const std::string& path, double seconds) {
  double end = Now() + seconds;
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (Now() > end) return false;
    usleep(2000);
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Scratch() {
  static std::string dir;
  if (dir.empty()) {
    char templ[] = "/tmp/tarvo-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) Die("mkdtemp");
    dir = templ;
  }
  return dir;
}

// A server of the service figures: tarvo holding its rank 0, or a floor.
struct Server {
  pid_t pid = -1;
  int hold = -1;  // write end of tarvo's standard input
  std::string host = "127.0.0.1";
  int syncPort = 0, addressPort = 0, consolePort = 0, port = 0;

  void Stop() {
    if (pid <= 0) return;
    const bool tarvo = hold >= 0;
    if (tarvo) {
      close(hold);  // rank 0 ends, and tarvo with it
      hold = -1;
    } else {
      kill(pid, SIGTERM);
    }
    Ended e = Wait(pid, Now());
    if (tarvo && !(WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0)) {
      fprintf(stderr, "tarvo_bench: tarvo ended with wait status %d\n", e.status);
    }
    pid = -1;
  }
};

const int kServerCpu = 1;
const int kClientCpu = 0;

Server StartTarvo(int n, const std::string& label) {
  static int serial = 0;
  std::string ports = Scratch() + "/ports-" + label + "-" + std::to_string(++serial);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) Die("pipe");
  Command c;
  c.argv = {settings.tarvoBin + "/tarvo", "-np", std::to_string(n), "peer"};
  c.cwd = settings.benchBin;
  c.env = {PathWithTarvo(), "TARVO_BENCH_PORTS=" + ports};
  c.in = pipefd[0];
  c.err = Scratch() + "/tarvo.err";
  c.cpu = kServerCpu;
  Server s;
  s.pid = Start(c);
  close(pipefd[0]);
  s.hold = pipefd[1];
  if (!WaitForFile(ports, 30)) Die("tarvo -np " + std::to_string(n) + " peer did not start (see " + c.err + ")");
  std::istringstream in(ReadFile(ports));
  int size = 0;
  in >> s.host >> s.syncPort >> s.addressPort >> s.consolePort >> size;
  if (!in || size != n) Die("unreadable ports from peer: " + ports);
  return s;
}

Server StartFloor(const std::string& program, const std::string& arg, const std::string& label) {
  static int serial = 0;
  std::string portFile = Scratch() + "/port-" + label + "-" + std::to_string(++serial);
  Command c;
  c.argv = {settings.benchBin + "/" + program, arg, portFile};
  c.cpu = kServerCpu;
  Server s;
  s.pid = Start(c);
  if (!WaitForFile(portFile, 10)) Die(program + " did not start");
  s.port = atoi(ReadFile(portFile).c_str());
  return s;
}

// ---------------------------------------------------------------- sockets

int ClientSocket() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) Die("socket");
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("bind");
  timeval limit = {2, 0};  // a lost datagram ends the figure, not the bench
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return s;
}

sockaddr_in Destination(const std::string& host, int port) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr(host.c_str());
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// One request and its answer; the answer's length, or -1 when none came.
int Exchange(int s, const sockaddr_in& to, const void* request, size_t length, char* answer, size_t capacity) {
  if (sendto(s, request, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) return -1;
  ssize_t got = recv(s, answer, capacity, 0);
  return static_cast<int>(got);
}

// ---------------------------------------------------------------- results

struct Row {
  std::string section;
  std::string figure;
  double value = 0;
  std::string unit;
  std::string floorName;
  double floorValue = 0;
  bool higherIsBetter = false;  // rates: the ratio is floor / value
  bool failed = false;

  // Cost against the floor: above 1 means slower (or bigger) than the floor.
  double Ratio() const {
    if (failed || value <= 0 || floorValue <= 0) return 0;
    return higherIsBetter ? floorValue / value : value / floorValue;
  }
};

std::vector<Row> rows;

void Add(const Row& r) {
  rows.push_back(r);
  char ratio[32];
  if (r.Ratio() > 0) {
    snprintf(ratio, sizeof ratio, "%.2f", r.Ratio());
  } else {
    snprintf(ratio, sizeof ratio, "-");
  }
  fprintf(stderr, "  %-38s %12.4g %-8s | %-22s %12.4g | %s%s\n", r.figure.c_str(), r.value, r.unit.c_str(),
          r.floorName.c_str(), r.floorValue, ratio, r.failed ? " FAILED" : "");
}

bool Wanted(const std::string& section) { return settings.only.empty() || settings.only.count(section) > 0; }

int Reps(int full, int quick) { return settings.quick ? quick : full; }

// Measures tarvo (round(true)) and its floor (round(false)) in turns, 11
// times (3 when quick); the seconds of each round go to *a and *b. False
// when a round failed.
template <typename Round>
bool Alternate(Round round, std::vector<double>* a, std::vector<double>* b) {
  bool ok = true;
  for (int rep = 0; rep < Reps(11, 3); ++rep) {
    double x = round(true);
    double y = round(false);
    if (x < 0 || y < 0) ok = false;
    a->push_back(x);
    b->push_back(y);
  }
  return ok;
}

// A rate against its floor, from the median seconds of one operation.
Row RateRow(const std::string& section, const std::string& figure, const std::string& floorName,
            const std::vector<double>& a, const std::vector<double>& b, bool failed) {
  Row r;
  r.section = section;
  r.figure = figure;
  r.value = 1.0 / Median(a);
  r.unit = "/s";
  r.floorName = floorName;
  r.floorValue = 1.0 / Median(b);
  r.higherIsBetter = true;
  r.failed = failed;
  return r;
}

// ---------------------------------------------------------------- launch

struct Variant {
  std::string name;
  std::function<Command(int)> command;
  std::vector<double> seconds;
  std::vector<double> rssKB;
  bool failed = false;
};

// The launches start `noop` unless told `noop_bare`: the same no-op linked
// against musl where the build has it, whose start is the exec alone. On a
// virtual machine glibc's static start traps to the hypervisor on every
// query of the processor's caches (about 0.7 ms of processor time a
// process, against 0.1 ms for musl's), so 1000 glibc no-ops keep both cores
// of a small machine busy whoever starts them, and the launcher's own share
// shows only beside the bare one.
Command TarvoLaunch(int n, const std::string& program = "noop", const std::string& setting = "") {
  Command c;
  c.argv = {settings.tarvoBin + "/tarvo", "-np", std::to_string(n), program};
  c.cwd = settings.benchBin;
  c.env = {PathWithTarvo()};
  if (!setting.empty()) c.env.push_back(setting);
  c.err = Scratch() + "/launch.err";
  return c;
}

Command FloorLaunch(const std::string& mode, int n, const std::string& program = "noop") {
  Command c;
  c.argv = {settings.benchBin + "/floor_launch", mode, std::to_string(n)};
  if (mode == "hop" || mode == "spawnhop") c.argv.push_back(settings.benchBin + "/hop");
  c.argv.push_back(settings.benchBin + "/" + program);
  c.err = Scratch() + "/launch.err";
  return c;
}

// MPICH's launcher starting the same no-ops on this host, where it is
// installed: the peer that a launcher's start is held against.
bool HaveHydra() { return access("/usr/bin/mpiexec.hydra", X_OK) == 0; }

Command HydraLaunch(int n) {
  Command c;
  c.argv = {"/usr/bin/mpiexec.hydra", "-launcher", "fork", "-n", std::to_string(n), settings.benchBin + "/noop"};
  c.cwd = settings.benchBin;
  c.err = Scratch() + "/launch.err";
  return c;
}

void MeasureLaunches(std::vector<Variant>* variants, int n, int reps) {
  for (int r = 0; r < reps; ++r) {
    for (Variant& v : *variants) {
      Ended e = RunTimed(v.command(n));
      if (!WIFEXITED(e.status) || WEXITSTATUS(e.status) != 0) v.failed = true;
      v.seconds.push_back(e.seconds);
      v.rssKB.push_back(static_cast<double>(e.maxRssKB));
    }
  }
}

// The repetitions of a launch of n processes.
int LaunchReps(int n) { return n >= 1000 ? Reps(9, 2) : n >= 100 ? Reps(21, 3) : Reps(31, 5); }

// MeasureLaunches after one launch of one process each, not counted, that
// warms the caches and the page cache.
void MeasureWarm(std::vector<Variant>* variants, int n, int reps) {
  MeasureLaunches(variants, 1, 1);
  for (Variant& each : *variants) each.seconds.clear();
  MeasureLaunches(variants, n, reps);
}

// The median wall time of `tarvo`'s launches against `floor`'s, in ms.
Row WallRow(const std::string& section, const std::string& figure, const Variant& tarvo, const Variant& floor) {
  Row r;
  r.section = section;
  r.figure = figure;
  r.value = Median(tarvo.seconds) * 1e3;
  r.unit = "ms";
  r.floorName = floor.name;
  r.floorValue = Median(floor.seconds) * 1e3;
  r.failed = tarvo.failed || floor.failed;
  return r;
}

// One row of 1000 bare no-ops: tarvo's start against one floor's.
void BareRow(const std::string& section, const std::string& figure, const std::function<Command(int)>& tarvo,
             const std::string& floorName, const std::function<Command(int)>& floor) {
  std::vector<Variant> v = {{"tarvo", tarvo, {}, {}, false}, {floorName, floor, {}, {}, false}};
  MeasureWarm(&v, 1000, Reps(15, 3));
  Add(WallRow(section, figure, v[0], v[1]));
}

void Launch() {
  fprintf(stderr, "launch: tarvo -np N noop against fork/exec/wait floors\n");
  const int counts[] = {1, 10, 100, 1000};
  for (int n : counts) {
    std::vector<Variant> v = {
        {"tarvo", [](int k) { return TarvoLaunch(k); }, {}, {}, false},
        {"fork floor", [](int k) { return FloorLaunch("fork", k); }, {}, {}, false},
        {"hop floor", [](int k) { return FloorLaunch("hop", k); }, {}, {}, false},
        {"posix_spawn floor", [](int k) { return FloorLaunch("spawn", k); }, {}, {}, false},
        {"posix_spawn+hop floor", [](int k) { return FloorLaunch("spawnhop", k); }, {}, {}, false},
    };
    // What the ranks' terminals cost the launch: the same run writing to
    // tarvo's own streams.
    if (n >= 100) v.push_back({"TARVO_PTY=0", [](int k) { return TarvoLaunch(k, "noop", "TARVO_PTY=0"); }, {}, {}, false});
    if (n <= 10 && HaveHydra()) v.push_back({"mpiexec.hydra", HydraLaunch, {}, {}, false});
    MeasureWarm(&v, n, LaunchReps(n));
    double tarvo = Median(v[0].seconds);
    std::string np = "N=" + std::to_string(n);
    for (size_t k = 1; k < v.size(); ++k) {
      Row r = WallRow("launch", "launch " + np + " wall", v[0], v[k]);
      if (v[k].name == "TARVO_PTY=0") {
        r.figure = "launch " + np + " wall, terminals";
        Add(r);
        continue;
      }
      if (k <= 2 || v[k].name == "mpiexec.hydra") Add(r);
      if (n >= 10 && v[k].name != "mpiexec.hydra") {
        r.figure = "launch " + np + " per process";
        r.value = tarvo * 1e3 / n;
        r.floorValue = Median(v[k].seconds) * 1e3 / n;
        Add(r);
      }
    }
  }
  BareRow("launch", "launch N=1000 bare wall", [](int k) { return TarvoLaunch(k, "noop_bare"); }, "hop floor",
          [](int k) { return FloorLaunch("hop", k, "noop_bare"); });
}

// ---------------------------------------------------------------- launch modes

// tarvo in host mode: on the launcher's own host every rank one exec.
Command HostModeLaunch(int n, const std::string& program = "noop") {
  Command c = TarvoLaunch(n, program);
  c.env.push_back("TARVO_LAUNCH=host");
  return c;
}

void HostLaunch() {
  fprintf(stderr, "hostlaunch: TARVO_LAUNCH=host tarvo -np N noop against the fork/exec/wait floor\n");
  for (int n : {1, 10, 100, 1000}) {
    std::vector<Variant> v = {
        {"tarvo host mode", [](int k) { return HostModeLaunch(k); }, {}, {}, false},
        {"fork floor", [](int k) { return FloorLaunch("fork", k); }, {}, {}, false},
    };
    if (n <= 10 && HaveHydra()) v.push_back({"mpiexec.hydra", HydraLaunch, {}, {}, false});
    MeasureWarm(&v, n, LaunchReps(n));
    for (size_t k = 1; k < v.size(); ++k) {
      Add(WallRow("hostlaunch", "host-mode launch N=" + std::to_string(n) + " wall", v[0], v[k]));
    }
  }
  BareRow("hostlaunch", "host-mode launch N=1000 bare wall", [](int k) { return HostModeLaunch(k, "noop_bare"); },
          "fork floor", [](int k) { return FloorLaunch("fork", k, "noop_bare"); });
}

// ---------------------------------------------------------------- served

// A dynamically linked no-op, which may load an MPI library and is served
// PMIx by default, against the same run told to serve nothing
// (TARVO_PMIX=0): what serving every such program costs a run that does
// not use it.
void Served() {
  fprintf(stderr, "served: tarvo -np N noop_dynamic, served PMIx by default, against TARVO_PMIX=0\n");
  for (int n : {1, 100, 1000}) {
    auto launch = [](int k, const char* pmix) {
      Command c = TarvoLaunch(k, "./noop_dynamic");
      if (pmix != nullptr) c.env.push_back(pmix);
      return c;
    };
    std::vector<Variant> v = {
        {"tarvo", [&](int k) { return launch(k, nullptr); }, {}, {}, false},
        {"TARVO_PMIX=0", [&](int k) { return launch(k, "TARVO_PMIX=0"); }, {}, {}, false},
    };
    MeasureWarm(&v, n, LaunchReps(n));
    Add(WallRow("served", "served launch N=" + std::to_string(n) + " wall", v[0], v[1]));
  }
}

// ---------------------------------------------------------------- memory

void Memory() {
  fprintf(stderr, "memory: peak resident size of tarvo -np N noop\n");
  const int counts[] = {1, 100, 2000};
  double first = 0;
  for (int n : counts) {
    std::vector<Variant> v = {
        {"tarvo", [](int k) { return TarvoLaunch(k); }, {}, {}, false},
        {"fork floor launcher", [](int k) { return FloorLaunch("fork", k); }, {}, {}, false},
    };
    MeasureLaunches(&v, n, n >= 2000 ? Reps(5, 1) : Reps(7, 3));
    Row r;
    r.section = "memory";
    r.figure = "peak RSS N=" + std::to_string(n);
    r.value = Median(v[0].rssKB);
    r.unit = "KiB";
    r.floorName = v[1].name;
    r.floorValue = Median(v[1].rssKB);
    r.failed = v[0].failed || v[1].failed;
    Add(r);
    if (n == 1) first = r.value;
    if (n == 2000) {
      Row g;
      g.section = "memory";
      g.figure = "RSS growth per process, N=1 to 2000";
      g.value = (r.value - first) * 1024.0 / 1999.0;
      g.unit = "bytes";
      g.floorName = "none";
      Add(g);
    }
  }
}

// ---------------------------------------------------------------- sync

// Plays n processes: each sends its request from its own socket, then each
// waits for its release. Seconds per meeting over `meetings`, or -1 when a
// datagram was lost.
double Meetings(const std::vector<int>& socks, const sockaddr_in& to, int meetings) {
  const int n = static_cast<int>(socks.size());
  SyncMessage request;
  memset(&request, 0, sizeof request);
  request.code = Msg_TopologyGather;
  char raw[sizeof request];
  char release[sizeof(SyncMessage) + 1];
  double started = Now();
  for (int m = 0; m < meetings; ++m) {
    for (int r = 0; r < n; ++r) {
      request.rank = r;
      memcpy(raw, &request, sizeof raw);
      if (sendto(socks[static_cast<size_t>(r)], raw, sizeof raw, 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        return -1;
      }
    }
    for (int r = 0; r < n; ++r) {
      if (recv(socks[static_cast<size_t>(r)], release, sizeof release, 0) != static_cast<ssize_t>(sizeof(SyncMessage)))
        return -1;
    }
  }
  return (Now() - started) / meetings;
}

void Sync() {
  fprintf(stderr, "synchronisation: meetings of N processes\n");
  PinTo(kClientCpu);
  const int counts[] = {2, 4, 16, 64};
  for (int n : counts) {
    Server real = StartTarvo(n, "sync");
    Server floor = StartFloor("floor_sync", std::to_string(n), "sync");
    std::vector<int> socks;
    for (int r = 0; r < n; ++r) socks.push_back(ClientSocket());
    sockaddr_in toReal = Destination(real.host, real.syncPort);
    sockaddr_in toFloor = Destination(real.host, floor.port);
    // About a fifth of a second per batch on this kind of machine.
    int meetings = std::max(20, 12000 / (n * 4));
    if (settings.quick) meetings = std::max(10, meetings / 3);
    Meetings(socks, toReal, 20);
    Meetings(socks, toFloor, 20);
    std::vector<double> a, b;
    bool failed = !Alternate([&](bool t) { return Meetings(socks, t ? toReal : toFloor, meetings); }, &a, &b);
    for (int s : socks) close(s);
    real.Stop();
    floor.Stop();
    Row r = RateRow("sync", "meetings N=" + std::to_string(n), "gather-and-release", a, b, failed);
    Add(r);
    Row t = r;
    t.figure = "time of a meeting N=" + std::to_string(n);
    t.value = Median(a) * 1e6;
    t.unit = "us";
    t.floorValue = Median(b) * 1e6;
    t.higherIsBetter = false;
    Add(t);
  }
  PinTo(-1);
}

// ---------------------------------------------------------------- address

AddressMessage Request(int code, int fd) {
  AddressMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.fd = fd;
  if (code == JOIN) {
    m.tag = fd;
    snprintf(m.ip, sizeof m.ip, "127.0.0.1");
    snprintf(m.hostname, sizeof m.hostname, "bench");
    m.port = 20000 + fd % 40000;
  }
  return m;
}

const size_t kAnswerCapacity = 65536;

// Seconds per request of `cycles` rounds of JOIN, ADDRESS and LEAVE for
// identifiers that no one else holds; -1 when an answer was lost or wrong.
// `check` is false against the echo, which answers with the request.
double RequestRounds(int s, const sockaddr_in& to, int cycles, int firstFd, bool check) {
  static char answer[kAnswerCapacity];
  const int codes[3] = {JOIN, ADDRESS, LEAVE};
  const int acks[3] = {JOINACK, ADDRESSACK, LEAVEACK};
  double started = Now();
  for (int c = 0; c < cycles; ++c) {
    for (int k = 0; k < 3; ++k) {
      AddressMessage m = Request(codes[k], firstFd + c);
      char raw[sizeof m];
      memcpy(raw, &m, sizeof raw);
      int got = Exchange(s, to, raw, sizeof raw, answer, sizeof answer);
      if (got != static_cast<int>(sizeof m)) return -1;
      if (check) {
        AddressMessage a;
        memcpy(&a, answer, sizeof a);
        if (a.code != acks[k] || a.fd != firstFd + c) return -1;
      }
    }
  }
  return (Now() - started) / (3.0 * cycles);
}

// Median seconds of one table reply of `expect` bytes; -1 when one was lost.
double TableReplies(int s, const sockaddr_in& to, int count, int expect) {
  static char answer[kAnswerCapacity];
  AddressMessage m = Request(ADDRESS, 998);
  char raw[sizeof m];
  memcpy(raw, &m, sizeof raw);
  std::vector<double> times;
  for (int k = 0; k < count; ++k) {
    double started = Now();
    int got = Exchange(s, to, raw, sizeof raw, answer, sizeof answer);
    times.push_back(Now() - started);
    if (got != expect) return -1;
  }
  return Median(times);
}

bool Register(int s, const sockaddr_in& to, int from, int to_fd) {
  static char answer[kAnswerCapacity];
  for (int fd = from; fd <= to_fd; ++fd) {
    AddressMessage m = Request(JOIN, fd);
    char raw[sizeof m];
    memcpy(raw, &m, sizeof raw);
    if (Exchange(s, to, raw, sizeof raw, answer, sizeof answer) != static_cast<int>(sizeof m)) return false;
  }
  return true;
}

void Address() {
  fprintf(stderr, "address service: JOIN/ADDRESS/LEAVE and table replies\n");
  PinTo(kClientCpu);
  Server real = StartTarvo(1, "address");
  Server echo = StartFloor("floor_echo", "0", "echo");
  Server echo100 = StartFloor("floor_echo", std::to_string(176 + 172 * 100), "echo100");
  Server echo379 = StartFloor("floor_echo", std::to_string(176 + 172 * 379), "echo379");
  int s = ClientSocket();
  sockaddr_in toReal = Destination(real.host, real.addressPort);
  bool failed = !Register(s, toReal, 1, 100);  // a registry of a run of 100

  int cycles = settings.quick ? 500 : 2000;
  std::vector<double> a, b;
  RequestRounds(s, toReal, 50, 1000, true);
  const sockaddr_in toEcho176 = Destination(real.host, echo.port);
  RequestRounds(s, toEcho176, 50, 1000, false);
  if (!Alternate([&](bool t) { return RequestRounds(s, t ? toReal : toEcho176, cycles, 1000, t); }, &a, &b)) failed = true;
  Add(RateRow("address", "JOIN/ADDRESS/LEAVE, 100 registered", "echo 176 B", a, b, failed));

  const int tables[2] = {100, 379};
  Server* echoes[2] = {&echo100, &echo379};
  for (int t = 0; t < 2; ++t) {
    int entries = tables[t];
    if (entries > 100 && !Register(s, toReal, 101, entries)) failed = true;
    int expect = 176 + 172 * entries;
    sockaddr_in toEcho = Destination(real.host, echoes[t]->port);
    int count = settings.quick ? 200 : 1000;
    TableReplies(s, toReal, 20, expect);
    TableReplies(s, toEcho, 20, expect);
    std::vector<double> x, y;
    for (int rep = 0; rep < Reps(9, 2); ++rep) {
      x.push_back(TableReplies(s, toReal, count, expect));
      y.push_back(TableReplies(s, toEcho, count, expect));
    }
    Row tr;
    tr.section = "address";
    tr.figure = "table reply of " + std::to_string(entries) + " entries";
    tr.value = Median(x) * 1e6;
    tr.unit = "us";
    tr.floorName = "echo " + std::to_string(expect) + " B";
    tr.floorValue = Median(y) * 1e6;
    tr.failed = failed || *std::min_element(x.begin(), x.end()) < 0 || *std::min_element(y.begin(), y.end()) < 0;
    Add(tr);
  }
  close(s);
  real.Stop();
  echo.Stop();
  echo100.Stop();
  echo379.Stop();
  PinTo(-1);
}

// ---------------------------------------------------------------- console

// Seconds per console datagram with its acknowledgement; -1 when one was lost.
double ConsoleRounds(int s, const sockaddr_in& to, int count) {
  static const char line[] = "rank 0: a line of console text from the bench\n";
  char ack[16];
  double started = Now();
  for (int k = 0; k < count; ++k) {
    if (Exchange(s, to, line, sizeof line - 1, ack, sizeof ack) != 1) return -1;
  }
  return (Now() - started) / count;
}

void Console() {
  fprintf(stderr, "console: datagrams with their acknowledgements\n");
  PinTo(kClientCpu);
  Server real = StartTarvo(1, "console");
  Server echo = StartFloor("floor_echo", "1", "ack");
  int s = ClientSocket();
  sockaddr_in toReal = Destination(real.host, real.consolePort);
  sockaddr_in toEcho = Destination(real.host, echo.port);
  int count = settings.quick ? 1500 : 6000;
  ConsoleRounds(s, toReal, 100);
  ConsoleRounds(s, toEcho, 100);
  std::vector<double> a, b;
  bool failed = !Alternate([&](bool t) { return ConsoleRounds(s, t ? toReal : toEcho, count); }, &a, &b);
  close(s);
  real.Stop();
  echo.Stop();
  Add(RateRow("console", "console datagrams, 47 B + ack", "echo 1 B", a, b, failed));
  PinTo(-1);
}

// ---------------------------------------------------------------- ranks' output

// `tarvo -np N writer LINES` with its output to a file: with `setting`
// (TARVO_PTY=0: the ranks write to the file themselves; TARVO_LABEL=1), or
// by default through each rank's terminal and the relay.
Command TarvoOutput(int n, long lines, const std::string& setting) {
  Command c;
  c.argv = {settings.tarvoBin + "/tarvo", "-np", std::to_string(n), "writer", std::to_string(lines)};
  c.cwd = settings.benchBin;
  c.env = {PathWithTarvo(), "TARVO_LABEL=0", "TARVO_PTY=1"};
  if (!setting.empty()) c.env.push_back(setting);
  c.out = Scratch() + "/output.txt";
  c.err = Scratch() + "/output.err";
  return c;
}

// Open MPI's mpirun running the same writers, each through a terminal of its
// own too, where it is installed.
bool HaveMpirun() { return access("/usr/bin/mpirun.openmpi", X_OK) == 0; }

Command MpirunOutput(int n, long lines) {
  Command c;
  c.argv = {"/usr/bin/mpirun.openmpi", "--oversubscribe", "-np", std::to_string(n), settings.benchBin + "/writer",
            std::to_string(lines)};
  if (geteuid() == 0) c.argv.insert(c.argv.begin() + 1, "--allow-run-as-root");
  c.cwd = settings.benchBin;
  c.out = Scratch() + "/output.txt";
  c.err = Scratch() + "/output.err";
  return c;
}

void Output() {
  fprintf(stderr, "output: the ranks' lines through their terminals and the relay, against TARVO_PTY=0 and mpirun\n");
  const long totalLines = settings.quick ? 250000 : 1000000;  // of 64 bytes
  for (int n : {1, 64}) {
    const long lines = totalLines / n;
    const double mebibytes = 64.0 * static_cast<double>(lines * n) / (1 << 20);
    const double allLines = static_cast<double>(lines * n);
    struct Way {
      const char* name;
      Command command;
      std::vector<double> seconds;
      bool failed;
    };
    std::vector<Way> ways = {
        {"terminals", TarvoOutput(n, lines, ""), {}, false},
        {"TARVO_PTY=0", TarvoOutput(n, lines, "TARVO_PTY=0"), {}, false},
        {"labelled", TarvoOutput(n, lines, "TARVO_LABEL=1"), {}, false},
    };
    if (HaveMpirun()) ways.push_back({"mpirun", MpirunOutput(n, lines), {}, false});
    RunTimed(ways[0].command);  // warm the page cache
    for (int rep = 0; rep < Reps(7, 3); ++rep) {
      for (Way& w : ways) {
        Ended e = RunTimed(w.command);
        if (!WIFEXITED(e.status) || WEXITSTATUS(e.status) != 0) w.failed = true;
        w.seconds.push_back(e.seconds);
      }
    }
    const std::string np = "N=" + std::to_string(n);
    auto rate = [&](const std::string& figure, double amount, const char* unit, const Way& a, const Way& floor) {
      Row r;
      r.section = "output";
      r.figure = figure;
      r.value = amount / Median(a.seconds);
      r.unit = unit;
      r.floorName = floor.name;
      r.floorValue = amount / Median(floor.seconds);
      r.higherIsBetter = true;
      r.failed = a.failed || floor.failed;
      Add(r);
    };
    rate("output " + np + ", terminals", mebibytes, "MiB/s", ways[0], ways[1]);
    rate("output " + np + " lines, terminals", allLines, "lines/s", ways[0], ways[1]);
    rate("output " + np + ", labelled", mebibytes, "MiB/s", ways[2], ways[1]);
    if (ways.size() > 3) rate("output " + np + ", terminals vs mpirun", mebibytes, "MiB/s", ways[0], ways[3]);
  }
}

// ---------------------------------------------------------------- output

// ---------------------------------------------------------------- placement

// The price of a wrong placement and the dry run's time. An OpenMP kernel
// of two threads in one rank: TARVO_CPUS_PER_RANK=2 gives the rank two
// cores, TARVO_BIND=core alone one, which its two threads share (the
// figure; the floor is the right placement). And the map of 2000 ranks over
// 1000 machine-file hosts (TARVO_PPN=2, bound to cores) that TARVO_DRY_RUN
// prints, against the dry run of two ranks on one host.
Command PlacedKernel(const std::string& setting) {
  Command c;
  c.argv = {settings.tarvoBin + "/tarvo", "-np", "1", settings.benchBin + "/omp_kernel"};
  c.cwd = settings.benchBin;
  c.env = {PathWithTarvo(), "OMP_NUM_THREADS=2", setting};
  c.err = Scratch() + "/placement.err";
  return c;
}

Command DryRun(int ranks, const std::string& hosts) {
  Command c;
  c.argv = {settings.tarvoBin + "/tarvo", "-np", std::to_string(ranks), "-mf", hosts, "noop"};
  c.cwd = settings.benchBin;
  c.env = {PathWithTarvo(), "TARVO_DRY_RUN=1", "TARVO_PPN=2", "TARVO_BIND=core"};
  c.err = Scratch() + "/dryrun.err";
  return c;
}

void Placement() {
  fprintf(stderr, "placement: an OpenMP kernel's cores, and the dry run's map\n");
  if (access((settings.benchBin + "/omp_kernel").c_str(), X_OK) == 0 && CpuCount() >= 2) {
    std::vector<Variant> v = {
        {"TARVO_CPUS_PER_RANK=2", [](int) { return PlacedKernel("TARVO_CPUS_PER_RANK=2"); }, {}, {}, false},
        {"TARVO_BIND=core", [](int) { return PlacedKernel("TARVO_BIND=core"); }, {}, {}, false},
    };
    MeasureLaunches(&v, 1, Reps(7, 2));
    Add(WallRow("placement", "2 threads, TARVO_BIND=core alone", v[1], v[0]));
  } else {
    fprintf(stderr, "  (no OpenMP kernel or fewer than 2 CPUs: the kernel's row is left out)\n");
  }
  // 1000 loopback addresses: names that resolve without a resolver. The dry
  // run sends nothing to them.
  const std::string many = Scratch() + "/hosts1000", one = Scratch() + "/hosts1";
  {
    std::ofstream out(many);
    for (int h = 0; h < 1000; ++h) out << "127.0." << (h / 250) << "." << (h % 250 + 1) << "\n";
    std::ofstream single(one);
    single << "127.0.0.1\n";
  }
  std::vector<Variant> v = {
      {"2000 ranks", [many](int) { return DryRun(2000, many); }, {}, {}, false},
      {"dry run of 2 ranks", [one](int) { return DryRun(2, one); }, {}, {}, false},
  };
  MeasureLaunches(&v, 1, Reps(9, 2));
  Add(WallRow("placement", "dry run, 2000 ranks on 1000 hosts", v[0], v[1]));
}

std::string Machine() {
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u;
  uname(&u);
  char text[512];
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  snprintf(text, sizeof text, "%s, %ld cores, %s %s %s, load %.2f at start", cpu.c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, u.machine, load[0]);
  return text;
}

std::string Format(double v) {
  char text[32];
  if (v >= 1000) {
    snprintf(text, sizeof text, "%.0f", v);
  } else if (v >= 10) {
    snprintf(text, sizeof text, "%.1f", v);
  } else {
    snprintf(text, sizeof text, "%.3f", v);
  }
  return text;
}

// The ratios kept for this machine's size (bench/kept/<cores>cpu.csv, the
// CSV that this program writes), by figure and floor.
std::map<std::string, double> KeptRatios() {
  std::map<std::string, double> kept;
  std::ifstream in(settings.kept);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    // section,"figure",value,unit,"floor",floor_value,ratio,failed
    const size_t f1 = line.find('"'), f2 = line.find('"', f1 + 1);
    const size_t g1 = line.find('"', f2 + 1), g2 = line.find('"', g1 + 1);
    if (f1 == std::string::npos || f2 == std::string::npos || g1 == std::string::npos || g2 == std::string::npos) {
      continue;
    }
    const std::string key = line.substr(f1 + 1, f2 - f1 - 1) + "|" + line.substr(g1 + 1, g2 - g1 - 1);
    // After the floor's name: its value, then the ratio.
    const size_t ratioAt = line.find(',', g2 + 2);
    if (ratioAt == std::string::npos) continue;
    kept[key] = atof(line.c_str() + ratioAt + 1);
  }
  return kept;
}

void Write(const std::string& machine, double elapsed) {
  const std::map<std::string, double> kept = KeptRatios();
  std::ostringstream text;
  time_t now = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M", localtime(&now));
  text << "tarvo benchmarks, " << date << (settings.quick ? " (quick)" : "") << "\n";
  text << "machine: " << machine << "\n";
  text << "medians; ratio = cost of tarvo / cost of the floor (time over time, or floor rate over tarvo rate)\n\n";
  char line[256];
  snprintf(line, sizeof line, "%-38s %12s %-5s  %-22s %12s  %6s  %6s\n", "figure", "tarvo", "unit", "floor", "floor",
           "ratio", "kept");
  text << line;
  text << std::string(110, '-') << "\n";
  int worse = 0;
  for (const Row& r : rows) {
    char ratio[16] = "";
    if (r.failed) {
      snprintf(ratio, sizeof ratio, "FAILED");
    } else if (r.Ratio() > 0) {
      snprintf(ratio, sizeof ratio, "%.2f", r.Ratio());
    }
    // A ratio more than a tenth above the kept one is marked: a regression
    // shows at a glance.
    char was[24] = "";
    auto k = kept.find(r.figure + "|" + r.floorName);
    if (k != kept.end() && k->second > 0) {
      const bool regressed = !r.failed && r.Ratio() > k->second * 1.1;
      worse += regressed ? 1 : 0;
      snprintf(was, sizeof was, "%.2f%s", k->second, regressed ? "  << WORSE" : "");
    }
    snprintf(line, sizeof line, "%-38s %12s %-5s  %-22s %12s  %6s  %s\n", r.figure.c_str(), Format(r.value).c_str(),
             r.unit.c_str(), r.floorName.c_str(), r.floorValue > 0 ? Format(r.floorValue).c_str() : "",
             ratio, was);
    text << line;
  }
  if (kept.empty()) {
    text << "\n(no figures kept for this machine's size: " << settings.kept << ")\n";
  } else {
    text << "\n" << worse << " ratio" << (worse == 1 ? "" : "s") << " more than a tenth worse than kept ("
         << settings.kept << ")\n";
  }
  snprintf(line, sizeof line, "\n(%.0f s)\n", elapsed);
  text << line;
  fputs(text.str().c_str(), stdout);

  std::ostringstream csv;
  csv << "section,figure,tarvo,unit,floor,floor_value,ratio,failed\n";
  for (const Row& r : rows) {
    char fields[128];
    snprintf(fields, sizeof fields, "%.6g,%s", r.value, r.unit.c_str());
    csv << r.section << ",\"" << r.figure << "\"," << fields << ",\"" << r.floorName << "\",";
    snprintf(fields, sizeof fields, "%.6g,%.4f,%d", r.floorValue, r.Ratio(), r.failed ? 1 : 0);
    csv << fields << "\n";
  }
  if (!settings.outDir.empty()) {
    mkdir(settings.outDir.c_str(), 0755);
    std::ofstream(settings.outDir + "/results.txt") << text.str();
    std::ofstream(settings.outDir + "/results.csv") << csv.str();
    fprintf(stderr, "written: %s/results.txt and results.csv\n", settings.outDir.c_str());
  }
}

void RemoveScratch() {
  std::string dir = Scratch();
  std::string command = "rm -rf '" + dir + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "tarvo_bench: could not remove %s\n", dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--tarvo-bin") {
      settings.tarvoBin = value();
    } else if (a == "--bench-bin") {
      settings.benchBin = value();
    } else if (a == "--out") {
      settings.outDir = value();
    } else if (a == "--kept") {
      settings.kept = value();
    } else if (a == "--quick") {
      settings.quick = true;
    } else if (a == "--no-pin") {
      settings.pin = false;
    } else if (a == "--only") {
      std::stringstream list(value());
      std::string word;
      while (std::getline(list, word, ',')) settings.only.insert(word);
    } else {
      Die("unknown option " + a);
    }
  }
  if (settings.tarvoBin.empty() || settings.benchBin.empty()) {
    Die("usage: tarvo_bench --tarvo-bin DIR --bench-bin DIR [--out DIR] [--quick] [--only LIST] [--no-pin]");
  }
  // The commands run in other directories: every path is made absolute.
  for (std::string* path : {&settings.tarvoBin, &settings.benchBin}) {
    char* real = realpath(path->c_str(), nullptr);
    if (real == nullptr) Die(*path + ": " + strerror(errno));
    *path = real;
    free(real);
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string machine = Machine();
  fprintf(stderr, "machine: %s\n", machine.c_str());
  double started = Now();
  if (Wanted("launch")) Launch();
  if (Wanted("hostlaunch")) HostLaunch();
  if (Wanted("served")) Served();
  if (Wanted("sync")) Sync();
  if (Wanted("address")) Address();
  if (Wanted("console")) Console();
  if (Wanted("memory")) Memory();
  if (Wanted("output")) Output();
  if (Wanted("placement")) Placement();
  Write(machine, Now() - started);
  RemoveScratch();
  return 0;
}
