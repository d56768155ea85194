// The pure parts of spawning: the child argument vector, the machine-file
// and program-file readers, and the status of a run. Nothing here starts a
// process, prints or exits.
#include "launcher/spawn/Inputs.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/machine_words.h"
#include "common/reports.h"

namespace spawn {

namespace {

// The white space that separates machine-file words, as "%s" reads them.
bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// How much of an over-long host word a report shows.
const size_t kShownWord = 128;

std::string ProgramLineError(const char* path, int number, const std::string& what) {
  return std::string("ERROR-Control Process: program file ") + path + ", line " + std::to_string(number) + ": " + what +
         "\n";
}

std::string TooLongElement(const char* what, const std::string& text, size_t limit) {
  return std::string("ERROR-Control Process: ") + what + " is longer than " + std::to_string(limit) +
         " characters: " + text + "\n";
}

}  // namespace

std::vector<std::string> ChildVector(bool remote, bool ssh, const std::string& host,
                                     const std::vector<std::string>& words, const LauncherParams& params, int rank) {
  std::vector<std::string> v;
  v.reserve(words.size() + kFixedEntries);
  if (remote) {
    v.push_back(ssh ? "ssh" : "rsh");
    v.push_back(host);
  }
  v.push_back("carrier");
  v.insert(v.end(), words.begin(), words.end());
  std::string p[TARVO_PARAMS];
  p[TARVO_PARAM_CONSOLE_PORT] = std::to_string(params.consolePort);
  p[TARVO_PARAM_SYNC_PORT] = std::to_string(params.syncPort);
  p[TARVO_PARAM_HOST] = params.address;
  p[TARVO_PARAM_ADDRESS_PORT] = std::to_string(params.addressPort);
  p[TARVO_PARAM_VISUAL_PORT] = std::to_string(params.visualPort);
  p[TARVO_PARAM_RANK] = std::to_string(rank);
  p[TARVO_PARAM_SIZE] = std::to_string(params.count);
  p[TARVO_PARAM_WORKDIR] = params.workdir;
  v.insert(v.end(), p, p + TARVO_PARAMS);
  return v;
}

std::string ShellQuoted(const std::string& word) {
  static const char kPlain[] = "_@%+=:,./-";
  bool plain = !word.empty();
  for (char c : word) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      (c != '\0' && strchr(kPlain, c) != nullptr));
  }
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

size_t VectorBytes(const std::vector<std::string>& vector) {
  size_t bytes = 0;
  for (const std::string& s : vector) bytes += s.size() + 1 + sizeof(char*);
  return bytes + sizeof(char*);
}

size_t EnvironmentBytes(char** env) {
  size_t bytes = sizeof(char*);
  for (char** e = env; e != nullptr && *e != nullptr; ++e) bytes += strlen(*e) + 1 + sizeof(char*);
  return bytes;
}

std::string CheckVector(const std::vector<std::string>& words, const LauncherParams& params, size_t environment,
                        size_t argMax) {
  const size_t word = static_cast<size_t>(kMaxElementLength);
  const size_t path = static_cast<size_t>(kMaxPathText);
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() > (i == 0 ? path : word)) {
      return TooLongElement(i == 0 ? "program path" : "argument", words[i], i == 0 ? path : word);
    }
  }
  if (params.workdir.size() > path) return TooLongElement("working directory", params.workdir, path);
  if (params.address.size() > word) return TooLongElement("launcher address", params.address, word);
  // carrier's vector (its remote shell's words are fewer than the
  // program's) beside the environment that the exec hands on.
  const size_t bytes = VectorBytes(ChildVector(false, false, std::string(), words, params, params.count)) + environment;
  if (bytes > argMax) {
    return "ERROR-Control Process: " + std::to_string(words.size() - 1) +
           " user arguments do not fit the child argument vector (at most " + std::to_string(argMax) +
           " bytes with the environment, ARG_MAX)\n";
  }
  return std::string();
}

namespace {
const size_t kMaxSkippedWord = 1u << 20;
}  // namespace

MachineFileHosts::Word MachineFileHosts::ReadWord(std::string* word, bool* fresh) {
  word->clear();
  *fresh = false;
  int c;
  for (;;) {
    c = fgetc(file_);
    if (c == '#') {
      while (c != EOF && c != '\n') c = fgetc(file_);
    }
    if (c == '\n') *fresh = true;
    if (c == EOF || !IsSpace(c)) break;
  }
  if (c == EOF) return ferror(file_) ? kError : kEnd;
  size_t length = 0;
  for (; c != EOF && !IsSpace(c) && c != '#'; c = fgetc(file_)) {
    if (word->size() < kShownWord) word->push_back(static_cast<char>(c));
    // A "word" of a mebibyte is no host name but a file that never ends
    // (a device, an endless pipe): refuse it as unreadable.
    if (++length > kMaxSkippedWord) return kError;
  }
  // The next word's read sees the end of this one: a line end, or a comment.
  if (c != EOF) ungetc(c, file_);
  if (length > kShownWord) {
    *word += "...";
    return kTooLong;
  }
  return kWord;
}

MachineFileHosts::Word MachineFileHosts::TakeWord(std::string* word, bool* fresh) {
  if (!peeked_) return ReadWord(word, fresh);
  peeked_ = false;
  *word = peekWord_;
  *fresh = peekFresh_;
  return peekKind_;
}

MachineFileHosts::Result MachineFileHosts::Next(std::string* host, std::string* report) {
  std::string word;
  bool fresh = false;
  for (;;) {
    if (left_ > 0) {
      --left_;
      *host = current_;
      return kHost;
    }
    Word kind = TakeWord(&word, &fresh);
    std::string name = word;
    int places = 1;
    if (kind == kWord) {
      size_t length = 0;
      if (const int n = MachineWordPlaces(word, &length)) {
        name = word.substr(0, length);
        places = n;
      }
      // "host slots=N": the next word of the same line.
      peekKind_ = ReadWord(&peekWord_, &peekFresh_);
      peeked_ = true;
      int slots = 0;
      if (peekKind_ == kWord && !peekFresh_ && (slots = MachineSlotsWord(peekWord_)) > 0) {
        places = slots;
        peeked_ = false;
      }
      if (name.size() > static_cast<size_t>(kMaxHostLength)) kind = kTooLong;
    }
    switch (kind) {
      case kWord:
        if (resolves_(name.c_str())) {
          current_ = name;
          left_ = perHost_ > 0 ? perHost_ : places;
          taken_ = true;
          usedSinceRewind_ = true;
          break;
        }
        *report += "ERROR-Host: " + name + kHostUnknown;
        *report += kCheckMachineFile;
        break;
      case kTooLong:
        *report += "ERROR-Host: " + word + " is longer than " + std::to_string(kMaxHostLength) + " characters\n";
        *report += kCheckMachineFile;
        break;
      case kError:
        return kUnreadable;
      case kEnd:
        if (!taken_) return kLocal;
        // A whole pass from the start that found nothing: the names stopped
        // resolving, and rereading would go on for ever.
        if (rewound_ && !usedSinceRewind_) return kExhausted;
        rewind(file_);
        peeked_ = false;
        rewound_ = true;
        usedSinceRewind_ = false;
        break;
    }
  }
}

std::vector<std::string> SplitProgramLine(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && line[i] == ' ') ++i;
  if (i == n) {
    words.emplace_back();  // a line of blanks: one empty word
    return words;
  }
  for (;;) {
    size_t start = i;
    while (i < n && line[i] != ' ') ++i;
    words.push_back(line.substr(start, i - start));
    if (i == n) return words;
    while (i < n && line[i] == ' ') ++i;
    if (i == n) {
      words.emplace_back();  // trailing blanks: one last empty word
      return words;
    }
  }
}

bool ReadProgramFile(FILE* file, const char* path, std::vector<ProgramLine>* lines, std::string* error) {
  lines->clear();
  int number = 0;
  for (;;) {
    std::string line;
    bool any = false;
    bool tooLong = false;
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
      any = true;
      if (line.size() == static_cast<size_t>(kMaxLineLength)) {
        // Refused at once: a file without line ends (a device, a pipe that
        // never stops) must not keep the launcher reading for ever.
        tooLong = true;
        break;
      }
      line.push_back(static_cast<char>(c));
    }
    if (c == EOF && ferror(file)) {
      *error = std::string("ERROR-Control Process: Cannot read program file: ") + path + "\n";
      return false;
    }
    if (c == EOF && !any) return true;  // the line end before closed the last line
    ++number;
    if (tooLong) {
      *error = ProgramLineError(path, number, "longer than " + std::to_string(kMaxLineLength) + " characters");
      return false;
    }
    if (line.empty()) continue;  // an empty line starts no process
    ProgramLine entry;
    entry.number = number;
    entry.words = SplitProgramLine(line);
    if (entry.words.size() > static_cast<size_t>(kMaxLineWords)) {
      *error = ProgramLineError(path, number, "more than " + std::to_string(kMaxLineWords) + " words");
      return false;
    }
    for (const std::string& w : entry.words) {
      if (w.size() > static_cast<size_t>(kMaxElementLength)) {
        *error = ProgramLineError(path, number, "a word longer than " + std::to_string(kMaxElementLength) + " characters");
        return false;
      }
    }
    lines->push_back(std::move(entry));
  }
}

std::vector<std::string> ExportedEnvironment(char** env, bool all, const std::vector<std::string>& names) {
  // What describes this host or this login, not the run: the far side has
  // its own (its sshd sets SSH_*, HOME, USER and the like for the agent).
  static const char kNever[][25] = {"HOSTNAME", "HOST", "DISPLAY", "XAUTHORITY", "PWD", "OLDPWD", "SHLVL",
                                       "_", "HOME", "USER", "LOGNAME", "MAIL", "TERM", "TMUX", "STY",
                                       "WINDOWID", "DBUS_SESSION_BUS_ADDRESS", "TARVO_LAUNCHER_PID"};
  static const char kNeverPrefix[][8] = {"SSH_", "SLURM_", "SLURMD_", "XDG_"};
  std::vector<std::string> out;
  for (char** e = env; e != nullptr && *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq == nullptr || eq == *e) continue;
    const std::string name(*e, static_cast<size_t>(eq - *e));
    bool keep = all || std::find(names.begin(), names.end(), name) != names.end();
    for (const char* never : kNever) keep = keep && name != never;
    for (const char* prefix : kNeverPrefix) keep = keep && name.compare(0, strlen(prefix), prefix) != 0;
    if (keep) out.push_back(*e);
  }
  return out;
}

namespace {

// Expands one name that may hold brackets: the first bracket's ranges, each
// followed by the expansion of the rest.
bool ExpandName(const std::string& name, std::vector<std::string>* out, size_t limit) {
  const size_t open = name.find('[');
  if (open == std::string::npos) {
    if (name.empty() || name.find(']') != std::string::npos) return false;
    out->push_back(name);
    return out->size() <= limit;
  }
  const size_t close = name.find(']', open);
  if (close == std::string::npos || close == open + 1) return false;
  const std::string prefix = name.substr(0, open), rest = name.substr(close + 1);
  if (prefix.find(']') != std::string::npos) return false;
  const std::string inside = name.substr(open + 1, close - open - 1);
  size_t at = 0;
  while (at <= inside.size()) {
    size_t comma = inside.find(',', at);
    if (comma == std::string::npos) comma = inside.size();
    const std::string range = inside.substr(at, comma - at);
    const size_t dash = range.find('-');
    const std::string low = range.substr(0, dash), high = dash == std::string::npos ? low : range.substr(dash + 1);
    auto digits = [](const std::string& t) {
      return !t.empty() && t.size() <= 9 && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(low) || !digits(high)) return false;
    const long from = std::stol(low), to = std::stol(high);
    if (to < from || static_cast<size_t>(to - from) >= limit) return false;
    for (long k = from; k <= to; ++k) {
      std::string number = std::to_string(k);
      if (number.size() < low.size()) number.insert(0, low.size() - number.size(), '0');
      if (!ExpandName(prefix + number + rest, out, limit)) return false;
    }
    at = comma + 1;
  }
  return true;
}

}  // namespace

bool ExpandHostList(const std::string& list, std::vector<std::string>* hosts, size_t limit) {
  // Commas inside brackets belong to the bracket.
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] == '[') ++depth;
    if (i < list.size() && list[i] == ']') --depth;
    if (depth < 0 || depth > 1) return false;
    if (i == list.size() || (list[i] == ',' && depth == 0)) {
      if (depth != 0 || !ExpandName(list.substr(start, i - start), hosts, limit)) return false;
      start = i + 1;
    }
  }
  return !hosts->empty();
}

}  // namespace spawn
