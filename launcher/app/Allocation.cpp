// The batch system's allocation that a run is inside: where its hosts and
// slots come from, and what a Slurm allocation gives the settings.
#include <string>
#include <vector>

#include "common/rank_place.h"
#include "launcher/app/ReadSettings.h"
#include "launcher/app/SettingText.h"

namespace {

// A host's slots in an allocation: more than any run's ranks.
const int kMaxSlots = 1 << 20;

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
