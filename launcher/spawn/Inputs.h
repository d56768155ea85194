// What a run is made of, read and checked before anything starts: the child
// argument vector, the machine-file and program-file readers, the exported
// environment and Slurm's host lists (Inputs.cpp). Nothing here forks or
// prints but CountProgramFile, which start-up calls; the spawners
// (Spawners.cpp) put them together.
#ifndef TARVO_LAUNCHER_SPAWN_H
#define TARVO_LAUNCHER_SPAWN_H

#include <cstdio>
#include <string>
#include <vector>

#include "common/carrier_params.h"
#include "common/protocol.h"

namespace spawn {

/// An element of the child argument vector holds 127 characters and its NUL.
const int kMaxElementLength = kMaxVectorElement;
/// A host name of the machine file: 31 characters and its NUL.
const int kMaxHostLength = HOSTNAME_SIZE - 1;
/// A program-file line: 1023 characters before its line end.
const int kMaxLineLength = 1023;
/// At most this many words in a program-file line.
const int kMaxLineWords = kMaxProgramWords;
/// Entries of the remote form beyond its program words: shell, host,
/// "carrier", the eight launcher parameters and the null entry.
const int kFixedEntries = 3 + TARVO_PARAMS + 1;
/// The longest command that a per-rank remote shell hands the far side: its
/// shell takes it as one argument, which Linux holds to 32 pages
/// (MAX_ARG_STRLEN) with its NUL.
const size_t kMaxRemoteCommand = 32 * 4096 - 1;

/// What every process of a run receives after its program words.
struct LauncherParams {
  int consolePort = 0;
  int syncPort = 0;
  std::string address;  // the launcher's host address, dotted text
  int addressPort = 0;
  int visualPort = 0;
  int count = 0;  // processes of the run
  std::string workdir;
};

/// The child argument vector without its null entry. The remote form is
/// shell ("ssh" or "rsh"), host, "carrier", the program words, console port,
/// synchronisation port, address, address port, visual port, rank, count and
/// working directory; the local form is the same without its first two.
std::vector<std::string> ChildVector(bool remote, bool ssh, const std::string& host,
                                     const std::vector<std::string>& words, const LauncherParams& params, int rank);

/// `word` as a POSIX shell reads it back: unchanged when it is not empty
/// and holds only characters that no shell changes (letters, digits and
/// `_@%+=:,./-`), otherwise in single quotes, each quote inside as '\''.
/// A remote shell joins its command words with blanks and the far side's
/// shell splits them again: each word after the host goes through this.
std::string ShellQuoted(const std::string& word);

/// The bytes that an exec takes for `vector` (each string, its NUL and its
/// pointer, and the null entry), as the kernel counts them against ARG_MAX.
size_t VectorBytes(const std::vector<std::string>& vector);
/// The same for an environment (null-terminated; null: none).
size_t EnvironmentBytes(char** env);

/// Empty when program words and parameters keep their limits (an argument
/// 127 characters; the program path and the working directory
/// kMaxPathText) and carrier's vector beside `environment` bytes fits
/// `argMax` (the system's ARG_MAX); otherwise the "ERROR-" line (with its
/// line end) that refuses the run. Host names are bounded by the
/// machine-file reader, ranks and ports by their format.
std::string CheckVector(const std::vector<std::string>& words, const LauncherParams& params, size_t environment,
                        size_t argMax);

/// Reads the machine file's host names, one white-space separated word at a
/// time, and starts again at the first word when the words run out. "#"
/// begins a comment to the end of its line; "host:N" and "host slots=N"
/// give that host N consecutive places (common/machine_words.h).
class MachineFileHosts {
 public:
  enum Result {
    kHost,        // *host is the next usable name, as written in the file
    kLocal,       // no usable word before the file's end, for the first process: run locally
    kExhausted,   // a whole pass after the first rank yielded no usable host
    kUnreadable,  // the file cannot be read (a directory, say)
  };
  /// `resolves` tells whether a name is a known host. `placesPerHost`
  /// (TARVO_PPN): every host word gives that many consecutive places,
  /// whatever slots it names; 0 keeps the file's.
  MachineFileHosts(FILE* file, bool (*resolves)(const char* name), int placesPerHost = 0)
      : perHost_(placesPerHost), file_(file), resolves_(resolves) {}

  /// Chooses the host of the next process. Appends to *report the "ERROR-"
  /// lines of every word it skips: an unknown host, or a name longer than 31
  /// characters. A skipped word takes no process.
  Result Next(std::string* host, std::string* report);

 private:
  enum Word { kWord, kTooLong, kEnd, kError };
  // The next word, comments skipped; *fresh when a line began before it.
  Word ReadWord(std::string* word, bool* fresh);
  // The same, but first the word that a look past a host word took.
  Word TakeWord(std::string* word, bool* fresh);

  std::string current_;  // the host of the places left
  int left_ = 0;         // its places still to hand out
  const int perHost_;    // TARVO_PPN, 0 for the file's places
  bool peeked_ = false;  // a word was read past a host word: peek*_
  Word peekKind_ = kEnd;
  std::string peekWord_;
  bool peekFresh_ = false;

  FILE* file_;
  bool (*resolves_)(const char*);
  bool taken_ = false;            // a host was taken for some process
  bool rewound_ = false;          // the reading went back to the start at least once
  bool usedSinceRewind_ = false;  // a host was taken since the last rewind
};

/// Splits a program-file line at blanks (0x20) only: blanks before the first
/// word are skipped, a run of blanks separates two words, blanks at the end
/// yield one last empty word, and a line of blanks is one empty word.
std::vector<std::string> SplitProgramLine(const std::string& line);

/// One process of a program file: its line's number (from 1) and words.
struct ProgramLine {
  int number = 0;
  std::vector<std::string> words;
};

/// Reads a whole program file. An empty line starts no process; a last line
/// without a line end counts. False, with the "ERROR-" line (path and line
/// number) in *error, for a line longer than 1023 characters, with more than
/// 128 words or with a word longer than 127 characters.
bool ReadProgramFile(FILE* file, const char* path, std::vector<ProgramLine>* lines, std::string* error);

/// For start-up: opens, reads and checks the program file as the run will
/// read it, and returns how many processes it starts; -1, with the "ERROR-"
/// line printed, when the file cannot be opened or is refused (the run then
/// ends with 255 before anything has started).
int CountProgramFile(const char* path);

/// The environment that the launch agents give their ranks, from the
/// launcher's `env` (NAME=VALUE entries): all of it, none, or the `names`
/// listed. Never the variables that describe one host or one login session
/// (HOSTNAME, DISPLAY, SSH_*, the launcher's own SLURM_* and SLURMD_* and the like), nor
/// TARVO_LAUNCHER_PID; the agent puts carrier's TARVO_* values over it.
std::vector<std::string> ExportedEnvironment(char** env, bool all, const std::vector<std::string>& names);

/// Expands a Slurm host list such as "n[1-3,7],gpu[01-02]" into its names
/// (n1 n2 n3 n7 gpu01 gpu02), keeping the zero padding of a range. False for
/// a list that is not well formed or names more than `limit` hosts.
bool ExpandHostList(const std::string& list, std::vector<std::string>* hosts, size_t limit = 65536);


}  // namespace spawn

#endif  // TARVO_LAUNCHER_SPAWN_H
