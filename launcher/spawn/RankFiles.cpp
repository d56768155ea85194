// Each rank's files and binding, worked out before any rank starts.
#include "launcher/spawn/RankFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <cstdlib>
#include <map>

#include "common/agent_wire.h"
#include "common/process_start.h"
#include "common/protocol.h"
#include "common/rank_map.h"
#include "launcher/run/RunControl.h"

namespace spawn {

bool RankPatternWellFormed(const std::string& pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    if (i + 1 == pattern.size() || strchr("rh%", pattern[i + 1]) == nullptr) return false;
    ++i;
  }
  return true;
}

std::string ExpandRankPattern(const std::string& pattern, int rank, const std::string& host) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    const char c = pattern[++i];
    out += c == 'r' ? std::to_string(rank) : c == 'h' ? host : std::string(1, c);
  }
  return out;
}

}  // namespace spawn

namespace spawn {
namespace {

// This host's topology for `mode` (with `gpus` its GPUs), from the agent
// (which links hwloc): the tarvo-agent beside this tarvo, else the PATH's.
// False when it cannot tell.
bool LocalTopology(int mode, bool gpus, HostTopology* topology) {
  const std::string agent = AgentProgram();
  const char* argv[] = {"tarvo-agent", "--topology", RankBindName(mode), gpus ? "1" : "0", nullptr};
  ChildExec exec;
  exec.file = agent.c_str();
  exec.argv = const_cast<char* const*>(argv);
  exec.envp = environ;
  exec.failure = "tarvo: tarvo-agent";
  fflush(stdout);
  std::string err;
  int from = -1;
  const pid_t pid = ProcessStartReading(
      [&](int out) {
        ChildSetup setup;
        setup.stdFds[1] = out;
        return ProcessStart(setup, exec, false, &err);
      },
      false, &from);
  std::string text;
  char buffer[4096];
  for (ssize_t got; pid > 0 && (got = read(from, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  if (from >= 0) close(from);
  int status = 1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && status == 0 && TopologyRead(text, topology) && !topology->units.empty();
}

std::string TooLong(const char* name, const std::string& pattern, int rank) {
  return std::string("ERROR-Control Process: ") + name + "=" + pattern + " names a file of more than " +
         std::to_string(kMaxVectorElement) + " characters for rank " + std::to_string(rank) + "\n";
}

bool Placing(const RunSettings& s) {
  return s.bind != kBindNone || s.cpusPerRank > 0 || s.gpusPerRank > 0;
}

HostPlacing HostPlacingOf(const RunSettings& s) {
  HostPlacing placing;
  placing.bind = s.bind != kBindNone;
  placing.cpusPerRank = s.cpusPerRank > 0 ? s.cpusPerRank : 1;
  placing.gpusPerRank = s.gpusPerRank;
  return placing;
}

std::string NoGpu(const RunSettings& s, const std::string& host) {
  return "ERROR-Control Process: TARVO_GPUS_PER_RANK=" + std::to_string(s.gpusPerRank) + ": " + host +
         " has no GPU\n";
}

// The setting that needs a host's topology.
std::string TopologySetting(const RunSettings& s) {
  const bool gpus = s.gpusPerRank > 0 && s.bind == kBindNone;
  return gpus ? "TARVO_GPUS_PER_RANK=" + std::to_string(s.gpusPerRank) : std::string("TARVO_BIND=") + RankBindName(s.bind);
}

std::string NoTopology(const RunSettings& s) {
  return "ERROR-Control Process: " + TopologySetting(s) + ": tarvo-agent --topology cannot tell this host's units\n";
}

}  // namespace

std::string MapRanks(const std::vector<std::string>& hosts, const std::vector<bool>& mapped,
                     const HostTopology& topology, const RunSettings& s, std::vector<RankSlot>* slots,
                     std::string* lines) {
  std::vector<int> local, localSize;
  LocalRanks(hosts, &local, &localSize);
  std::map<std::string, HostMap> maps;
  const HostPlacing placing = HostPlacingOf(s);
  slots->assign(hosts.size(), RankSlot());
  for (size_t r = 0; r < hosts.size(); ++r) {
    if (!mapped[r]) continue;
    auto it = maps.find(hosts[r]);
    if (it == maps.end()) {
      if (s.gpusPerRank > 0 && topology.gpus.empty()) return NoGpu(s, hosts[r]);
      it = maps.emplace(hosts[r], PlaceHost(topology, localSize[r], placing)).first;
      *lines += HostMapWarnings(hosts[r], topology, it->second, s.bind);
    }
    (*slots)[r] = it->second.slots[static_cast<size_t>(local[r])];
  }
  return "";
}

std::string PlanPlacements(const RunSettings& s, const std::vector<std::string>& hosts, const std::vector<bool>& own,
                           std::vector<RankPlacement>* out) {
  out->clear();
  if (s.outputPattern.empty() && s.errorPattern.empty() && !Placing(s)) return "";
  const int count = static_cast<int>(hosts.size());
  for (const char* name : {"TARVO_OUTPUT", "TARVO_ERROR"}) {
    const std::string& pattern = name[6] == 'O' ? s.outputPattern : s.errorPattern;
    // "%%r" is a percent sign and an r: only ranks' own numbers part their files.
    const bool oneFile = spawn::ExpandRankPattern(pattern, 0, "") == spawn::ExpandRankPattern(pattern, 1, "");
    if (count > 1 && !pattern.empty() && oneFile) {
      return std::string("ERROR-Control Process: ") + name + "=" + pattern + " names one file for " +
             std::to_string(count) + " ranks: it needs %r\n";
    }
  }
  out->resize(hosts.size());
  std::vector<int> local, localSize;
  LocalRanks(hosts, &local, &localSize);
  for (int r = 0; r < count; ++r) {
    RankPlacement& p = (*out)[static_cast<size_t>(r)];
    const std::string& host = hosts[static_cast<size_t>(r)];
    p.index = local[static_cast<size_t>(r)];
    p.hostRanks = localSize[static_cast<size_t>(r)];
    if (!s.outputPattern.empty()) p.output = spawn::ExpandRankPattern(s.outputPattern, r, host);
    if (!s.errorPattern.empty()) p.error = spawn::ExpandRankPattern(s.errorPattern, r, host);
    if (p.output.size() > static_cast<size_t>(kMaxVectorElement)) return TooLong("TARVO_OUTPUT", s.outputPattern, r);
    if (p.error.size() > static_cast<size_t>(kMaxVectorElement)) return TooLong("TARVO_ERROR", s.errorPattern, r);
    p.place.output = p.output.empty() ? nullptr : p.output.c_str();
    p.place.error = p.error.empty() ? nullptr : p.error.c_str();
    if (s.cpusPerRank > 0 && getenv("OMP_NUM_THREADS") == nullptr) {
      p.env.push_back("OMP_NUM_THREADS=" + std::to_string(s.cpusPerRank));
    }
  }
  if (!Placing(s) || std::find(own.begin(), own.end(), true) == own.end()) return "";
  // The launcher's own ranks: this host's map.
  HostTopology topology;
  if (!LocalTopology(s.bind, s.gpusPerRank > 0, &topology)) return NoTopology(s);
  std::vector<RankSlot> slots;
  std::string lines;
  const std::string refusal = MapRanks(hosts, own, topology, s, &slots, &lines);
  if (!refusal.empty()) return refusal;
  bool here = true;
  for (int r = 0; r < count; ++r) here = here && (!own[static_cast<size_t>(r)] || CpusHere(slots[static_cast<size_t>(r)].cpus));
  if (s.bind != kBindNone && !here) lines += "tarvo: the ranks on this host are not bound: their CPUs are not all this machine's\n";
  for (int r = 0; r < count; ++r) {
    if (!own[static_cast<size_t>(r)]) continue;
    RankPlacement& p = (*out)[static_cast<size_t>(r)];
    const RankSlot& slot = slots[static_cast<size_t>(r)];
    p.place.cpus = slot.cpus;
    p.place.bind = s.bind != kBindNone && here;
    for (const std::string& e : DeviceEnvironment(topology, slot)) p.env.push_back(e);
    if (s.reportBinding) lines += RankMapLine(r, hosts[static_cast<size_t>(r)], topology, slot);
  }
  fputs(lines.c_str(), stderr);
  fflush(stderr);
  return "";
}

int DryRunLevel(const RunSettings& s) { return s.bind == kBindNone ? kBindCore : s.bind; }

std::string DryRun(const RunSettings& s, const std::vector<std::string>& hosts,
                   const std::vector<const HostTopology*>& told) {
  auto toldOf = [&](size_t r) { return r < told.size() ? told[r] : nullptr; };
  HostTopology here;
  bool needHere = false;
  for (size_t r = 0; r < hosts.size() && !needHere; ++r) needHere = toldOf(r) == nullptr;
  if (needHere && !LocalTopology(DryRunLevel(s), s.gpusPerRank > 0, &here)) return NoTopology(s);
  std::vector<int> local, localSize;
  LocalRanks(hosts, &local, &localSize);
  const HostPlacing placing = HostPlacingOf(s);
  // Each host's map, and its CPUs for a rank that is not bound.
  struct Mapped {
    HostMap map;
    cpu_set_t all;
  };
  std::map<std::string, Mapped> maps;
  std::string lines;
  for (size_t r = 0; r < hosts.size(); ++r) {
    const HostTopology& topology = toldOf(r) != nullptr ? *toldOf(r) : here;
    auto it = maps.find(hosts[r]);
    if (it == maps.end()) {
      if (s.gpusPerRank > 0 && topology.gpus.empty()) return NoGpu(s, hosts[r]);
      Mapped m;
      m.map = PlaceHost(topology, localSize[r], placing);
      CPU_ZERO(&m.all);
      for (const cpu_set_t& u : topology.units) CPU_OR(&m.all, &m.all, &u);
      it = maps.emplace(hosts[r], std::move(m)).first;
      lines += HostMapWarnings(hosts[r], topology, it->second.map, s.bind);
    }
    RankSlot slot = it->second.map.slots[static_cast<size_t>(local[r])];
    // An unbound rank may use every CPU of its host.
    if (s.bind == kBindNone) slot.cpus = it->second.all;
    lines += RankMapLine(static_cast<int>(r), hosts[r], topology, slot);
  }
  fputs(lines.c_str(), stderr);
  fflush(stderr);
  return "";
}

std::string GpuRefusal(const RunSettings& s, const std::vector<std::string>& hosts,
                       const std::vector<const HostTopology*>& told) {
  if (s.gpusPerRank == 0) return "";
  for (size_t r = 0; r < hosts.size() && r < told.size(); ++r) {
    if (told[r] != nullptr && told[r]->gpus.empty()) return NoGpu(s, hosts[r]);
  }
  return "";
}

std::string UntoldRefusal(const RunSettings& s, const std::string& host, const std::string& why) {
  return "ERROR-Control Process: " + TopologySetting(s) + ": the agent on " + host +
         " cannot tell its host's units: " + why + "\n";
}

std::string PlaceRankPlans(const RunSettings& s, std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                           std::vector<RankPlacement>* placements) {
  std::vector<bool> own;
  for (const ExecPlan& plan : plans) own.push_back(!plan.remote);
  const std::string refusal = PlanPlacements(s, hosts, own, placements);
  if (!refusal.empty() || placements->empty()) return refusal;
  for (size_t i = 0; i < plans.size(); ++i) {
    const RankPlacement& p = (*placements)[i];
    if (!plans[i].remote) {
      plans[i].place = &p.place;
      continue;
    }
    // ssh HOST tarvo-agent --place ... carrier PROGRAM ...
    const std::vector<std::string> words{"tarvo-agent", "--place", std::to_string(i), hosts[i],
                                         std::to_string(p.index), std::to_string(p.hostRanks), RankBindName(s.bind),
                                         std::to_string(s.cpusPerRank), std::to_string(s.gpusPerRank),
                                         s.reportBinding ? "1" : "0", p.output, p.error};
    plans[i].vector.insert(plans[i].vector.begin() + static_cast<long>(plans[i].shellWords) + 1, words.begin(), words.end());
  }
  return "";
}

std::string AgentPlacePayload(const RunSettings& s, int rank, const std::string& host, const RankPlacement& placement) {
  const int flags = (s.reportBinding ? kAgentPlaceReport : 0) | (s.cpusPerRank > 0 ? kAgentPlaceThreads : 0);
  AgentPlaceHead head{rank, s.bind, flags, s.cpusPerRank > 0 ? s.cpusPerRank : 1, s.gpusPerRank};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  return payload + AgentStrings({host, placement.output, placement.error});
}

}  // namespace spawn
