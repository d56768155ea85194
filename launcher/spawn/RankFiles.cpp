// Each rank's files and binding, worked out before any rank starts.
#include "launcher/spawn/RankFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "common/agent_wire.h"
#include "common/child_io.h"
#include "common/protocol.h"
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

// This host's units for `mode`, from the agent (which links hwloc): the
// tarvo-agent beside this tarvo, else the PATH's. False, reported, when it
// cannot tell.
bool LocalUnits(int mode, std::vector<cpu_set_t>* units) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string beside = "tarvo-agent";
  if (n > 0) {
    self[n] = '\0';
    const char* slash = strrchr(self, '/');
    beside = std::string(self, static_cast<size_t>(slash - self)) + "/tarvo-agent";
  }
  const char* argv[] = {"tarvo-agent", "--cpus", RankBindName(mode), nullptr};
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], STDOUT_FILENO);
    execv(beside.c_str(), const_cast<char**>(argv));
    execvp(argv[0], const_cast<char**>(argv));
    ChildPerror("tarvo: tarvo-agent", errno);
    _exit(127);
  }
  close(ends[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; pid > 0 && (got = read(ends[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(ends[0]);
  int status = 1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  units->clear();
  for (size_t at = 0; pid > 0 && status == 0 && at < text.size();) {
    const size_t end = text.find('\n', at);
    cpu_set_t set;
    if (end == std::string::npos || !CpuListRead(text.substr(at, end - at).c_str(), &set)) break;
    units->push_back(set);
    at = end + 1;
  }
  return pid > 0 && status == 0 && !units->empty();
}

std::string TooLong(const char* name, const std::string& pattern, int rank) {
  return std::string("ERROR-Control Process: ") + name + "=" + pattern + " names a file of more than " +
         std::to_string(kMaxVectorElement) + " characters for rank " + std::to_string(rank) + "\n";
}

}  // namespace

std::string PlanPlacements(const std::vector<std::string>& hosts, const std::vector<bool>& own,
                           std::vector<RankPlacement>* out) {
  const RunSettings& s = RunControlSettings();
  out->clear();
  if (s.outputPattern.empty() && s.errorPattern.empty() && s.bind == kBindNone) return "";
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
  std::map<std::string, int> onHost;
  std::vector<cpu_set_t> units;
  for (int r = 0; r < count; ++r) {
    RankPlacement& p = (*out)[static_cast<size_t>(r)];
    const std::string& host = hosts[static_cast<size_t>(r)];
    p.index = onHost[host]++;
    if (!s.outputPattern.empty()) p.output = spawn::ExpandRankPattern(s.outputPattern, r, host);
    if (!s.errorPattern.empty()) p.error = spawn::ExpandRankPattern(s.errorPattern, r, host);
    if (p.output.size() > static_cast<size_t>(kMaxVectorElement)) return TooLong("TARVO_OUTPUT", s.outputPattern, r);
    if (p.error.size() > static_cast<size_t>(kMaxVectorElement)) return TooLong("TARVO_ERROR", s.errorPattern, r);
    p.place.output = p.output.empty() ? nullptr : p.output.c_str();
    p.place.error = p.error.empty() ? nullptr : p.error.c_str();
    if (s.bind == kBindNone || !own[static_cast<size_t>(r)]) continue;
    if (units.empty() && !LocalUnits(s.bind, &units)) {
      return std::string("ERROR-Control Process: TARVO_BIND=") + RankBindName(s.bind) +
             ": tarvo-agent --cpus cannot tell this host's units\n";
    }
    p.place.cpus = units[static_cast<size_t>(p.index) % units.size()];
    p.place.bind = true;
    std::string lines;
    if (static_cast<size_t>(p.index) == units.size()) {
      lines += WrapReport(host, static_cast<int>(units.size()), RankBindName(s.bind));
    }
    if (s.reportBinding) lines += BoundReport(r, host, p.place.cpus);
    fputs(lines.c_str(), stderr);
  }
  fflush(stderr);
  return "";
}

std::string PlaceRankPlans(std::vector<ExecPlan>& plans, const std::vector<std::string>& hosts,
                           std::vector<RankPlacement>* placements) {
  std::vector<bool> own;
  for (const ExecPlan& plan : plans) own.push_back(!plan.remote);
  const std::string refusal = PlanPlacements(hosts, own, placements);
  if (!refusal.empty() || placements->empty()) return refusal;
  const RunSettings& s = RunControlSettings();
  for (size_t i = 0; i < plans.size(); ++i) {
    const RankPlacement& p = (*placements)[i];
    if (!plans[i].remote) {
      plans[i].place = &p.place;
      continue;
    }
    // ssh HOST tarvo-agent --place ... carrier PROGRAM ...
    const std::vector<std::string> words{"tarvo-agent", "--place", std::to_string(i), hosts[i],
                                         std::to_string(p.index), RankBindName(s.bind), s.reportBinding ? "1" : "0",
                                         p.output, p.error};
    plans[i].vector.insert(plans[i].vector.begin() + 2, words.begin(), words.end());
  }
  return "";
}

std::string AgentPlacePayload(int rank, const std::string& host, const RankPlacement& placement) {
  const RunSettings& s = RunControlSettings();
  AgentPlaceHead head{rank, s.bind, s.reportBinding ? kAgentPlaceReport : 0};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  return payload + AgentStrings({host, placement.output, placement.error});
}

}  // namespace spawn
