// spawn_processes and spawn_processes1: one child per process, each of which
// replaces itself with the remote shell or with "carrier", then one wait per
// child. The readers and the vector builder are the pure functions of
// Spawn.h.
//
// A child is started with posix_spawnp, which does not copy the launcher's
// memory (a fork of the threaded launcher costs its page tables and a
// copy-on-write fault for every page it writes afterwards, about half of the
// launcher's time per process). When the spawn fails, the same child is
// started again the old way, fork and execvp, so that every failure is seen
// as before: the exec messages and status 1 from the child, the fork report,
// and execvp's own fallback to /bin/sh for a file without a #! line.
#include "launcher/Spawn.h"

#include <errno.h>
#include <netdb.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "launcher/Control.h"

namespace spawn {

namespace {

// The white space that separates machine-file words, as "%s" reads them.
bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// How much of an over-long host word a report shows.
const size_t kShownWord = 128;

std::string ProgramLineError(const char* path, int number, const char* what) {
  return std::string("ERROR-Control Process: program file ") + path + ", line " + std::to_string(number) + ": " + what +
         "\n";
}

std::string TooLongElement(const char* what, const std::string& text) {
  return std::string("ERROR-Control Process: ") + what + " is longer than " + std::to_string(kMaxElementLength) +
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
  v.push_back(std::to_string(params.consolePort));
  v.push_back(std::to_string(params.syncPort));
  v.push_back(params.address);
  v.push_back(std::to_string(params.addressPort));
  v.push_back(std::to_string(params.visualPort));
  v.push_back(std::to_string(rank));
  v.push_back(std::to_string(params.count));
  v.push_back(params.workdir);
  return v;
}

std::string CheckVector(const std::vector<std::string>& words, const LauncherParams& params) {
  if (words.size() + kFixedEntries > static_cast<size_t>(kVectorTable)) {
    return "ERROR-Control Process: " + std::to_string(words.size() - 1) +
           " user arguments do not fit the child argument vector (at most " +
           std::to_string(kVectorTable - kFixedEntries - 1) + ")\n";
  }
  const size_t limit = static_cast<size_t>(kMaxElementLength);
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() > limit) return TooLongElement(i == 0 ? "program" : "argument", words[i]);
  }
  if (params.workdir.size() > limit) return TooLongElement("working directory", params.workdir);
  if (params.address.size() > limit) return TooLongElement("launcher address", params.address);
  return std::string();
}

namespace {
const size_t kMaxSkippedWord = 1u << 20;
}  // namespace

MachineFileHosts::Word MachineFileHosts::ReadWord(std::string* word) {
  word->clear();
  int c;
  do {
    c = fgetc(file_);
  } while (c != EOF && IsSpace(c));
  if (c == EOF) return ferror(file_) ? kError : kEnd;
  size_t length = 0;
  for (; c != EOF && !IsSpace(c); c = fgetc(file_)) {
    if (word->size() < kShownWord) word->push_back(static_cast<char>(c));
    // A "word" of a mebibyte is no host name but a file that never ends
    // (a device, an endless pipe): refuse it as unreadable.
    if (++length > kMaxSkippedWord) return kError;
  }
  if (length > static_cast<size_t>(kMaxHostLength)) {
    if (length > kShownWord) *word += "...";
    return kTooLong;
  }
  return kWord;
}

MachineFileHosts::Result MachineFileHosts::Next(std::string* host, std::string* report) {
  std::string word;
  for (;;) {
    switch (ReadWord(&word)) {
      case kWord:
        if (resolves_(word.c_str())) {
          *host = word;
          taken_ = true;
          usedSinceRewind_ = true;
          return kHost;
        }
        *report += "ERROR-Host: " + word + " does NOT exists\n";
        *report += "ERROR-Please check you machinefile\n";
        break;
      case kTooLong:
        *report += "ERROR-Host: " + word + " is longer than " + std::to_string(kMaxHostLength) + " characters\n";
        *report += "ERROR-Please check you machinefile\n";
        break;
      case kError:
        return kUnreadable;
      case kEnd:
        if (!taken_) return kLocal;
        // A whole pass from the start that found nothing: the names stopped
        // resolving, and rereading would go on for ever.
        if (rewound_ && !usedSinceRewind_) return kExhausted;
        rewind(file_);
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
      *error = ProgramLineError(path, number, "longer than 1023 characters");
      return false;
    }
    if (line.empty()) continue;  // an empty line starts no process
    ProgramLine entry;
    entry.number = number;
    entry.words = SplitProgramLine(line);
    if (entry.words.size() > static_cast<size_t>(kMaxLineWords)) {
      *error = ProgramLineError(path, number, "more than 128 words");
      return false;
    }
    for (const std::string& w : entry.words) {
      if (w.size() > static_cast<size_t>(kMaxElementLength)) {
        *error = ProgramLineError(path, number, "a word longer than 127 characters");
        return false;
      }
    }
    lines->push_back(std::move(entry));
  }
}

namespace {
int countedLines = -1;  // what CountProgramFile found, for the reading that follows
}  // namespace

int CountProgramFile(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    printf("ERROR-Control Process: Cannot open program file: %s\n", path);
    fflush(stdout);
    exit(-1);
  }
  std::vector<ProgramLine> lines;
  std::string error;
  bool ok = ReadProgramFile(file, path, &lines, &error);
  fclose(file);
  if (!ok) {
    fputs(error.c_str(), stdout);
    fflush(stdout);
    exit(-1);
  }
  countedLines = static_cast<int>(lines.size());
  return countedLines;
}

int FoldExitStatus(int runStatus, int waitStatus) {
  int status = 0;
  if (WIFEXITED(waitStatus)) {
    status = WEXITSTATUS(waitStatus);
  } else if (WIFSIGNALED(waitStatus)) {
    status = 128 + WTERMSIG(waitStatus);
  }
  return std::max(runStatus, status);
}

}  // namespace spawn

using spawn::LauncherParams;
using spawn::MachineFileHosts;

namespace {

// The texts of the system's error numbers, taken before the first fork: the
// child of a threaded launcher must not call strerror.
class ErrnoTexts {
 public:
  ErrnoTexts() {
    for (int e = 0; e < kCount; ++e) {
      char buf[256];
      texts_[e] = strerror_r(e, buf, sizeof buf);
    }
  }
  const char* Text(int e) const { return e >= 0 && e < kCount ? texts_[e].c_str() : "Unknown error"; }

 private:
  static const int kCount = 256;
  std::string texts_[kCount];
};

const ErrnoTexts& Errors() {
  static const ErrnoTexts* texts = new ErrnoTexts();  // kept for the whole run
  return *texts;
}

// Everything one child needs, built before the fork.
struct ExecPlan {
  std::vector<std::string> vector;
  std::vector<char*> argv;        // into `vector`, null-terminated
  const char* file = nullptr;     // "carrier", "ssh" or "rsh"
  const char* failure = nullptr;  // the exec message with its line end
  std::string errorAt;            // ErrorMsg's "Error at <line> Control"
  int closeFds[5] = {-1, -1, -1, -1, -1};
  int closeCount = 0;
};

void WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// The child's whole life: async-signal-safe calls only.
[[noreturn]] void RunChild(const ExecPlan& plan, const ErrnoTexts& errors) {
  for (int i = 0; i < plan.closeCount; ++i) close(plan.closeFds[i]);
  execvp(plan.file, plan.argv.data());
  const int e = errno;
  WriteAll(2, plan.failure, strlen(plan.failure));
  WriteAll(1, plan.errorAt.data(), plan.errorAt.size());
  // perror("execvp") as one write, so that children failing together do not
  // interleave their lines.
  char line[320];
  const char* text = errors.Text(e);
  size_t n = strnlen(text, sizeof line - 10);
  memcpy(line, "execvp: ", 8);
  memcpy(line + 8, text, n);
  line[8 + n] = '\n';
  WriteAll(2, line, 9 + n);
  _exit(1);
}

// Starts the child of `plan` without copying the launcher: posix_spawnp, a
// vfork-style clone in the C library, with the plan's closes as file
// actions. False when the C library reports a failure of the clone or of the
// exec: no child is left then, and the caller takes the fork path, which
// reports the failure as it always did (the child's messages and status 1,
// or the fork report). Only a C library that reports exec failures this way
// is trusted with it; elsewhere every child takes the fork path.
bool SpawnPlan(const ExecPlan& plan) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 24))
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  bool ok = true;
  for (int i = 0; ok && i < plan.closeCount; ++i) {
    ok = posix_spawn_file_actions_addclose(&actions, plan.closeFds[i]) == 0;
  }
  pid_t pid;
  ok = ok && posix_spawnp(&pid, plan.file, &actions, nullptr, plan.argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return ok;
#else
  (void)plan;
  return false;
#endif
}

ExecPlan MakePlan(bool remote, const std::string& host, const std::vector<std::string>& words,
                  const LauncherParams& params, int rank, const int lines[3]) {
  ExecPlan plan;
  plan.vector = spawn::ChildVector(remote, ComShellFlag, host, words, params, rank);
  for (std::string& entry : plan.vector) plan.argv.push_back(&entry[0]);
  plan.argv.push_back(nullptr);
  int line;
  if (!remote) {
    plan.file = "carrier";
    plan.failure = "Control Process: execvp no machine failed\n";
    line = lines[0];
  } else if (ComShellFlag) {
    plan.file = "ssh";
    plan.failure = "Control Process: execvp ssh failed\n";
    line = lines[1];
  } else {
    plan.file = "rsh";
    plan.failure = "Control Process: execvp rsh failed\n";
    line = lines[2];
  }
  plan.errorAt = "Error at " + std::to_string(line) + " Control";
  return plan;
}

void AddClose(ExecPlan* plan, int fd) {
  if (fd >= 0) plan->closeFds[plan->closeCount++] = fd;
}

// Ends the launcher from inside a spawner: the service threads are running,
// so they are told first that the run is closing.
[[noreturn]] void Leave(int status) {
  ControlBeginClosing();
  fflush(stdout);
  exit(status);
}

void ReadWorkdir(char (&workdir)[200]) {
  if (getcwd(workdir, sizeof workdir) == nullptr) {
    perror("getcwd");
    Leave(-1);
  }
}

LauncherParams Params(int count, const char* workdir) {
  LauncherParams p;
  p.consolePort = consoleConnection->Port();
  p.syncPort = synConnection->Port();
  const char* ip = visualConnection->IP();
  p.address = ip ? std::string(ip, strnlen(ip, 128)) : std::string();
  p.addressPort = addressConnection->Port();
  p.visualPort = visualConnection->Port();
  p.count = count;
  p.workdir = workdir;
  return p;
}

std::string LocalHostName() {
  const char* name = visualConnection->Hostname();
  return name ? std::string(name, strnlen(name, HOSTNAME_SIZE)) : std::string();
}

FILE* OpenMachineFile(const char* machinefile) {
  if (machinefile == nullptr) return nullptr;
  FILE* file = fopen(machinefile, "r");
  if (file == nullptr) {
    printf("ERROR-Control Process Cannot open machinefile: %s\n", machinefile);
    Leave(-1);
  }
  return file;
}

bool Resolves(const char* name) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return false;
  freeaddrinfo(result);
  return true;
}

// Program-file runs pass the names unchecked.
bool AnyName(const char*) { return true; }

// Picks the host of the next process. Switches *machine to null when the
// file yields no word (local spawning from here on).
std::string ChooseHost(FILE** machine, MachineFileHosts* hosts, const std::string& localHost, const char* machinefile) {
  if (*machine == nullptr) return localHost;
  std::string host, report;
  MachineFileHosts::Result r = hosts->Next(&host, &report);
  fputs(report.c_str(), stdout);
  if (r == MachineFileHosts::kHost) return host;
  if (r == MachineFileHosts::kExhausted) {
    printf("ERROR-Control Process: no usable host left in machinefile: %s\n", machinefile);
    Leave(-1);
  }
  if (r == MachineFileHosts::kUnreadable) {
    printf("ERROR-Control Process Cannot read machinefile: %s\n", machinefile);
    Leave(-1);
  }
  fclose(*machine);
  *machine = nullptr;
  return localHost;
}

void ReapChildren(int count) {
  for (int k = 0; k < count; ++k) {
    int status = 0;
    if (wait(&status) == -1) {
      if (errno == EINTR) {
        --k;
        continue;
      }
      return;
    }
    runExitStatus = spawn::FoldExitStatus(runExitStatus, status);
  }
}

const int kLinesMachine[3] = {kLineExecLocal, kLineExecSsh, kLineExecRsh};
const int kLinesProgram[3] = {kLineExecLocal1, kLineExecSsh1, kLineExecRsh1};

}  // namespace

int spawn_processes(int nprocs, const char* program, const char* machinefile, int nargs, char** args) {
  const ErrnoTexts& errors = Errors();
  char workdir[200];
  ReadWorkdir(workdir);
  LauncherParams params = Params(nprocs, workdir);
  std::vector<std::string> words{program};
  for (int k = 0; k < nargs; ++k) words.push_back(args[k]);
  std::string refusal = spawn::CheckVector(words, params);
  if (!refusal.empty()) {
    fputs(refusal.c_str(), stdout);
    Leave(-1);
  }

  FILE* machine = OpenMachineFile(machinefile);
  MachineFileHosts hosts(machine, Resolves);
  const std::string localHost = LocalHostName();
  int started = 0;
  for (int i = 0; i < nprocs; ++i) {
    std::string host = ChooseHost(&machine, &hosts, localHost, machinefile);
    ExecPlan plan = MakePlan(machine != nullptr, host, words, params, i, kLinesMachine);
    if (machine != nullptr) AddClose(&plan, fileno(machine));
    AddClose(&plan, visualConnection->Socket());
    AddClose(&plan, addressConnection->Socket());
    AddClose(&plan, synConnection->Socket());
    AddClose(&plan, consoleConnection->Socket());
    fflush(stdout);
    if (SpawnPlan(plan)) {
      ++started;
      continue;
    }
    pid_t pid = fork();
    if (pid < 0) {
      ErrorMsg("fork", kLineForkMachine, "Control");
      Leave(1);
    }
    if (pid == 0) RunChild(plan, errors);
    ++started;
  }
  if (machine != nullptr) fclose(machine);
  ReapChildren(started);
  return 0;
}

int spawn_processes1(const char* machinefile, const char* programfile) {
  const ErrnoTexts& errors = Errors();
  char workdir[200];
  ReadWorkdir(workdir);
  FILE* machine = OpenMachineFile(machinefile);
  FILE* file = fopen(programfile, "r");
  if (file == nullptr) {
    printf("ERROR-Control Process Cannot open program file: %s\n", programfile);
    Leave(-1);
  }
  std::vector<spawn::ProgramLine> lines;
  std::string refusal;
  bool ok = spawn::ReadProgramFile(file, programfile, &lines, &refusal);
  fclose(file);
  if (!ok) {
    fputs(refusal.c_str(), stdout);
    Leave(-1);
  }
  // The services wait for as many processes as were counted at start-up.
  if (spawn::countedLines >= 0 && lines.size() != static_cast<size_t>(spawn::countedLines)) {
    printf("ERROR-Control Process: program file changed while the run started: %s\n", programfile);
    Leave(-1);
  }
  const int count = static_cast<int>(lines.size());
  LauncherParams params = Params(count, workdir);
  for (const spawn::ProgramLine& line : lines) {
    refusal = spawn::CheckVector(line.words, params);
    if (!refusal.empty()) {
      fputs(refusal.c_str(), stdout);
      Leave(-1);
    }
  }

  MachineFileHosts hosts(machine, AnyName);
  const std::string localHost = LocalHostName();
  int started = 0;
  for (int i = 0; i < count; ++i) {
    std::string host = ChooseHost(&machine, &hosts, localHost, machinefile);
    ExecPlan plan = MakePlan(machine != nullptr, host, lines[static_cast<size_t>(i)].words, params, i, kLinesProgram);
    // The console endpoint and the machine file stay open in the process.
    AddClose(&plan, visualConnection->Socket());
    AddClose(&plan, addressConnection->Socket());
    AddClose(&plan, synConnection->Socket());
    fflush(stdout);
    if (SpawnPlan(plan)) {
      ++started;
      continue;
    }
    pid_t pid = fork();
    if (pid < 0) {
      printf("Control Process: fail to fork child process\n");
      ErrorMsg("fork", kLineForkProgram, "Control");
      Leave(1);
    }
    if (pid == 0) RunChild(plan, errors);
    ++started;
  }
  if (machine != nullptr) fclose(machine);
  ReapChildren(started);
  return 0;
}
