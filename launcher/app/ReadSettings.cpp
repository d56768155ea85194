// The launcher's settings of its own, from TARVO_* environment variables,
// read once at start-up.
#include <cctype>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/app/ReadSettings.h"
#include "launcher/spawn/RankFiles.h"
#include "common/protocol.h"
#include "common/rank_place.h"

namespace {

// Longest TARVO_KILL_GRACE, and longest TARVO_TIMEOUT (a year).
const double kMaxGrace = 3600.0;
const double kMaxTimeout = 365.0 * 24 * 3600;
const int kMaxSshWindow = 1000;
const int kMaxPpn = 2000;
// The most ranks a run has ("-np"'s bound).
const int kMaxRanks = 2000;
// TARVO_KVS_LIMIT's largest: its bytes still fit 31 bits.
const int kMaxKvsLimit = 2047;
// TARVO_RSH: a remote shell and its options, not a script.
const size_t kMaxRshWords = 32;
// A host's slots in an allocation: more than any run's ranks.
const int kMaxSlots = 1 << 20;
// A decimal number of seconds from 0 to `max`, all of the text.
bool ParseSeconds(const char* text, double max, double* out) {
  if (*text == '\0' || *text == '-' || *text == '+' || isspace(static_cast<unsigned char>(*text))) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c)) && *c != '.') return false;
  }
  char* end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 || value > max) return false;
  *out = value;
  return true;
}

bool ParseWhole(const char* text, int max, int* out) {
  if (*text == '\0' || strlen(text) > 9) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c))) return false;
  }
  int value = atoi(text);
  if (value > max) return false;
  *out = value;
  return true;
}

// ALL, NONE, or NAME[,NAME...] where a name is a shell variable's.
bool ParseExport(const char* text, RunSettings* s) {
  if (strcmp(text, "ALL") == 0 || strcmp(text, "NONE") == 0) {
    s->exportMode = text[0] == 'A' ? RunSettings::kExportAll : RunSettings::kExportNone;
    return true;
  }
  s->exportMode = RunSettings::kExportList;
  std::string name;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      if (name.empty() || isdigit(static_cast<unsigned char>(name[0]))) return false;
      s->exportNames.push_back(name);
      name.clear();
      if (*c == '\0') return true;
    } else if (isalnum(static_cast<unsigned char>(*c)) || *c == '_') {
      name += *c;
    } else {
      return false;
    }
  }
}

// A signal by its name (with or without "SIG") or its number.
bool ParseSignal(const std::string& text, int* sig) {
  static const struct {
    const char* name;
    int sig;
  } kNames[] = {{"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ABRT", SIGABRT}, {"KILL", SIGKILL},
                {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"ALRM", SIGALRM}, {"TERM", SIGTERM},
                {"CONT", SIGCONT}, {"STOP", SIGSTOP}, {"TSTP", SIGTSTP}, {"URG", SIGURG},   {"XCPU", SIGXCPU},
                {"WINCH", SIGWINCH}};
  if (!text.empty() && text.size() <= 2 && isdigit(static_cast<unsigned char>(text[0])) &&
      isdigit(static_cast<unsigned char>(text.back()))) {
    *sig = atoi(text.c_str());
    return *sig > 0 && *sig < NSIG;
  }
  const std::string name = text.compare(0, 3, "SIG") == 0 ? text.substr(3) : text;
  for (const auto& n : kNames) {
    if (name == n.name) {
      *sig = n.sig;
      return true;
    }
  }
  return false;
}

std::string Malformed(const char* name, const char* value, const std::string& want) {
  return std::string("ERROR-Control Process: ") + name + "=" + value + " is not " + want + "\n";
}

// A switch: unset or empty keeps the default, "0" is off, "1" on; anything
// else is refused.
bool ReadSwitch(const char* (*lookup)(const char*), const char* name, bool* on, std::string* error) {
  const char* v = lookup(name);
  if (v == nullptr || *v == '\0') return true;
  if (strcmp(v, "0") != 0 && strcmp(v, "1") != 0) {
    *error = Malformed(name, v, "0 or 1");
    return false;
  }
  *on = v[0] == '1';
  return true;
}

}  // namespace

bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* out, std::string* error) {
  RunSettings s;
  const char* v;
  if ((v = lookup("TARVO_KILL_GRACE")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxGrace, &s.killGrace)) {
    *error = Malformed("TARVO_KILL_GRACE", v, "a number of seconds from 0 to 3600");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_KILL_ON_BAD_EXIT", &s.killOnBadExit, error)) return false;
  if ((v = lookup("TARVO_TIMEOUT")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxTimeout, &s.timeout)) {
    *error = Malformed("TARVO_TIMEOUT", v, "a number of seconds from 0 (no limit) to 31536000");
    return false;
  }
  if ((v = lookup("TARVO_LOGIN_TIMEOUT")) != nullptr && *v != '\0' &&
      (!ParseSeconds(v, kMaxTimeout, &s.loginTimeout) || s.loginTimeout <= 0)) {
    *error = Malformed("TARVO_LOGIN_TIMEOUT", v, "a number of seconds over 0, up to 31536000");
    return false;
  }
  if ((v = lookup("TARVO_KVS_LIMIT")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxKvsLimit, &s.kvsLimitMiB) || s.kvsLimitMiB == 0)) {
    *error = Malformed("TARVO_KVS_LIMIT", v, "a whole number of MiB from 1 to 2047");
    return false;
  }
  if ((v = lookup("TARVO_SSH_WINDOW")) != nullptr && *v != '\0' && !ParseWhole(v, kMaxSshWindow, &s.sshWindow)) {
    *error = Malformed("TARVO_SSH_WINDOW", v, "a whole number from 0 (no limit) to 1000");
    return false;
  }
  if ((v = lookup("TARVO_LAUNCH")) != nullptr && *v != '\0') {
    if (strcmp(v, "rank") != 0 && strcmp(v, "host") != 0 && strcmp(v, "slurm") != 0) {
      *error = Malformed("TARVO_LAUNCH", v, "rank, host or slurm");
      return false;
    }
    s.launch = v[0] == 'h' ? RunSettings::kLaunchHost : v[0] == 's' ? RunSettings::kLaunchSlurm : RunSettings::kLaunchRank;
  }
  if ((v = lookup("TARVO_EXPORT")) != nullptr && *v != '\0' && !ParseExport(v, &s)) {
    *error = Malformed("TARVO_EXPORT", v, "ALL, NONE or a comma-separated list of variable names");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_LABEL", &s.label, error) || !ReadSwitch(lookup, "TARVO_MONITOR", &s.monitor, error) ||
      !ReadSwitch(lookup, "TARVO_STACKS", &s.stacks, error) || !ReadSwitch(lookup, "TARVO_PTY", &s.pty, error)) {
    return false;
  }
  if ((v = lookup("TARVO_STACKS_SAMPLES")) != nullptr && *v != '\0') {
    if (strcmp(v, "1") != 0 && strcmp(v, "2") != 0) {
      *error = Malformed("TARVO_STACKS_SAMPLES", v, "1 or 2");
      return false;
    }
    s.stackSamples = v[0] - '0';
  }
  if ((v = lookup("TARVO_STACKS_DOT")) != nullptr) s.stacksDot = v;
  for (const char* name : {"TARVO_OUTPUT", "TARVO_ERROR"}) {
    if ((v = lookup(name)) == nullptr || *v == '\0') continue;
    if (!spawn::RankPatternWellFormed(v)) {
      *error = Malformed(name, v, "a file name whose % is followed by r (rank), h (host) or %");
      return false;
    }
    (name[6] == 'O' ? s.outputPattern : s.errorPattern) = v;
  }
  if ((v = lookup("TARVO_PPN")) != nullptr && *v != '\0' && (!ParseWhole(v, kMaxPpn, &s.ppn) || s.ppn == 0)) {
    *error = Malformed("TARVO_PPN", v, "a whole number of ranks per host from 1 to 2000");
    return false;
  }
  if ((v = lookup("TARVO_CPUS_PER_RANK")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxCpusPerRank, &s.cpusPerRank) || s.cpusPerRank == 0)) {
    *error = Malformed("TARVO_CPUS_PER_RANK", v, "a whole number from 1 to 1024");
    return false;
  }
  if ((v = lookup("TARVO_GPUS_PER_RANK")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxGpusPerRank, &s.gpusPerRank) || s.gpusPerRank == 0)) {
    *error = Malformed("TARVO_GPUS_PER_RANK", v, "a whole number from 1 to 1024");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_DRY_RUN", &s.dryRun, error)) return false;
  // Units per rank bind them, at the cores' level unless told otherwise.
  if (s.cpusPerRank > 0) s.bind = kBindCore;
  if ((v = lookup("TARVO_BIND")) != nullptr && *v != '\0') {
    if (!RankBindRead(v, &s.bind)) {
      *error = Malformed("TARVO_BIND", v, "hwthread, core, l3cache, numa, socket or none");
      return false;
    }
  }
#ifndef TARVO_HAVE_HWLOC
  if (s.bind != kBindNone || s.gpusPerRank > 0) {
    const char* name = s.gpusPerRank > 0 ? "TARVO_GPUS_PER_RANK" : lookup("TARVO_BIND") != nullptr && *lookup("TARVO_BIND") != '\0' ? "TARVO_BIND" : "TARVO_CPUS_PER_RANK";
    *error = std::string("ERROR-Control Process: ") + name + "=" + lookup(name) + " needs hwloc, which this tarvo was built without\n";
    return false;
  }
#endif
  if (!ReadSwitch(lookup, "TARVO_REPORT_BINDING", &s.reportBinding, error)) return false;
  if ((v = lookup("TARVO_PMIX")) != nullptr && *v != '\0') {
    if (strcmp(v, "0") != 0 && strcmp(v, "1") != 0 && strcmp(v, "auto") != 0) {
      *error = Malformed("TARVO_PMIX", v, "0, 1 or auto");
      return false;
    }
    s.pmix = v[0] == 'a' ? -1 : v[0] - '0';
  }
  if ((v = lookup("TARVO_RSH")) != nullptr && !ReadRemoteShell(v, lookup("HOME"), &s.rsh, error)) return false;
  if ((v = lookup("TARVO_STDIN")) != nullptr && *v != '\0') {
    if (strcmp(v, "all") == 0 || strcmp(v, "none") == 0) {
      s.stdinWho = v[0] == 'a' ? RunSettings::kStdinAll : RunSettings::kStdinNone;
    } else if (!ParseWhole(v, kMaxRanks - 1, &s.stdinWho)) {
      *error = Malformed("TARVO_STDIN", v, "0, all, none or a rank");
      return false;
    }
  }
  if ((v = lookup("TARVO_WDIR")) != nullptr && *v != '\0') {
    if (strlen(v) > static_cast<size_t>(kMaxPathText)) {
      *error = Malformed("TARVO_WDIR", v, "a directory of at most " + std::to_string(kMaxPathText) + " characters");
      return false;
    }
    s.wdir = v;
  }
  if ((v = lookup("TARVO_TIMEOUT_SIGNAL")) != nullptr && *v != '\0') {
    const char* at = strrchr(v, '@');
    if (at == nullptr || !ParseSignal(std::string(v, at), &s.timeoutSignal) ||
        !ParseSeconds(at + 1, kMaxTimeout, &s.timeoutSignalBefore)) {
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, "SIG@SECONDS, a signal (USR1, TERM, a number) and seconds");
      return false;
    }
    if (s.timeout <= 0) {
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, "of use without TARVO_TIMEOUT");
      return false;
    }
    if (s.timeoutSignalBefore >= s.timeout) {
      char limit[32];
      snprintf(limit, sizeof limit, "%g", s.timeout);
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, std::string("SIG@SECONDS with SECONDS below TARVO_TIMEOUT=") + limit);
      return false;
    }
  }
  *out = s;
  return true;
}

namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

// Adds `slots` to `name`'s, a new host going last.
void AddSlots(std::vector<Allocation::Host>* hosts, const std::string& name, int slots) {
  for (Allocation::Host& h : *hosts) {
    if (h.name == name) {
      h.slots = h.slots > kMaxSlots - slots ? kMaxSlots : h.slots + slots;
      return;
    }
  }
  hosts->push_back(Allocation::Host{name, slots});
}

// The lines of `text`, split at blanks; blank lines skipped.
std::vector<std::vector<std::string>> Lines(const std::string& text) {
  std::vector<std::vector<std::string>> lines(1);
  std::string word;
  for (size_t k = 0; k <= text.size(); ++k) {
    const char c = k < text.size() ? text[k] : '\n';
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) lines.back().push_back(word);
      word.clear();
      if (c == '\n' && !lines.back().empty()) lines.emplace_back();
    } else {
      word += c;
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

// "host n host n ...": false for an odd count of words or a count that is
// not a whole number over 0.
bool HostCountPairs(const std::vector<std::string>& words, std::vector<Allocation::Host>* hosts) {
  if (words.empty() || words.size() % 2 != 0) return false;
  for (size_t k = 0; k < words.size(); k += 2) {
    int n = 0;
    if (!ParseWhole(words[k + 1].c_str(), kMaxSlots, &n) || n == 0) return false;
    AddSlots(hosts, words[k], n);
  }
  return true;
}

// A batch system's host file named by `variable`: read by `readFile`,
// each line taken by `line` (false: not a line of such a file).
bool ReadHostFile(const char* (*lookup)(const char*), bool (*readFile)(const char*, std::string*),
                  const char* variable, bool (*line)(const std::vector<std::string>&, Allocation*),
                  Allocation* out, std::string* error) {
  const char* path = lookup(variable);
  out->source = std::string(variable) + "=" + path;
  std::string text;
  if (readFile == nullptr || !readFile(path, &text)) {
    *error = Malformed(variable, path, "a file that tarvo can read");
    return false;
  }
  for (const std::vector<std::string>& words : Lines(text)) {
    if (!line(words, out)) {
      *error = Malformed(variable, path, "a host file of the batch system (a line \"" + words[0] + "...\")");
      return false;
    }
  }
  if (out->hosts.empty()) {
    *error = Malformed(variable, path, "a file that names a host");
    return false;
  }
  return true;
}

}  // namespace

int Allocation::Slots() const {
  int total = 0;
  for (const Host& h : hosts) total = total > kMaxSlots - h.slots ? kMaxSlots : total + h.slots;
  return total;
}

bool FindAllocation(const char* (*lookup)(const char*), bool (*readFile)(const char*, std::string*),
                    bool machineFileGiven, Allocation* allocation, std::string* error) {
  Allocation a;
  *allocation = a;
  if (machineFileGiven || Set(lookup("TARVO_LAUNCH"))) return true;
  if (Set(lookup("SLURM_JOB_ID")) && Set(lookup("SLURM_JOB_NODELIST"))) {
    a.system = Allocation::kSlurm;
    a.source = "SLURM_JOB_NODELIST";
  } else if (Set(lookup("PBS_JOBID")) && Set(lookup("PBS_NODEFILE"))) {
    a.system = Allocation::kPbs;
    // A line per slot: a host's slots are its lines.
    auto slot = [](const std::vector<std::string>& words, Allocation* out) {
      if (words.size() != 1) return false;
      AddSlots(&out->hosts, words[0], 1);
      return true;
    };
    if (!ReadHostFile(lookup, readFile, "PBS_NODEFILE", slot, &a, error)) return false;
  } else if (Set(lookup("LSB_JOBID")) && (Set(lookup("LSB_MCPU_HOSTS")) || Set(lookup("LSB_HOSTS")))) {
    a.system = Allocation::kLsf;
    const char* pairs = lookup("LSB_MCPU_HOSTS");
    const char* name = Set(pairs) ? "LSB_MCPU_HOSTS" : "LSB_HOSTS";
    const char* value = lookup(name);
    a.source = name;
    std::vector<std::string> words;
    for (const auto& line : Lines(value)) words.insert(words.end(), line.begin(), line.end());
    if (Set(pairs) ? !HostCountPairs(words, &a.hosts) : words.empty()) {
      *error = Malformed(name, value, Set(pairs) ? "a list of hosts, each with its slots" : "a list of hosts");
      return false;
    }
    for (size_t k = 0; !Set(pairs) && k < words.size(); ++k) AddSlots(&a.hosts, words[k], 1);
  } else if (Set(lookup("JOB_ID")) && Set(lookup("PE_HOSTFILE"))) {
    a.system = Allocation::kGridEngine;
    // "host slots queue processors": a host on several lines (a queue each)
    // is one host with the sum of their slots.
    auto queue = [](const std::vector<std::string>& words, Allocation* out) {
      int n = 0;
      if (words.size() < 2 || !ParseWhole(words[1].c_str(), kMaxSlots, &n) || n == 0) return false;
      AddSlots(&out->hosts, words[0], n);
      return true;
    };
    if (!ReadHostFile(lookup, readFile, "PE_HOSTFILE", queue, &a, error)) return false;
  }
  *allocation = a;
  return true;
}

std::string AllocationHosts(const Allocation& allocation) {
  std::string text;
  for (const Allocation::Host& h : allocation.hosts) text += h.name + ":" + std::to_string(h.slots) + "\n";
  return text;
}

void UseTheAllocation(const char* (*lookup)(const char*), bool machineFileGiven, RunSettings* settings) {
  Allocation a;
  std::string error;
  // Slurm's nodes are found without reading a file.
  if (FindAllocation(lookup, nullptr, machineFileGiven, &a, &error) && a.system == Allocation::kSlurm) {
    settings->launch = RunSettings::kLaunchSlurm;
  }
  if (settings->launch != RunSettings::kLaunchSlurm) return;
  // The allocation's own shape, where the user did not say: a value that
  // is not a plain number in range (Slurm's are) is left alone.
  const char* v;
  int n = 0;
  if (settings->ppn == 0 && (v = lookup("SLURM_NTASKS_PER_NODE")) != nullptr && ParseWhole(v, kMaxPpn, &n) && n > 0) {
    settings->ppn = n;
  }
  const char* bind = lookup("TARVO_BIND");
  if (settings->cpusPerRank == 0 && (v = lookup("SLURM_CPUS_PER_TASK")) != nullptr &&
      ParseWhole(v, kMaxCpusPerRank, &n) && n > 0) {
    settings->cpusPerRank = n;
#ifdef TARVO_HAVE_HWLOC
    if (bind == nullptr || *bind == '\0') settings->bind = kBindCore;
#else
    (void)bind;
#endif
  }
}

bool ReadRemoteShell(const char* value, const char* home, std::vector<std::string>* words, std::string* error) {
  std::vector<std::string> split;
  std::string word;
  for (const char* c = value;; ++c) {
    if (*c == '\0' || *c == ' ' || *c == '\t' || *c == '\n') {
      if (!word.empty()) split.push_back(word);
      word.clear();
      if (*c == '\0') break;
    } else {
      word += *c;
    }
  }
  if (split.empty()) {
    *error = Malformed("TARVO_RSH", value, "a remote shell's command (a program and its options)");
    return false;
  }
  if (split.size() > kMaxRshWords) {
    *error = Malformed("TARVO_RSH", value, "a command of at most " + std::to_string(kMaxRshWords) + " words");
    return false;
  }
  for (std::string& w : split) {
    // Without a shell nothing else would expand the "~/" of `-F ~/ssh_config`.
    if (w.compare(0, 2, "~/") == 0 && home != nullptr && *home != '\0') w = home + w.substr(1);
    if (w.size() > static_cast<size_t>(kMaxVectorElement)) {
      *error = Malformed("TARVO_RSH", value,
                         "a command whose words take at most " + std::to_string(kMaxVectorElement) + " characters");
      return false;
    }
  }
  *words = split;
  return true;
}
