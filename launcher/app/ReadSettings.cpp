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
#include "launcher/app/SettingText.h"
#include "launcher/spawn/RankFiles.h"
#include "common/protocol.h"
#include "common/rank_place.h"

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

std::string Malformed(const char* name, const char* value, const std::string& want) {
  return std::string("ERROR-Control Process: ") + name + "=" + value + " is not " + want + "\n";
}

namespace {

// Longest TARVO_KILL_GRACE, and longest TARVO_TIMEOUT (a year).
const double kMaxGrace = 3600.0;
const double kMaxTimeout = 365.0 * 24 * 3600;
const int kMaxSshWindow = 1000;
// The most ranks a run has ("-np"'s bound).
const int kMaxRanks = 2000;
// TARVO_KVS_LIMIT's largest: its bytes still fit 31 bits.
const int kMaxKvsLimit = 2047;
// TARVO_RSH: a remote shell and its options, not a script.
const size_t kMaxRshWords = 32;
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

// The run's bounds: the grace before a kill, whether a failing rank ends the
// run, the time limits, the key-value space, the logins at once.
bool ReadLimits(const char* (*lookup)(const char*), RunSettings* s, std::string* error) {
  const char* v;
  if ((v = lookup("TARVO_KILL_GRACE")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxGrace, &s->killGrace)) {
    *error = Malformed("TARVO_KILL_GRACE", v, "a number of seconds from 0 to 3600");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_KILL_ON_BAD_EXIT", &s->killOnBadExit, error)) return false;
  if ((v = lookup("TARVO_TIMEOUT")) != nullptr && *v != '\0' && !ParseSeconds(v, kMaxTimeout, &s->timeout)) {
    *error = Malformed("TARVO_TIMEOUT", v, "a number of seconds from 0 (no limit) to 31536000");
    return false;
  }
  if ((v = lookup("TARVO_LOGIN_TIMEOUT")) != nullptr && *v != '\0' &&
      (!ParseSeconds(v, kMaxTimeout, &s->loginTimeout) || s->loginTimeout <= 0)) {
    *error = Malformed("TARVO_LOGIN_TIMEOUT", v, "a number of seconds over 0, up to 31536000");
    return false;
  }
  if ((v = lookup("TARVO_KVS_LIMIT")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxKvsLimit, &s->kvsLimitMiB) || s->kvsLimitMiB == 0)) {
    *error = Malformed("TARVO_KVS_LIMIT", v, "a whole number of MiB from 1 to 2047");
    return false;
  }
  if ((v = lookup("TARVO_SSH_WINDOW")) != nullptr && *v != '\0' && !ParseWhole(v, kMaxSshWindow, &s->sshWindow)) {
    *error = Malformed("TARVO_SSH_WINDOW", v, "a whole number from 0 (no limit) to 1000");
    return false;
  }
  return true;
}

// How the run starts its hosts and what it says: the launch mode, the
// environment exported, labels, the monitor, call stacks, terminals, the
// ranks' files.
bool ReadOutputs(const char* (*lookup)(const char*), RunSettings* s, std::string* error) {
  const char* v;
  if ((v = lookup("TARVO_LAUNCH")) != nullptr && *v != '\0') {
    if (strcmp(v, "rank") != 0 && strcmp(v, "host") != 0 && strcmp(v, "slurm") != 0) {
      *error = Malformed("TARVO_LAUNCH", v, "rank, host or slurm");
      return false;
    }
    s->launch = v[0] == 'h' ? RunSettings::kLaunchHost : v[0] == 's' ? RunSettings::kLaunchSlurm : RunSettings::kLaunchRank;
  }
  if ((v = lookup("TARVO_EXPORT")) != nullptr && *v != '\0' && !ParseExport(v, s)) {
    *error = Malformed("TARVO_EXPORT", v, "ALL, NONE or a comma-separated list of variable names");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_LABEL", &s->label, error) || !ReadSwitch(lookup, "TARVO_MONITOR", &s->monitor, error) ||
      !ReadSwitch(lookup, "TARVO_STACKS", &s->stacks, error) || !ReadSwitch(lookup, "TARVO_PTY", &s->pty, error)) {
    return false;
  }
  if ((v = lookup("TARVO_STACKS_SAMPLES")) != nullptr && *v != '\0') {
    if (strcmp(v, "1") != 0 && strcmp(v, "2") != 0) {
      *error = Malformed("TARVO_STACKS_SAMPLES", v, "1 or 2");
      return false;
    }
    s->stackSamples = v[0] - '0';
  }
  if ((v = lookup("TARVO_STACKS_DOT")) != nullptr) s->stacksDot = v;
  for (const char* name : {"TARVO_OUTPUT", "TARVO_ERROR"}) {
    if ((v = lookup(name)) == nullptr || *v == '\0') continue;
    if (!spawn::RankPatternWellFormed(v)) {
      *error = Malformed(name, v, "a file name whose % is followed by r (rank), h (host) or %");
      return false;
    }
    (name[6] == 'O' ? s->outputPattern : s->errorPattern) = v;
  }
  return true;
}

// Where the ranks go and what they are bound to.
bool ReadPlacement(const char* (*lookup)(const char*), RunSettings* s, std::string* error) {
  const char* v;
  if ((v = lookup("TARVO_PPN")) != nullptr && *v != '\0' && (!ParseWhole(v, kMaxPpn, &s->ppn) || s->ppn == 0)) {
    *error = Malformed("TARVO_PPN", v, "a whole number of ranks per host from 1 to 2000");
    return false;
  }
  if ((v = lookup("TARVO_CPUS_PER_RANK")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxCpusPerRank, &s->cpusPerRank) || s->cpusPerRank == 0)) {
    *error = Malformed("TARVO_CPUS_PER_RANK", v, "a whole number from 1 to 1024");
    return false;
  }
  if ((v = lookup("TARVO_GPUS_PER_RANK")) != nullptr && *v != '\0' &&
      (!ParseWhole(v, kMaxGpusPerRank, &s->gpusPerRank) || s->gpusPerRank == 0)) {
    *error = Malformed("TARVO_GPUS_PER_RANK", v, "a whole number from 1 to 1024");
    return false;
  }
  if (!ReadSwitch(lookup, "TARVO_DRY_RUN", &s->dryRun, error)) return false;
  // Units per rank bind them, at the cores' level unless told otherwise.
  if (s->cpusPerRank > 0) s->bind = kBindCore;
  if ((v = lookup("TARVO_BIND")) != nullptr && *v != '\0') {
    if (!RankBindRead(v, &s->bind)) {
      *error = Malformed("TARVO_BIND", v, "hwthread, core, l3cache, numa, socket or none");
      return false;
    }
  }
#ifndef TARVO_HAVE_HWLOC
  if (s->bind != kBindNone || s->gpusPerRank > 0) {
    const char* name = s->gpusPerRank > 0 ? "TARVO_GPUS_PER_RANK" : lookup("TARVO_BIND") != nullptr && *lookup("TARVO_BIND") != '\0' ? "TARVO_BIND" : "TARVO_CPUS_PER_RANK";
    *error = std::string("ERROR-Control Process: ") + name + "=" + lookup(name) + " needs hwloc, which this tarvo was built without\n";
    return false;
  }
#endif
  if (!ReadSwitch(lookup, "TARVO_REPORT_BINDING", &s->reportBinding, error)) return false;
  return true;
}

// How the ranks start: PMIx, the remote shell, the standard input, the
// working directory, the signal before the time limit.
bool ReadRankStarts(const char* (*lookup)(const char*), RunSettings* s, std::string* error) {
  const char* v;
  if ((v = lookup("TARVO_PMIX")) != nullptr && *v != '\0') {
    if (strcmp(v, "0") != 0 && strcmp(v, "1") != 0 && strcmp(v, "auto") != 0) {
      *error = Malformed("TARVO_PMIX", v, "0, 1 or auto");
      return false;
    }
    s->pmix = v[0] == 'a' ? -1 : v[0] - '0';
  }
  if ((v = lookup("TARVO_RSH")) != nullptr && !ReadRemoteShell(v, lookup("HOME"), &s->rsh, error)) return false;
  if ((v = lookup("TARVO_STDIN")) != nullptr && *v != '\0') {
    if (strcmp(v, "all") == 0 || strcmp(v, "none") == 0) {
      s->stdinWho = v[0] == 'a' ? RunSettings::kStdinAll : RunSettings::kStdinNone;
    } else if (!ParseWhole(v, kMaxRanks - 1, &s->stdinWho)) {
      *error = Malformed("TARVO_STDIN", v, "0, all, none or a rank");
      return false;
    }
  }
  if ((v = lookup("TARVO_WDIR")) != nullptr && *v != '\0') {
    if (strlen(v) > static_cast<size_t>(kMaxPathText)) {
      *error = Malformed("TARVO_WDIR", v, "a directory of at most " + std::to_string(kMaxPathText) + " characters");
      return false;
    }
    s->wdir = v;
  }
  if ((v = lookup("TARVO_TIMEOUT_SIGNAL")) != nullptr && *v != '\0') {
    const char* at = strrchr(v, '@');
    if (at == nullptr || !ParseSignal(std::string(v, at), &s->timeoutSignal) ||
        !ParseSeconds(at + 1, kMaxTimeout, &s->timeoutSignalBefore)) {
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, "SIG@SECONDS, a signal (USR1, TERM, a number) and seconds");
      return false;
    }
    if (s->timeout <= 0) {
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, "of use without TARVO_TIMEOUT");
      return false;
    }
    if (s->timeoutSignalBefore >= s->timeout) {
      char limit[32];
      snprintf(limit, sizeof limit, "%g", s->timeout);
      *error = Malformed("TARVO_TIMEOUT_SIGNAL", v, std::string("SIG@SECONDS with SECONDS below TARVO_TIMEOUT=") + limit);
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadRunSettings(const char* (*lookup)(const char*), RunSettings* out, std::string* error) {
  RunSettings s;
  if (!ReadLimits(lookup, &s, error) || !ReadOutputs(lookup, &s, error) || !ReadPlacement(lookup, &s, error) ||
      !ReadRankStarts(lookup, &s, error)) {
    return false;
  }
  *out = s;
  return true;
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
