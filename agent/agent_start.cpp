// A rank's start on the agent's host: one fork and one exec, doing for each
// exactly what carrier would (common/carrier_exec.c). Everything the child
// needs is made before the fork: libpmix's threads may hold the
// allocator's lock at the fork.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/agent_loop.h"
#include "common/child_io.h"
#include "common/rank_exec.h"
#include "common/rank_map.h"
#include "common/rank_place.h"
#include "common/terminal.h"
#include "common/line_labels.h"
#include "pmi/pmi1_server.h"

void Agent::Start(AgentOrder& order) {
  // A spawned job's process: its request's variables, then its server's.
  const int job = order.kind == AgentOrder::kSpawnRank ? order.job : 0;
  std::vector<std::string> pmiEnv = order.env;
  const int keep = PrepareServers(job, order.rank, &pmiEnv);
  const int localId = job == 0 ? started_++ : -1;
  RankPlace place;
  std::vector<std::string> placeEnv;
  std::string refusal;
  const bool placed = job == 0 && placer_.Prepare(order.rank, localId, job_->hostRanks, &place, &placeEnv, &refusal);
  if (!refusal.empty()) {
    // Reported to the launcher as a rank that could not start.
    ChildWrite(STDERR_FILENO, refusal);
    Tell(EndFrame(job, order.rank, 1, kRankPlaceFailed << 8));
    return;
  }
  int out[2][2] = {{-1, -1}, {-1, -1}};
  OutputEnds(order.flags, out);
  RankExec x;
  RankExecPrepare(order.strings, RankEnvironment(order, job, localId, pmiEnv, placeEnv), "carrier", true, &x);
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
  ChooseInput(order, &setup);
  for (int k = 0; k < 2; ++k) setup.stdFds[k + 1] = out[k][1];
  const pid_t pid = fork();
  if (pid == 0) RankExecRun(setup, x);
  const int forkError = errno;
  if (setup.stdFds[0] >= 0) close(setup.stdFds[0]);
  Started(order, job, pid, forkError, out);
}

// The rank's output: the agent's ends first, the rank's second; standard
// output a terminal with kAgentRankPty (sized like tarvo's when tarvo has
// one; the rank's stdio then buffers by lines), standard error a pipe, so
// that the streams stay apart. None
// without labelling or a terminal: the rank writes to the agent's own.
void Agent::OutputEnds(int flags, int (&out)[2][2]) {
  const bool label = (flags & kAgentRankLabel) != 0;
  const bool pty = (flags & kAgentRankPty) != 0;
  for (int k = 0; (label || pty) && k < 2; ++k) {
    std::string err;
    if (k == 0 && pty && !OpenOutputTerminal(haveWindow_ ? &window_ : nullptr, &out[k][0], &out[k][1], &err) &&
        !saidNoTerminal_) {
      saidNoTerminal_ = true;
      AgentReport(host_, "no terminal for a rank's output; it and any other without one write to a pipe", err.c_str());
    }
    if (out[k][0] < 0 && pipe2(out[k], O_CLOEXEC) != 0) out[k][0] = out[k][1] = -1;
  }
}

// The rank's PMI-1 and PMIx variables into *env; the descriptor of its
// PMI-1 connection that the child keeps (-1: none).
int Agent::PrepareServers(int job, int rank, std::vector<std::string>* env) {
  const int keep = job == 0 ? job_->pmi.PrepareRank(rank, env) : job_->pmi.PrepareChild(job, rank, env);
  if (job == 0) job_->pmix.PrepareRank(rank, env);
  else job_->pmix.PrepareChild(job, rank, env);
  return keep;
}

// The environment of a rank before carrier's part: the launcher's over
// this host's (without the launcher's PMI variables, nor its PMIX_* when
// the agent serves PMIx itself), a Slurm task's variables, the rank's PMI
// and PMIx variables, each as putenv would set it; then the locality
// variables and the place's, which the user's own environment keeps.
std::vector<std::string> Agent::RankEnvironment(const AgentOrder& order, int job, int localId,
                                                const std::vector<std::string>& pmiEnv,
                                                const std::vector<std::string>& placeEnv) const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  const bool pmix = job_->pmix.Serving();
  for (const std::string& s : env_) {
    if (!pmi::IsClientVariable(s.c_str()) && !(pmix && s.compare(0, 5, "PMIX_") == 0)) EnvPut(&env, s);
  }
  if (slurm_ && job == 0) {
    for (const std::string& s : AgentSlurmTask(order, localId)) EnvPut(&env, s);
  }
  for (const std::string& s : pmiEnv) EnvPut(&env, s);
  if (job == 0) {
    for (const std::string& e : LocalityEnvironment(order.rank, job_->size, localId, job_->hostRanks)) EnvPut(&env, e, true);
  }
  for (const std::string& e : placeEnv) EnvPut(&env, e, e.compare(0, 16, "OMP_NUM_THREADS=") == 0);
  return env;
}

// The rank's standard input: the agent's (rank 0), a copy of it once every
// rank is in (TARVO_STDIN=all), or none.
void Agent::ChooseInput(const AgentOrder& order, ChildSetup* setup) {
  if ((order.flags & kAgentRankStdinCopy) != 0) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      setup->stdFds[0] = ends[0];
      inputTo_.push_back(ends[1]);
      inputNames_.push_back("rank " + std::to_string(order.rank));
    }
  } else if ((order.flags & kAgentRankStdin) == 0) {
    setup->stdFds[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
}

// After the fork: the servers know the process, its output is read, and
// the launcher hears of its start (or that it could not start).
void Agent::Started(const AgentOrder& order, int job, pid_t pid, int forkError, int (&out)[2][2]) {
  if (job == 0) job_->pmi.RankStarted(order.rank);
  else job_->pmi.ChildStarted(job, order.rank);
  for (int k = 0; k < 2; ++k) {
    if (out[k][1] >= 0) close(out[k][1]);
    if (out[k][0] >= 0) {
      fcntl(out[k][0], F_SETFL, O_NONBLOCK);
      const bool label = (order.flags & kAgentRankLabel) != 0;
      streams_[out[k][0]] = Stream{order.rank, job, k + 1, label ? LineLabel(order.rank, job) : std::string(),
                                   std::string()};
      Watch(out[k][0]);
    }
  }
  if (pid < 0) {
    AgentReport(host_, "fork", strerror(forkError));
    // Reported to the launcher as a rank that could not start.
    Tell(EndFrame(job, order.rank, 1, 127 << 8));
    return;
  }
  AgentProc proc{job, order.rank};
  proc.out[0] = out[0][0];
  proc.out[1] = out[1][0];
  ranks_[pid] = proc;
  if (job == 0) {
    AgentRankPid r{order.rank, pid};
    Tell(AgentEncode(kAgentStarted, &r, sizeof r));
  } else {
    AgentJobRank r{job, order.rank, pid, 0};
    Tell(AgentEncode(kAgentJobStarted, &r, sizeof r));
  }
}
