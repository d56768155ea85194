// Host mode (TARVO_LAUNCH=host): one remote shell per distinct remote host
// runs an agent, which starts that host's ranks and reports their ends; the
// launcher's own ranks start directly, without carrier.
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>

#include "launcher/context/RunContext.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/spawn/JobStarter.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/spawn/SpawnPlan.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Inputs.h"
#include "launcher/spawn/RankFiles.h"
#include "common/carrier_exec.h"
#include "common/child_io.h"
#include "common/child_setup.h"
#include "common/rank_exec.h"
#include "common/this_machine.h"


namespace spawn {
namespace {

// ---- TARVO_LAUNCH=host ----
//
// The launcher's own ranks start directly, without carrier: the launcher does
// carrier's work for them (working directory, environment, program lookup)
// and the child is one exec. Remote ranks go to one agent per host, which
// does the same there.

// carrier's argument vector without "carrier": the program words and the
// eight launcher parameters.
std::vector<std::string> CarrierWords(const ExecPlan& plan) {
  auto at = std::find(plan.vector.begin(), plan.vector.end(), std::string("carrier"));
  return std::vector<std::string>(at + 1, plan.vector.end());
}

// A rank of the launcher's host, prepared as carrier would prepare itself.
struct DirectPlan {
  RankExec exec;
  std::vector<std::string> pmiEnv;
  const ExecPlan* plan = nullptr;  // the descriptors to close
  ChildSetup setup;
  std::vector<char> stack;  // the child's until its exec: kept for the run
};

// The stack of a direct start's child: a few system calls, and execvpe's
// buffer for a path.
const size_t kDirectStack = 64 * 1024;

// The launcher's environment without its PMI variables, then carrier's
// part. carrier's lookup is done here too: the child shares the launcher's
// memory, and each failed try of an execvp of its own would write the
// launcher's errno. Started by tarvo itself, without carrier: its reports
// say so.
void PrepareDirect(const ExecPlan& plan, DirectPlan* d) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!pmi::IsClientVariable(*e)) env.push_back(*e);
  }
  RankExecPrepare(CarrierWords(plan), std::move(env), "tarvo", false, &d->exec);
  d->exec.Seal();
  d->plan = &plan;
}

// The child of a direct start, between its clone and its exec. It shares
// the launcher's memory and runs beside it: system calls on prepared data
// only, nothing allocated, nothing written but its own stack. As carrier's,
// the rank ends with the launcher's spawning thread.
[[noreturn]] void RunDirect(const DirectPlan* d) { RankExecRun(d->setup, d->exec); }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
int DirectChild(void* plan) { RunDirect(static_cast<const DirectPlan*>(plan)); }
#endif

// Starts a rank of the launcher's host. A clone that shares the launcher's
// memory, without waiting for its exec: a fork copies the page tables and
// costs the launcher a copy-on-write fault for each page it writes
// afterwards, and a vfork (or posix_spawn) stops the launcher until the
// child has exec'd; this one costs about what a fork of a small program
// does. Unlike posix_spawn it sets the parent-death signal.
pid_t StartDirect(DirectPlan& d, const ForkReport& report) {
  fflush(stdout);
  d.setup.parent = getpid();
  d.setup.ownSession = d.plan->ownSession;
  d.setup.ownGroup = true;
  d.setup.closeFds = d.plan->closeFds;
  d.setup.closeCount = d.plan->closeCount;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' run-times keep per-thread state that such a child
  // would share with the launcher's thread: a plain fork there.
  const pid_t pid = fork();
  if (pid == 0) RunDirect(&d);
#else
  d.stack.assign(kDirectStack, 0);
  // The child shares the spawning thread's errno too. A rank with files to
  // open reports their failures by errno, which the launcher, going on
  // meanwhile, could overwrite ("cannot create out.0: Inappropriate ioctl
  // for device"): such a child has the launcher wait for its exec.
  const int wait = d.exec.place != nullptr ? CLONE_VFORK : 0;
  const pid_t pid = clone(DirectChild, d.stack.data() + d.stack.size(), CLONE_VM | wait | SIGCHLD, &d);
#endif
  if (pid < 0) {
    if (report.before != nullptr) printf("%s\n", report.before);
    ErrorMsg("fork", report.line, "Control");
    fflush(stdout);
  }
  return pid;
}

// Copies the launcher's standard input behind the secret to rank 0's agent.
void* FeedStdin(void* arg) {
  const int to = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ChildWrite(to, buffer, static_cast<size_t>(n));
  }
  close(to);
  return nullptr;
}

// The remote shell's standard input: the secret's line, then, for the agent
// of rank 0, the launcher's standard input. -1 when no pipe can be had.
int SecretInput(const std::string& secret, bool withStdin) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const std::string line = secret + "\n";
  ChildWrite(ends[1], line.data(), line.size());  // far below a pipe's capacity
  pthread_t feeder;
  if (!withStdin ||
      pthread_create(&feeder, nullptr, FeedStdin, reinterpret_cast<void*>(static_cast<intptr_t>(ends[1]))) != 0) {
    close(ends[1]);
  } else {
    pthread_detach(feeder);
  }
  return ends[0];
}

// The launch of an agent's remote shell (or of the Slurm step of agents):
// in its own process group, the secret first on its standard input, and
// tarvo's own standard input after it for the agent of rank 0.
RankLaunch ShellLaunch(ExecPlan& shell, const std::string& host, int agent, bool withStdin, const ForkReport& report,
                       AgentHub& hub) {
  shell.ownGroup = true;
  shell.SealArgv();
  RankLaunch l;
  l.rank = -1;
  l.host = host;
  l.remote = true;
  l.agent = agent;
  l.agentShell = true;
  l.start = [&shell, &report, &hub, withStdin] {
    shell.stdFds[0] = SecretInput(hub.Secret(), withStdin);
    const pid_t pid = StartPlan(shell, report);
    if (shell.stdFds[0] >= 0) close(shell.stdFds[0]);
    return pid;
  };
  return l;
}

}  // namespace

int RunAgents(std::vector<ExecPlan>& plans, std::vector<std::string> hosts, const ForkReport& report,
              const std::vector<int>& appnums, const spawn::LauncherParams& params, const std::string& machineFile) {
  const RunSettings& settings = RunControlSettings();
  const bool slurm = settings.launch == RunSettings::kLaunchSlurm;
  std::vector<std::string> nodes;
  if (slurm) {
    // Checked at start-up. The ranks go round the nodes as they would go
    // round a machine file of them; every rank has an agent, also on the
    // node (if any) where the launcher runs, so that Slurm holds them all.
    spawn::ExpandHostList(getenv("SLURM_JOB_NODELIST"), &nodes);
    for (size_t i = 0; i < plans.size(); ++i) hosts[i] = nodes[i % nodes.size()];
  }
  AgentHub hub;
  if (!hub.Open()) {
    return 1;
  }
  hub.SetEnvironment(settings.exportMode == RunSettings::kExportNone
                         ? std::vector<std::string>()
                         : spawn::ExportedEnvironment(environ, settings.exportMode == RunSettings::kExportAll,
                                                      settings.exportNames));
  const bool label = OutputRelayLabels();
  std::vector<std::string> agentHosts;
  std::vector<int> agentOf(plans.size(), -1);
  // A machine file may name the launcher's own host, by its name or by a
  // name or address of one of its interfaces: its ranks need no agent.
  const std::string localHost = LocalHostName();
  const std::vector<uint32_t> thisMachine = common::ThisMachineAddresses();
  std::map<std::string, bool> ownHost;
  auto isOwnHost = [&](const std::string& host) {
    auto known = ownHost.find(host);
    if (known == ownHost.end())
      known = ownHost.emplace(host, host == localHost || common::NamesThisMachine(host, thisMachine)).first;
    return known->second;
  };
  // Slurm's agents are numbered by their node in the allocation.
  if (slurm) {
    agentHosts.assign(nodes.begin(), nodes.begin() + static_cast<long>(std::min(nodes.size(), plans.size())));
    for (const std::string& node : agentHosts) hub.AddAgent(node);
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    if (!slurm && (!plans[i].remote || isOwnHost(hosts[i]))) {
      plans[i].ownSession = plans[i].program == ProgramKind::kMpich;  // started here, as a rank of this host
      continue;
    }
    auto known = std::find(agentHosts.begin(), agentHosts.end(), hosts[i]);
    if (known == agentHosts.end()) {
      agentHosts.push_back(hosts[i]);
      hub.AddAgent(hosts[i]);
      known = agentHosts.end() - 1;
    }
    agentOf[i] = static_cast<int>(known - agentHosts.begin());
  }
  std::vector<RankPlacement> placements;
  std::vector<bool> own;
  for (int a : agentOf) own.push_back(a < 0);
  const std::string refusal = PlanPlacements(hosts, own, &placements);
  if (!refusal.empty()) return RefuseRun(refusal);
  // Each agent serves its ranks' PMI-1 itself; tarvo, its own host's.
  MpiServer mpi(hosts, appnums, agentOf, static_cast<int>(agentHosts.size()));
  for (size_t a = 0; a < agentHosts.size(); ++a) hub.SetJob(static_cast<int>(a), mpi.JobPayload(static_cast<int>(a)));
  // MPI_UNIVERSE_SIZE: the machine file's slots, or the Slurm allocation's.
  const std::vector<HostSlots> slots = ReadMachineSlots(machineFile);
  int universe = UniverseSize(slots, static_cast<int>(plans.size()));
  if (slurm) {
    const char* perNode = getenv("SLURM_TASKS_PER_NODE");
    universe = std::max(universe, SlurmSlots(perNode != nullptr ? perNode : getenv("SLURM_JOB_CPUS_PER_NODE")));
  }
  ServePmix(&mpi, plans, hosts, appnums, agentOf, agentHosts, &hub, universe);
  for (size_t i = 0; i < plans.size(); ++i) {
    if (agentOf[i] < 0) continue;
    if (!placements.empty()) hub.AddPlace(agentOf[i], AgentPlacePayload(static_cast<int>(i), hosts[i], placements[i]));
    int flags = (i == 0 ? kAgentRankStdin : 0) | (label ? kAgentRankLabel : 0) |
                (plans[i].program == ProgramKind::kMpich ? kAgentRankOwnSession : 0);
    hub.AddRank(agentOf[i], static_cast<int>(i), CarrierWords(plans[i]), flags);
  }

  // The agents' remote shells first, so that their logins overlap the local
  // starts; then every rank in order.
  std::vector<ExecPlan> shells(agentHosts.size());
  std::vector<DirectPlan> direct(plans.size());
  std::vector<RankLaunch> launches;
  const char* address = visualConnection->IP();
  if (slurm && !plans.empty()) {
    // One step, one agent task per node; srun gives every task its
    // standard input, which starts with the secret.
    ExecPlan& step = shells[0];
    step = plans[0];
    step.file = "srun";
    step.failure = "Control Process: execvp srun failed\n";
    const std::string n = std::to_string(agentHosts.size());
    step.vector = {"srun", "--nodes=" + n, "--ntasks=" + n, "--ntasks-per-node=1", "--kill-on-bad-exit=1",
                   "tarvo-agent", std::string(address, strnlen(address, ADDRESS_TEXT_SIZE)), std::to_string(hub.Port()), "-"};
    step.remote = true;
    launches.push_back(ShellLaunch(step, "the Slurm step", -1, true, report, hub));
  }
  for (size_t a = 0; !slurm && a < agentHosts.size(); ++a) {
    const size_t first = static_cast<size_t>(std::find(agentOf.begin(), agentOf.end(), static_cast<int>(a)) -
                                             agentOf.begin());
    ExecPlan& shell = shells[a];
    shell = plans[first];  // the remote shell, its messages and its closes
    shell.vector = ShellWords(shell);
    for (const std::string& word : {agentHosts[a], std::string("tarvo-agent"), std::string(address, strnlen(address, ADDRESS_TEXT_SIZE)),
                                    std::to_string(hub.Port()), std::to_string(a)}) {
      shell.vector.push_back(word);
    }
    const bool withStdin = agentOf[0] == static_cast<int>(a);
    launches.push_back(ShellLaunch(shell, agentHosts[a], static_cast<int>(a), withStdin, report, hub));
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    RankLaunch l;
    l.rank = static_cast<int>(i);
    l.host = hosts[i];
    l.remote = agentOf[i] >= 0;
    l.agent = agentOf[i];
    if (agentOf[i] < 0) {
      PrepareDirect(plans[i], &direct[i]);
      DirectPlan& d = direct[i];
      if (!placements.empty()) d.exec.place = &placements[i].place;
      l.start = [&d, &report, &mpi, i] {
        const ChildStreams streams = OutputRelayForRank(static_cast<int>(i));
        std::copy(streams.fds, streams.fds + 3, d.setup.stdFds);
        d.setup.keepFd = mpi.PrepareRank(static_cast<int>(i), &d.pmiEnv);
        if (d.setup.keepFd >= 0) MergeRankEnvironment(&d.exec.envp, d.pmiEnv);
        const pid_t pid = StartDirect(d, report);
        mpi.RankStarted(static_cast<int>(i));
        OutputRelayStarted(streams);
        return pid;
      };
    }
    launches.push_back(l);
  }
  // A rank's MPI_Comm_spawn places its job on the agents' hosts.
  std::vector<std::string> ownHosts;
  for (size_t i = 0; i < plans.size(); ++i) {
    if (agentOf[i] < 0 && std::find(ownHosts.begin(), ownHosts.end(), hosts[i]) == ownHosts.end()) ownHosts.push_back(hosts[i]);
  }
  const std::vector<int> closeFds = plans.empty() ? std::vector<int>()
                                                  : std::vector<int>(plans[0].closeFds, plans[0].closeFds + plans[0].closeCount);
  const std::unique_ptr<JobStarter> starter =
      AgentJobStarter(&mpi, &hub, slots, hosts, agentHosts, ownHosts, params, label, closeFds, report);
  fflush(stdout);
  return RunControlRun(launches, &hub, &mpi, starter.get());
}

}  // namespace spawn
