// Host mode (TARVO_LAUNCH=host): one remote shell per distinct remote host
// runs an agent, which starts that host's ranks and reports their ends; the
// launcher's own ranks start directly, without carrier.
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include "launcher/context/RunContext.h"
#include "launcher/spawn/RunParts.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/spawn/JobStarter.h"
#include "launcher/spawn/PmixSetup.h"
#include "launcher/spawn/SpawnPlan.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/RunControl.h"
#include "launcher/spawn/ExecPlan.h"
#include "launcher/spawn/Executor.h"
#include "launcher/spawn/Inputs.h"
#include "launcher/spawn/Planners.h"
#include "launcher/spawn/RankFiles.h"
#include "common/agent_wire.h"
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

// The launch of an agent's remote shell (or of the Slurm step of agents):
// in its own process group, the secret first on its standard input, and
// tarvo's own standard input after it for the agent of rank 0.
RankLaunch ShellLaunch(ExecPlan& shell, const std::string& host, int agent, bool withStdin, OutputRelay* relay,
                       const ForkReport& report, AgentHub& hub) {
  shell.SealArgv();
  RankLaunch l;
  l.rank = -1;
  l.host = host;
  l.remote = true;
  l.agent = agent;
  l.agentShell = true;
  l.start = [&shell, &report, &hub, withStdin, relay] {
    // The agent's lines (its ranks') reach tarvo's standard output whole,
    // however the remote shell cuts what it passes on. Its standard error
    // stays tarvo's: what the shell says of a failed login comes before
    // tarvo's own report of the lost agent.
    const ChildStreams streams = OutputRelay::ForShell(relay);
    shell.stdFds[1] = streams.fds[1];
    const pid_t pid = StartWithSecret(shell, hub.Secret(), withStdin, relay, report);
    OutputRelay::Started(relay, streams);
    return pid;
  };
  return l;
}

// The agents' remote shells (or the one Slurm step that runs them all) into
// *launches: first, so that their logins overlap the local starts.
// `agentInput` says which agent (-1: the step) has tarvo's standard input.
void AddShellLaunches(std::vector<ExecPlan>& plans, bool slurm, const std::vector<std::string>& agentHosts,
                      const std::vector<int>& agentOf, const std::function<bool(int)>& agentInput, OutputRelay* relay,
                      const ForkReport& report, AgentHub& hub, std::vector<ExecPlan>* shells,
                      std::vector<RankLaunch>* launches) {
  shells->assign(agentHosts.size(), ExecPlan());
  const char* address = visualConnection->IP();
  const std::string from(address, strnlen(address, ADDRESS_TEXT_SIZE));
  if (slurm && !plans.empty()) {
    (*shells)[0] = PlanSlurmStep(plans[0], agentHosts.size(), from, hub.Port());
    launches->push_back(ShellLaunch((*shells)[0], "the Slurm step", -1, agentInput(-1), relay, report, hub));
  }
  for (size_t a = 0; !slurm && a < agentHosts.size(); ++a) {
    const size_t first = static_cast<size_t>(std::find(agentOf.begin(), agentOf.end(), static_cast<int>(a)) -
                                             agentOf.begin());
    (*shells)[a] = PlanAgentShell(plans[first], agentHosts[a], from, hub.Port(), static_cast<int>(a));
    const bool withStdin = agentInput(static_cast<int>(a));
    launches->push_back(
        ShellLaunch((*shells)[a], agentHosts[a], static_cast<int>(a), withStdin, relay, report, hub));
  }
}

// Each rank's host's topology as its agent told it (null for a rank of
// this host, or one whose agent could not tell).
std::vector<const HostTopology*> ToldByRank(const std::vector<AgentHostTopology>& told, const std::vector<int>& agentOf) {
  std::vector<const HostTopology*> byRank(agentOf.size(), nullptr);
  for (size_t r = 0; r < agentOf.size(); ++r) {
    const int a = agentOf[r];
    if (a >= 0 && told[static_cast<size_t>(a)].told) byRank[r] = &told[static_cast<size_t>(a)].topology;
  }
  return byRank;
}

// TARVO_DRY_RUN with agents: they start, tell their hosts' topologies and
// end, given no rank; the map is printed with each host's own.
int DryRunThroughAgents(const RunParts& run, std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                        bool slurm, const std::vector<std::string>& agentHosts, const std::vector<int>& agentOf,
                        const ForkReport& report, AgentHub& hub) {
  const RunSettings& settings = run.settings;
  hub.AwaitTopologies(DryRunLevel(settings), settings.gpusPerRank > 0,
                      [&](const std::vector<AgentHostTopology>& told) {
                        for (size_t a = 0; a < told.size(); ++a) {
                          if (!told[a].told) return UntoldRefusal(settings, agentHosts[a], told[a].why);
                        }
                        return DryRun(settings, hosts, ToldByRank(told, agentOf));
                      });
  std::vector<ExecPlan> shells;
  std::vector<RankLaunch> launches;
  AddShellLaunches(plans, slurm, agentHosts, agentOf, [](int) { return false; }, run.relay, report, hub, &shells,
                   &launches);
  fflush(stdout);
  return RunControl::Run(run.control, launches, &hub, nullptr, nullptr, nullptr);
}

// Each rank's host and agent. A machine file may name the launcher's own
// host, by its name or by a name or address of one of its interfaces: its
// ranks need no agent.
AgentLayout LayOutAgents(const RunSettings& settings, const std::vector<ExecPlan>& plans,
                         const std::vector<std::string>& hosts) {
  std::vector<std::string> nodes;
  if (settings.launch == RunSettings::kLaunchSlurm) {
    spawn::ExpandHostList(getenv("SLURM_JOB_NODELIST"), &nodes);  // checked at start-up
  }
  const std::string localHost = LocalHostName();
  const std::vector<uint32_t> thisMachine = common::ThisMachineAddresses();
  std::map<std::string, bool> ownHost;
  auto isOwnHost = [&](const std::string& host) {
    auto known = ownHost.find(host);
    if (known == ownHost.end())
      known = ownHost.emplace(host, host == localHost || common::NamesThisMachine(host, thisMachine)).first;
    return known->second;
  };
  std::vector<bool> remote;
  for (const ExecPlan& plan : plans) remote.push_back(plan.remote);
  return PlanAgents(remote, hosts, nodes, isOwnHost, settings.ppn);
}

// What is said or refused before anything starts: a remote shell that
// cannot start, a rank too long for one frame of the agent protocol. "" or
// the refusal.
std::string CheckAgentRun(const RunSettings& settings, std::vector<ExecPlan>& plans, const std::vector<int>& agentOf) {
  // The hosts of a machine file (or an allocation) may all be this one:
  // then no remote shell starts.
  auto agentRank = std::find_if(agentOf.begin(), agentOf.end(), [](int a) { return a >= 0; });
  if (settings.launch != RunSettings::kLaunchSlurm && agentRank != agentOf.end()) {
    SayIfNoRemoteShell(settings, plans[static_cast<size_t>(agentRank - agentOf.begin())].file);
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    // Started here, as a rank of this host.
    if (agentOf[i] < 0) plans[i].ownSession = plans[i].program == ProgramKind::kMpich;
  }
  // An agent's rank travels in one frame of the agent protocol.
  for (size_t i = 0; i < plans.size(); ++i) {
    if (agentOf[i] < 0) continue;
    const size_t frame = sizeof(AgentRankHead) + AgentStrings(CarrierWords(plans[i])).size();
    if (frame > static_cast<size_t>(kAgentMaxPayload)) {
      return "ERROR-Control Process: the command of rank " + std::to_string(i) + " is longer than " +
             std::to_string(kAgentMaxPayload) + " bytes, the most that an agent takes\n";
    }
  }
  return "";
}

// MPI_UNIVERSE_SIZE: the machine file's slots, or the Slurm allocation's.
int Universe(const RunSettings& settings, const std::vector<HostSlots>& slots, size_t ranks) {
  int universe = UniverseSize(slots, static_cast<int>(ranks));
  if (settings.launch == RunSettings::kLaunchSlurm) {
    const char* perNode = getenv("SLURM_TASKS_PER_NODE");
    universe = std::max(universe, SlurmSlots(perNode != nullptr ? perNode : getenv("SLURM_JOB_CPUS_PER_NODE")));
  }
  return universe;
}

// Every agent's ranks, each after its place: `inputWho` is the rank that
// reads tarvo's standard input (or kInputAll: each has a copy),
// `outputFlags` how the agents relay their ranks' output.
void HandRanks(const RunSettings& settings, const std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
               const std::vector<int>& agentOf, const std::vector<RankPlacement>& placements, int inputWho,
               int outputFlags, AgentHub* hub) {
  for (size_t i = 0; i < plans.size(); ++i) {
    if (agentOf[i] < 0) continue;
    if (!placements.empty()) {
      hub->AddPlace(agentOf[i], AgentPlacePayload(settings, static_cast<int>(i), hosts[i], placements[i]));
    }
    int flags = (static_cast<int>(i) == inputWho ? kAgentRankStdin : 0) |
                (inputWho == OutputRelay::kInputAll ? kAgentRankStdinCopy : 0) | outputFlags |
                (plans[i].program == ProgramKind::kMpich ? kAgentRankOwnSession : 0);
    hub->AddRank(agentOf[i], static_cast<int>(i), CarrierWords(plans[i]), flags);
  }
}

// What the starts of this host's ranks share.
struct DirectStarts {
  std::vector<ExecPlan>& plans;
  std::vector<DirectPlan>& direct;
  const std::vector<RankPlacement>& placements;
  const std::vector<std::vector<std::string>>& rankEnv;
  BesideStarts& beside;
  const ForkReport& report;
  MpiServer& mpi;
  OutputRelay* relay;
};

// The start of rank `i` of this host, prepared as it starts: the ranks
// before it are running meanwhile.
std::function<pid_t()> DirectStart(const DirectStarts& run, size_t i) {
  const RankPlace* place = run.placements.empty() ? nullptr : &run.placements[i].place;
  return [run, place, i] {
    DirectPlan& d = run.direct[i];
    PrepareDirect(run.plans[i], &d);
    d.beside = &run.beside;
    d.exec.place = place;
    const ChildStreams streams = OutputRelay::ForRank(run.relay, static_cast<int>(i), 0);
    std::copy(streams.fds, streams.fds + 3, d.setup.stdFds);
    d.setup.keepFd = run.mpi.PrepareRank(static_cast<int>(i), &d.pmiEnv);
    if (d.setup.keepFd < 0) d.pmiEnv.clear();
    d.pmiEnv.insert(d.pmiEnv.end(), run.rankEnv[i].begin(), run.rankEnv[i].end());
    MergeRankEnvironment(&d.exec.envp, d.pmiEnv);
    const pid_t pid = StartDirect(d, run.report);
    run.mpi.RankStarted(static_cast<int>(i));
    OutputRelay::Started(run.relay, streams);
    return pid;
  };
}

// Every rank's launch after the agents' shells in *launches: an agent's
// rank is started by its agent, one of this host here.
void AddRankLaunches(const DirectStarts& starts, const std::vector<std::string>& hosts,
                     const std::vector<int>& agentOf, std::vector<RankLaunch>* launches) {
  for (size_t i = 0; i < hosts.size(); ++i) {
    RankLaunch l;
    l.rank = static_cast<int>(i);
    l.host = hosts[i];
    l.program = starts.plans[i].programFile;
    l.remote = agentOf[i] >= 0;
    l.agent = agentOf[i];
    if (agentOf[i] < 0) l.start = DirectStart(starts, i);
    launches->push_back(l);
  }
}

// Every rank's place (this host's ranks' CPUs chosen here) into
// *placements and the variables each gets into *rankEnv. "" or the refusal.
std::string PlaceRanks(const RunSettings& settings, const std::vector<std::string>& hosts,
                       const std::vector<int>& agentOf, std::vector<RankPlacement>* placements,
                       std::vector<std::vector<std::string>>* rankEnv) {
  std::vector<bool> own;
  for (int a : agentOf) own.push_back(a < 0);
  const std::string refusal = PlanPlacements(settings, hosts, own, placements);
  if (!refusal.empty()) return refusal;
  std::vector<std::vector<std::string>> placed;
  for (const RankPlacement& p : *placements) placed.push_back(p.env);
  *rankEnv = RankEnvironments(hosts, placed);
  return "";
}

// TARVO_STDIN: the rank that reads tarvo's standard input has it through
// its agent's remote shell; with all, every agent has a copy (the Slurm
// step's srun gives its input to every agent) and copies it to its ranks,
// and each of tarvo's own ranks has one. Whether agent a (-1: the step)
// has tarvo's standard input.
std::function<bool(int)> AgentInput(OutputRelay* relay, bool slurm, const std::vector<int>& agentOf,
                                    size_t agents) {
  const int inputWho = OutputRelay::InputWho(relay);
  if (inputWho == OutputRelay::kInputAll) {
    const size_t own = static_cast<size_t>(std::count(agentOf.begin(), agentOf.end(), -1));
    OutputRelay::ExpectInputReaders(relay, own + (slurm ? (agentOf.empty() ? 0 : 1) : agents));
  }
  return [inputWho, slurm, agentOf](int agent) {
    if (inputWho == OutputRelay::kInputAll) return true;
    return inputWho >= 0 && agentOf[static_cast<size_t>(inputWho)] >= 0 &&
           (slurm || agentOf[static_cast<size_t>(inputWho)] == agent);
  };
}

// tarvo's own hosts where its ranks run, for the jobs that ranks spawn.
std::vector<std::string> OwnHosts(const std::vector<std::string>& hosts, const std::vector<int>& agentOf) {
  std::vector<std::string> own;
  for (size_t i = 0; i < hosts.size(); ++i) {
    if (agentOf[i] < 0 && std::find(own.begin(), own.end(), hosts[i]) == own.end()) own.push_back(hosts[i]);
  }
  return own;
}

}  // namespace

int RunAgents(const RunParts& run, std::vector<ExecPlan>& plans, std::vector<std::string> hosts,
              const ForkReport& report, const std::vector<int>& appnums, const spawn::LauncherParams& params,
              const std::string& machineFile) {
  const RunSettings& settings = run.settings;
  OutputRelay* relay = run.relay;
  const bool slurm = settings.launch == RunSettings::kLaunchSlurm;
  // The agents' ranks' terminals take the size of tarvo's, as its own ranks' do.
  const winsize* size = OutputRelay::WindowSize(relay);
  const AgentWindow window =
      size != nullptr ? AgentWindow{size->ws_row, size->ws_col, size->ws_xpixel, size->ws_ypixel} : AgentWindow{};
  AgentHub hub(settings.exportMode == RunSettings::kExportNone
                   ? std::vector<std::string>()
                   : spawn::ExportedEnvironment(environ, settings.exportMode == RunSettings::kExportAll,
                                                settings.exportNames),
               size != nullptr ? &window : nullptr);
  if (!hub.Open()) {
    return 1;
  }
  // How the agents relay their ranks' output, as tarvo relays its own ranks'.
  const int outputFlags =
      (OutputRelay::Labels(relay) ? kAgentRankLabel : 0) | (OutputRelay::Terminals(relay) ? kAgentRankPty : 0);
  const AgentLayout layout = LayOutAgents(settings, plans, hosts);
  hosts = layout.hosts;
  const std::vector<std::string>& agentHosts = layout.agentHosts;
  const std::vector<int>& agentOf = layout.agentOf;
  const std::string unfit = CheckAgentRun(settings, plans, agentOf);
  if (!unfit.empty()) return RefuseRun(unfit);
  if (settings.dryRun && !agentHosts.empty()) {
    // The agents only tell their topologies: no job, no rank.
    for (const std::string& host : agentHosts) hub.AddAgent(host, std::string(), std::string());
    return DryRunThroughAgents(run, plans, hosts, slurm, agentHosts, agentOf, report, hub);
  }
  if (settings.dryRun) {
    const std::string refusal = DryRun(settings, hosts);
    return refusal.empty() ? 0 : RefuseRun(refusal);
  }
  // This host's ranks' terminals, made while the run is prepared.
  OutputRelay::ExpectTerminals(relay, static_cast<size_t>(std::count(agentOf.begin(), agentOf.end(), -1)));
  std::vector<RankPlacement> placements;
  std::vector<std::vector<std::string>> rankEnv;
  const std::string refusal = PlaceRanks(settings, hosts, agentOf, &placements, &rankEnv);
  if (!refusal.empty()) return RefuseRun(refusal);
  // Each agent serves its ranks' PMI-1 itself; tarvo, its own host's.
  MpiServer mpi(hosts, appnums, agentOf, static_cast<int>(agentHosts.size()), run.mpiLinks);
  const std::vector<HostSlots> slots = ReadMachineSlots(machineFile);
  ServePmix(settings, &mpi, plans, hosts, appnums, agentOf, agentHosts, Universe(settings, slots, plans.size()));
  for (size_t a = 0; a < agentHosts.size(); ++a) {
    hub.AddAgent(agentHosts[a], mpi.JobPayload(static_cast<int>(a)),
                 mpi.ServesPmix() ? mpi.PmixJobPayload(agentHosts[a]) : std::string());
  }
  const int inputWho = OutputRelay::InputWho(relay);
  const std::function<bool(int)> agentInput = AgentInput(relay, slurm, agentOf, agentHosts.size());
  HandRanks(settings, plans, hosts, agentOf, placements, inputWho, outputFlags, &hub);

  // A host without a GPU when GPUs are asked refuses the run before any
  // rank starts: the agents tell their hosts' GPUs first.
  if (settings.gpusPerRank > 0 && !agentHosts.empty()) {
    hub.AwaitTopologies(settings.bind, true, [&settings, &hosts, &agentOf](const std::vector<AgentHostTopology>& told) {
      return GpuRefusal(settings, hosts, ToldByRank(told, agentOf));
    });
  }

  // The agents' remote shells first, so that their logins overlap the local
  // starts; then every rank in order.
  std::vector<ExecPlan> shells;
  BesideStarts beside;  // until the run control has seen every process end
  std::vector<DirectPlan> direct(plans.size());
  std::vector<RankLaunch> launches;
  AddShellLaunches(plans, slurm, agentHosts, agentOf, agentInput, relay, report, hub, &shells, &launches);
  AddRankLaunches(DirectStarts{plans, direct, placements, rankEnv, beside, report, mpi, relay}, hosts, agentOf,
                  &launches);
  // A rank's MPI_Comm_spawn places its job on the agents' hosts.
  const std::vector<int> closeFds = plans.empty() ? std::vector<int>()
                                                  : std::vector<int>(plans[0].closeFds, plans[0].closeFds + plans[0].closeCount);
  const std::unique_ptr<JobStarter> starter =
      AgentJobStarter(&mpi, &hub, slots, hosts, agentHosts, OwnHosts(hosts, agentOf), outputFlags, settings.ppn,
                      LocalChildren{relay, params, closeFds, report, &beside});
  fflush(stdout);
  return RunControl::Run(run.control, launches, &hub, &mpi, starter.get(), nullptr);
}

}  // namespace spawn
