// tarvo-agent: the launch agent of TARVO_LAUNCH=host. The launcher starts one
// per remote host through one remote shell:
//
//   tarvo-agent LAUNCHER_ADDRESS PORT AGENT
//
// (AGENT "-" in a Slurm step: the task's SLURM_NODEID)
// with the run's secret as the first line of its standard input (a command
// line is visible to every user of the host). The agent connects to the
// launcher, proves itself with the secret, and starts the ranks that the
// launcher sends, each with one fork and one exec, doing for each exactly
// what carrier would (common/carrier_exec.c). It reports every rank's start
// and end, passes on the launcher's signals, labels the ranks' output lines
// when asked, and ends its ranks at once when its connection to the launcher
// is lost: the launcher is gone, and so is the run.
//
// One thread of its own: the ranks' parent-death signal is tied to the thread
// that forked them. A PMIx server (agent_pmix) adds libpmix's threads, so a
// rank's child does only async-signal-safe work on what the loop prepared
// before its fork (common/rank_exec.h).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/agent_inbox.h"
#include "agent/agent_pmi.h"
#include "agent/agent_place.h"
#include "agent/agent_pmix.h"
#include "agent/agent_stacks.h"
#include "common/input_copy.h"
#include "common/agent_wire.h"
#include "common/carrier_exec.h"
#include "common/net_socket.h"
#include "common/signal_mask.h"
#include "common/child_io.h"
#include "common/child_setup.h"
#include "common/rank_exec.h"
#include "common/line_labels.h"
#include "common/stack_wire.h"
#include "common/terminal.h"
#include "pmi/name_wire.h"

namespace {

char hostName[256] = "?";

void Report(const char* what, const char* detail) {
  fprintf(stderr, "tarvo: agent on %s: %s%s%s\n", hostName, what, detail[0] ? ": " : "", detail);
}

// The secret's line, read one byte at a time so that nothing after it is
// taken from standard input: rank 0 reads the rest.
bool ReadSecret(std::string* secret) {
  char c;
  while (secret->size() <= 64) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return !secret->empty();
    *secret += c;
  }
  return false;
}

// An output stream of a rank, relayed in whole lines.
struct Stream {
  int rank;
  int job;  // 0: the run's first job; k: the k-th spawned
  int to;  // 1 or 2
  std::string label;  // before each line; empty without labelling
  std::string partial;
};

class Agent {
 public:
  Agent(int link, int signals, bool slurm) : slurm_(slurm), link_(link), signals_(signals) {}

  int Loop() {
    for (;;) {
      if (allSent_ && ranks_.empty() && streams_.empty() && held_.empty()) return 0;
      std::vector<pollfd> fds = {{link_, POLLIN, 0}, {signals_, POLLIN, 0}};
      for (const auto& s : streams_) fds.push_back({s.first, POLLIN, 0});
      const size_t pmiAt = fds.size();
      pmi_.Fds(&fds);
      const size_t pmixAt = fds.size();
      pmix_.Fds(&fds);
      const size_t stacksAt = fds.size();
      if (stacksFd_ >= 0) fds.push_back({stacksFd_, POLLIN, 0});
      if (poll(fds.data(), fds.size(), stacksFd_ >= 0 ? kStacksPollMs : -1) < 0) {
        if (errno == EINTR) continue;
        return Abandon("poll", strerror(errno));
      }
      if (fds[1].revents & POLLIN) {
        signalfd_siginfo info;
        while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo != SIGCHLD) return Abandon("ended by signal", strsignal(static_cast<int>(info.ssi_signo)));
        }
      }
      // A rank's abort goes out before its end.
      TakeServed(fds.data() + pmiAt, pmixAt - pmiAt, stacksAt - pmixAt);
      TakeStacks();
      for (size_t i = 2; i < pmiAt; ++i) {
        if (fds[i].revents != 0) Drain(fds[i].fd);
      }
      // Output before the end: a rank's last lines precede its report.
      if (!Reap()) return Abandon("the connection to the launcher is lost", "");
      if (fds[0].revents != 0 && !ReadLink()) return 1;
      if (!refusal_.empty()) return Abandon(refusal_.c_str(), "");
    }
  }

 private:
  // The lifeline: without the launcher the run is over.
  int Abandon(const char* what, const char* detail) {
    for (const auto& r : ranks_) SignalGroup(r.first, SIGKILL);
    Report(what, detail);
    return 1;
  }

  // What the ranks' PMI-1 and PMIx servers have to say: `pmiCount` and
  // `pmixCount` descriptors from `fds`, as their Fds put them.
  void TakeServed(pollfd* fds, size_t pmiCount, size_t pmixCount) {
    std::string toLauncher;
    pmi_.OnReady(fds, pmiCount, &toLauncher);
    pmix_.OnReady(fds + pmiCount, pmixCount, &toLauncher);
    Tell(toLauncher);
  }

  // The same, whatever the last poll saw: a rank's abort is posted before
  // the rank may exit, so once its end is reaped, its abort is among these.
  void TakeServedNow() {
    std::vector<pollfd> fds;
    pmi_.Fds(&fds);
    const size_t pmiCount = fds.size();
    pmix_.Fds(&fds);
    if (poll(fds.data(), fds.size(), 0) > 0) TakeServed(fds.data(), pmiCount, fds.size() - pmiCount);
  }

  void Tell(const std::string& bytes) {
    if (!bytes.empty() && !AgentSendAll(link_, bytes)) lost_ = true;
  }

  bool ReadLink() {
    char buffer[65536];
    ssize_t n = recv(link_, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      // A launcher that ends its run on purpose has already ended every
      // rank here; otherwise the lifeline is cut.
      Abandon("the connection to the launcher is lost", "");
      return false;
    }
    std::vector<AgentMessage> messages;
    const bool framed = reader_.Feed(buffer, static_cast<size_t>(n), &messages);
    for (const AgentMessage& m : messages) {
      AgentOrder order;
      if (!AgentReadOrder(m, &order)) framedOk_ = false;
      if (!framedOk_) break;
      Obey(order);
    }
    if (!framed || !framedOk_) {
      Abandon("a malformed message from the launcher", "");
      return false;
    }
    return true;
  }

  void Obey(AgentOrder& order) {
    switch (order.kind) {
      case AgentOrder::kEnv:
        env_ = order.strings;
        break;
      case AgentOrder::kRank:
        Start(order);
        break;
      case AgentOrder::kSpawnRank:
        // Held until every host of the job is ready for it.
        held_[order.job].push_back(std::move(order));
        break;
      case AgentOrder::kSpawnJob:
      case AgentOrder::kPmi1Job: {
        std::string toLauncher;
        const int missing = MissingProgram(order.job);
        if (missing >= 0) {
          held_.erase(order.job);
          AgentJobRank refused{order.job, missing, 0, kAgentJobNoProgram};
          toLauncher = AgentEncode(kAgentJobReady, &refused, sizeof refused);
        } else if (order.kind == AgentOrder::kSpawnJob) {
          pmix_.AddJob(order, &toLauncher);
        } else {
          pmi_.AddJob(order, &toLauncher);
        }
        Tell(toLauncher);
        break;
      }
      case AgentOrder::kJobGo: {
        auto held = held_.find(order.job);
        if (held == held_.end()) break;
        std::vector<AgentOrder> children = std::move(held->second);
        held_.erase(held);
        for (AgentOrder& child : children) {
          if (order.ok && !lost_) Start(child);
        }
        break;
      }
      case AgentOrder::kSpawned: {
        // An MPICH rank's (a ticket below zero) or an Open MPI rank's.
        if (order.ticket >= 0) {
          pmix_.Spawned(order.ticket, order.strings[0]);
          break;
        }
        std::string toLauncher;
        pmi_.Spawned(order.ticket, order.strings[0], order.strings.size() > 1 ? order.strings[1] : "", &toLauncher);
        Tell(toLauncher);
        break;
      }
      case AgentOrder::kPmi1Barrier:
        pmi_.BarrierOf(order.job);
        break;
      case AgentOrder::kPmixNspace:
        pmix_.Nspace(order.strings[0]);
        break;
      case AgentOrder::kSignal:
        for (const auto& r : ranks_) SignalGroup(r.first, order.sig);
        break;
      case AgentOrder::kAllSent:
        allSent_ = true;
        if (!inputTo_.empty() && !StartInputCopy(STDIN_FILENO, inputTo_, inputNames_, kInputCopyBound)) {
          Report("no thread to copy the standard input to the ranks", "");
        }
        inputTo_.clear();
        break;
      case AgentOrder::kPlace:
        placer_.Take(order);
        break;
      case AgentOrder::kJob:
        jobSize_ = order.size;
        hostRanks_ = static_cast<int>(order.clients.size());
        placer_.SetHostRanks(hostRanks_);
        pmi_.SetJob(order);
        pmix_.SetKvsLimit(order.kvsLimitMiB);
        break;
      case AgentOrder::kFencePuts:
        pmi_.FencePuts(order.puts);
        break;
      case AgentOrder::kFenceDone: {
        std::string toLauncher;
        pmi_.FenceDone(&toLauncher);
        Tell(toLauncher);
        break;
      }
      case AgentOrder::kPmixJob: {
        std::string why;
        // Without it the other hosts' fences would wait for this one for
        // ever: the agent ends, and the launcher ends the run naming it. A
        // run that uses no PMIx (every dynamically linked program is served
        // by default) can be told to go without.
        if (!pmix_.SetJob(order, &why)) {
          refusal_ = "cannot serve PMIx to the ranks (Open MPI programs): " + why + " (TARVO_PMIX=0 runs without it)";
        }
        break;
      }
      case AgentOrder::kPmixPart:
        pmix_.Part(order.bytes);
        break;
      case AgentOrder::kPmixDone:
        pmix_.Done();
        break;
      case AgentOrder::kConnected:
        pmix_.Connected(order.ticket, order.ok);
        break;
      case AgentOrder::kNamesAnswer: {
        int32_t ticket = 0;
        pmi::NameTable::Status status;
        std::vector<pmi::PublishedName> found;
        if (!pmi::DecodeNameAnswer(order.bytes, &ticket, &status, &found)) break;
        if (ticket >= 0) {
          pmix_.NamesAnswer(order.bytes);
          break;
        }
        std::string toLauncher;
        pmi_.NameAnswer(ticket, status, found, &toLauncher);
        Tell(toLauncher);
        break;
      }
      case AgentOrder::kPmixFailed:
        pmix_.Fail();
        break;
      case AgentOrder::kPmixSet:
        pmix_.Set(order.pmixRanks);
        break;
      case AgentOrder::kPmixServe:
        pmix_.Serve(order.modex);
        break;
      case AgentOrder::kPmixFetched:
        pmix_.Fetched(order.modex, order.bytes);
        break;
      case AgentOrder::kStacksAsk:
        AskStacks(order.samples);
        break;
      case AgentOrder::kTopologyAsk: {
        std::string why;
        const HostTopology* topology = placer_.Topology(order.bind, order.gpus, &why);
        const std::string payload = AgentStrings({topology != nullptr ? TopologyText(*topology) : "", why});
        Tell(AgentEncode(kAgentTopology, payload.data(), payload.size()));
        break;
      }
    }
  }

  // The call stacks of this host's ranks, read by `tarvo-agent --stacks`
  // (agent_stacks.h) while the loop goes on; one answer per question.
  void AskStacks(int samples) {
    if (stacksFd_ >= 0) return;  // the answer under way answers this one too
    stacksAsked_.clear();
    stacksOf_.clear();
    // The reader knows each process by its place in the question: a
    // spawned job's ranks count from 0 again.
    for (const auto& r : ranks_) {
      stacksAsked_.emplace_back(static_cast<int>(stacksOf_.size()), r.first);
      stacksOf_.push_back(r.second);
    }
    stacksBytes_.clear();
    stacksSince_ = Clock();
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    stacksReader_ = stacksAsked_.empty() ? -1 : StackReaderStart(n > 0 ? self : "tarvo-agent", stacksAsked_, samples, &stacksFd_);
    if (stacksReader_ < 0) AnswerStacks(stacksAsked_.empty() ? "" : "tarvo-agent --stacks could not be started");
  }

  void TakeStacks() {
    while (stacksFd_ >= 0) {
      char buffer[65536];
      const ssize_t got = read(stacksFd_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) break;
      if (got > 0) {
        if (stacksBytes_.size() < static_cast<size_t>(kAgentMaxPayload)) stacksBytes_.append(buffer, static_cast<size_t>(got));
        continue;
      }
      close(stacksFd_);
      stacksFd_ = -1;
      AnswerStacks("tarvo-agent --stacks said nothing of it");
      return;
    }
    // A reader stuck on a rank: tarvo stops waiting after 5 s; answer
    // before, with what there is.
    if (stacksFd_ >= 0 && Clock() - stacksSince_ >= kStacksGiveUp) {
      kill(stacksReader_, SIGKILL);
      close(stacksFd_);
      stacksFd_ = -1;
      AnswerStacks("not read in time");
    }
  }

  // The answer: what the reader wrote of each rank asked (a path per
  // thread, each thread once), `why` for those that it did not write.
  void AnswerStacks(const char* why) {
    std::vector<RankStack> read, answer;
    StackDecode(stacksBytes_, &read);
    for (const auto& r : stacksAsked_) {
      std::set<int> threads;
      for (const RankStack& s : read) {
        if (s.rank != r.first || !threads.insert(s.thread).second) continue;
        answer.push_back(s);
      }
      if (threads.empty()) {
        answer.emplace_back();
        answer.back().why = why;
      }
      for (size_t k = answer.size() - std::max<size_t>(threads.size(), 1); k < answer.size(); ++k) {
        answer[k].rank = stacksOf_[static_cast<size_t>(r.first)].rank;
        answer[k].job = stacksOf_[static_cast<size_t>(r.first)].job;
      }
    }
    const std::string payload = StackEncode(answer);
    Tell(AgentEncode(kAgentStacks, payload.data(), payload.size()));
  }

  // The rank of the first held process of `job` whose program carrier would
  // not find here, from that process's working directory; -1 for none.
  int MissingProgram(int job) const {
    auto held = held_.find(job);
    if (held == held_.end()) return -1;
    for (const AgentOrder& child : held->second) {
      const std::string& program = child.strings[0];
      const std::string& workdir = child.strings.back();
      char file[PATH_MAX];
      const int where = CarrierLookup(program.c_str(), workdir.c_str(), nullptr, file, sizeof file);
      std::string path = where == CARRIER_AS_GIVEN ? program : std::string(file);
      if (!path.empty() && path[0] != '/') path = workdir + "/" + path;
      if (access(path.c_str(), X_OK) != 0) return child.rank;
    }
    return -1;
  }

  static double Clock() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }

  void Start(AgentOrder& order) {
    // The agent's ends first, the rank's second: standard output a terminal
    // with kAgentRankPty (the rank's stdio then buffers by lines), standard
    // error a pipe, so that the streams stay apart.
    int out[2][2] = {{-1, -1}, {-1, -1}};
    const bool label = (order.flags & kAgentRankLabel) != 0;
    const bool pty = (order.flags & kAgentRankPty) != 0;
    for (int k = 0; (label || pty) && k < 2; ++k) {
      std::string err;
      if (k == 0 && pty && !OpenOutputTerminal(nullptr, &out[k][0], &out[k][1], &err) && !saidNoTerminal_) {
        saidNoTerminal_ = true;
        Report("no terminal for a rank's output; it and any other without one write to a pipe", err.c_str());
      }
      if (out[k][0] < 0 && pipe2(out[k], O_CLOEXEC) != 0) out[k][0] = out[k][1] = -1;
    }
    // A spawned job's process: its request's variables, then its server's.
    const int job = order.kind == AgentOrder::kSpawnRank ? order.job : 0;
    std::vector<std::string> pmiEnv = order.env;
    const int keep = job == 0 ? pmi_.PrepareRank(order.rank, &pmiEnv) : pmi_.PrepareChild(job, order.rank, &pmiEnv);
    if (job == 0) pmix_.PrepareRank(order.rank, &pmiEnv);
    else pmix_.PrepareChild(job, order.rank, &pmiEnv);
    const int localId = job == 0 ? started_++ : -1;
    RankPlace place;
    std::vector<std::string> placeEnv;
    std::string refusal;
    const bool placed = job == 0 && placer_.Prepare(order.rank, localId, &place, &placeEnv, &refusal);
    if (!refusal.empty()) {
      // Reported to the launcher as a rank that could not start.
      ChildWrite(STDERR_FILENO, refusal);
      if (!AgentSendAll(link_, EndFrame(job, order.rank, 1, kRankPlaceFailed << 8))) lost_ = true;
      return;
    }
    // Everything the child needs is made here: libpmix's threads may hold
    // the allocator's lock at the fork.
    RankExec x;
    std::vector<std::string> env = RankEnvironment(order, job, localId, pmiEnv);
    if (job == 0) {
      // What the user's own environment says of these stays.
      for (const std::string& e : LocalityEnvironment(order.rank, jobSize_, localId, hostRanks_)) EnvPut(&env, e, true);
    }
    for (const std::string& e : placeEnv) EnvPut(&env, e, e.compare(0, 16, "OMP_NUM_THREADS=") == 0);
    RankExecPrepare(order.strings, std::move(env), "carrier", true, &x);
    if (placed) {
      x.place = &place;
      if (place.bind) EnvPut(&x.env, kMpiLeaveBinding);
    }
    x.tracer = getpid();
    x.Seal();
    ChildSetup setup;
    setup.parent = x.tracer;
    // Ended as a whole; scheduled as its own, but for Open MPI's ranks
    // that the agent serves, which keep its session (the launcher says).
    setup.ownSession = (order.flags & kAgentRankOwnSession) != 0;
    setup.ownGroup = true;
    setup.keepFd = keep;
    // Read at the first start, after libpmix's server has set its handlers.
    if (childSignals_.count == 0) ChildSignalsRead(&childSignals_);
    setup.byDefault = &childSignals_;
    if ((order.flags & kAgentRankStdinCopy) != 0) {
      // Its copy of the agent's standard input, once every rank is in.
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) == 0) {
        setup.stdFds[0] = ends[0];
        inputTo_.push_back(ends[1]);
        inputNames_.push_back("rank " + std::to_string(order.rank));
      }
    } else if ((order.flags & kAgentRankStdin) == 0) {
      setup.stdFds[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    for (int k = 0; k < 2; ++k) setup.stdFds[k + 1] = out[k][1];
    const pid_t pid = fork();
    if (pid == 0) RankExecRun(setup, x);
    const int forkError = errno;
    if (setup.stdFds[0] >= 0) close(setup.stdFds[0]);
    if (job == 0) pmi_.RankStarted(order.rank);
    else pmi_.ChildStarted(job, order.rank);
    for (int k = 0; k < 2; ++k) {
      if (out[k][1] >= 0) close(out[k][1]);
      if (out[k][0] >= 0) {
        fcntl(out[k][0], F_SETFL, O_NONBLOCK);
        streams_[out[k][0]] = Stream{order.rank, job, k + 1, label ? LineLabel(order.rank, job) : std::string(),
                                     std::string()};
      }
    }
    if (pid < 0) {
      Report("fork", strerror(forkError));
      // Reported to the launcher as a rank that could not start.
      if (!AgentSendAll(link_, EndFrame(job, order.rank, 1, 127 << 8))) lost_ = true;
      return;
    }
    ranks_[pid] = Proc{job, order.rank};
    std::string started;
    if (job == 0) {
      AgentRankPid r{order.rank, pid};
      started = AgentEncode(kAgentStarted, &r, sizeof r);
    } else {
      AgentJobRank r{job, order.rank, pid, 0};
      started = AgentEncode(kAgentJobStarted, &r, sizeof r);
    }
    if (!AgentSendAll(link_, started)) lost_ = true;
  }

  // The environment of a rank before carrier's part: the launcher's over
  // this host's (without the launcher's PMI variables, nor its PMIX_* when
  // the agent serves PMIx itself), a Slurm task's variables, then the
  // rank's PMI and PMIx variables, each as putenv would set it.
  std::vector<std::string> RankEnvironment(const AgentOrder& order, int job, int localId,
                                           const std::vector<std::string>& pmiEnv) const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    const bool pmix = pmix_.Serving();
    for (const std::string& s : env_) {
      if (!pmi::IsClientVariable(s.c_str()) && !(pmix && s.compare(0, 5, "PMIX_") == 0)) EnvPut(&env, s);
    }
    if (slurm_ && job == 0) {
      for (const std::string& s : AgentSlurmTask(order, localId)) EnvPut(&env, s);
    }
    for (const std::string& s : pmiEnv) EnvPut(&env, s);
    return env;
  }

  static std::string EndFrame(int job, int rank, pid_t pid, int waitStatus) {
    if (job == 0) {
      AgentRankEnd end{rank, pid, waitStatus};
      return AgentEncode(kAgentEnded, &end, sizeof end);
    }
    AgentJobRank end{job, rank, pid, waitStatus};
    return AgentEncode(kAgentJobEnded, &end, sizeof end);
  }

  void Drain(int fd) {
    Stream& s = streams_[fd];
    char buffer[65536];
    std::string text;
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        SplitRest(s.label, &s.partial, &text);
        ChildWrite(s.to, text);
        close(fd);
        streams_.erase(fd);
        return;
      }
      SplitLines(s.label, buffer, static_cast<size_t>(n), &s.partial, &text);
    }
    ChildWrite(s.to, text);
  }

  // False when the launcher can no longer be told.
  bool Reap() {
    bool taken = false;
    for (;;) {
      int ws = 0;
      pid_t pid = waitpid(-1, &ws, WNOHANG);
      if (pid < 0 && errno == EINTR) continue;
      if (pid <= 0) break;
      auto it = ranks_.find(pid);
      if (it == ranks_.end()) continue;
      if (!taken) TakeServedNow();
      taken = true;
      kill(-pid, SIGKILL);  // nothing of the rank outlives it
      // The rank's output pipes hold its last lines: they go out first.
      const Proc proc = it->second;
      for (auto s = streams_.begin(); s != streams_.end();) {
        auto next = std::next(s);
        if (s->second.rank == proc.rank && s->second.job == proc.job) Drain(s->first);
        s = next;
      }
      std::string toLauncher;
      if (proc.job == 0) {
        pmi_.RankEnded(proc.rank, &toLauncher);
        pmix_.RankEnded(proc.rank, &toLauncher);
      } else {
        pmix_.ChildEnded(proc.job, proc.rank, &toLauncher);
        pmi_.ChildEnded(proc.job, proc.rank, &toLauncher);
      }
      Tell(toLauncher);
      ranks_.erase(it);
      if (!AgentSendAll(link_, EndFrame(proc.job, proc.rank, pid, ws))) lost_ = true;
    }
    return !lost_;
  }


  const bool slurm_;
  int started_ = 0;  // ranks started here: the next one's index on this host
  ChildSignals childSignals_;  // what the ranks set to default before they unblock (never empty: SIGINT, SIGQUIT)
  int link_;
  int signals_;
  AgentFrameReader reader_{false};
  bool framedOk_ = true;
  bool allSent_ = false;
  // TARVO_STDIN=all: the write ends of the ranks' input pipes.
  std::vector<int> inputTo_;
  std::vector<std::string> inputNames_;
  bool lost_ = false;
  bool saidNoTerminal_ = false;  // the lack of a terminal is said once
  std::string refusal_;  // why this agent cannot serve the job it was sent
  std::vector<std::string> env_;
  struct Proc {
    int job;  // 0: the run's first job; k: the k-th spawned
    int rank;
  };
  std::map<pid_t, Proc> ranks_;   // the processes running, by pid
  std::map<int, std::vector<AgentOrder>> held_;  // spawned processes not yet to start, by job
  std::map<int, Stream> streams_;  // labelled output pipes by descriptor
  AgentPmi pmi_;
  AgentPlacer placer_;  // TARVO_OUTPUT, TARVO_ERROR, TARVO_BIND, TARVO_CPUS_PER_RANK, TARVO_GPUS_PER_RANK
  int jobSize_ = 0, hostRanks_ = 0;  // the job's ranks, and this host's (kJob)
  AgentPmix pmix_;
  // TARVO_STACKS: the reader of the ranks' call stacks, while one runs.
  static constexpr int kStacksPollMs = 100;
  static constexpr double kStacksGiveUp = 4.5;
  pid_t stacksReader_ = -1;
  int stacksFd_ = -1;
  double stacksSince_ = 0;
  std::vector<std::pair<int, pid_t>> stacksAsked_;  // (place in the question, pid)
  std::vector<Proc> stacksOf_;                       // by place in the question
  std::string stacksBytes_;
};

}  // namespace

int main(int argc, char** argv) {
  // The agent ends with its parent, the remote shell's session, which ends
  // when the launcher's remote shell does; its ranks' groups end with it
  // (SIGTERM, which the agent takes, once its loop runs).
  const int stacks = StacksMain(argc, argv);  // --stacks
  if (stacks >= 0) return stacks;
  const int other = PlaceMain(argc, argv);  // --cpus, --place
  if (other >= 0) return other;
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;
  gethostname(hostName, sizeof hostName - 1);
  if (argc != 4) {
    fputs("usage: tarvo-agent LAUNCHER_ADDRESS PORT AGENT (the run's secret on standard input)\n", stderr);
    return 2;
  }
  std::string secret;
  if (!ReadSecret(&secret)) {
    Report("no secret on standard input", "");
    return 2;
  }
  char err[NET_ERR_LEN];
  const int link = NetTcpConnect(err, argv[1], atoi(argv[2]));
  if (link < 0) {
    Report("cannot reach the launcher", err);
    return 1;
  }
  AgentHello hello{};
  hello.version = kAgentProtocolVersion;
  memcpy(hello.secret, secret.data(), std::min(secret.size(), sizeof hello.secret));
  // "-": one task of a Slurm step, numbered by its node in the allocation.
  const char* node = getenv("SLURM_NODEID");
  hello.agent = strcmp(argv[3], "-") == 0 ? (node != nullptr ? atoi(node) : -1) : atoi(argv[3]);
  if (!AgentSendAll(link, AgentEncode(kAgentHello, &hello, sizeof hello))) {
    Report("cannot reach the launcher", strerror(errno));
    return 1;
  }
  const int signals = SignalsTaken({SIGCHLD, SIGTERM, SIGHUP, SIGINT});
  // A report after the remote shell's session is gone must not kill the
  // agent before it has cleaned up (its PMIx server's directory): a write
  // to the closed standard error then fails instead. Held, not ignored:
  // the ranks start with no signal blocked.
  PipeSignalHeld();
  Agent agent(link, signals, strcmp(argv[3], "-") == 0);
  return agent.Loop();
}
