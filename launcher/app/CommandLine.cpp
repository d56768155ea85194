// The command line: the scan of its words and the usage text.
#include "launcher/app/CommandLine.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/textfield.h"
#include "launcher/Control.h"

namespace {

// atoi, but defined for every input: a value beyond int is clamped.
int32_t ParseCount(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

// Bounded copy into a path buffer, NUL-padded.
void CopyPath(char (&field)[kMaxPathText + 1], const char* text) { CopyTextField(field, sizeof field, text); }

}  // namespace

std::string PathTooLong(const char* what, const char* text) {
  std::string line = "ERROR-Control Process: ";
  line += what;
  line += " is longer than ";
  line += std::to_string(kMaxPathLength);
  line += " characters: ";
  line += text;
  line += "\n";
  return line;
}

void PrintUsage() {
  for (const char* line : kUsageLines) {
    printf("%s\n", line);
    fflush(stdout);
  }
}

void Usage() {
  PrintUsage();
  exit(0);
}

CommandLine ScanCommandLine(int argc, char** argv) {
  CommandLine cl;
  if (argc <= 2 || strcmp(argv[1], "-help") == 0) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  const char* machineFile = nullptr;
  const char* programFile = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const bool hasValue = i + 1 < argc;
    // An option that needs a value and stands last leaves nothing to run.
    if (!hasValue && (strcmp(word, "-np") == 0 || strcmp(word, "-mf") == 0 || strcmp(word, "-pf") == 0)) {
      cl.outcome = CommandLine::kUsage;
      return cl;
    }
    if (strcmp(word, "-ssh") == 0) cl.comShell = true;
    if (strcmp(word, "-rsh") == 0) cl.comShell = false;
    if (strcmp(word, "-ssh") == 0 || strcmp(word, "-rsh") == 0) cl.shellGiven = true;
    if (strcmp(word, "-np") == 0) {
      cl.npPosition = cl.lastValuePosition = i + 1;
      cl.numProcs = ParseCount(argv[i + 1]);
      if (cl.numProcs <= 0 || cl.numProcs > 2000) {
        cl.outcome = CommandLine::kNpRange;
        cl.npValue = cl.numProcs;
        return cl;
      }
    }
    if (strcmp(word, "-mf") == 0) {
      cl.lastValuePosition = i + 1;
      machineFile = argv[i + 1];
      CopyPath(cl.machineFile, machineFile);
      cl.machineFileGiven = true;
    }
    if (strcmp(word, "-pf") == 0) {
      cl.pfPosition = i + 1;
      programFile = argv[i + 1];
      CopyPath(cl.programFile, programFile);
      cl.programFileGiven = true;
    }
  }
  if (cl.pfPosition != 0 && cl.npPosition != 0) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  // The user-program form needs a program after the last "-np"/"-mf" value.
  if (!cl.programFileGiven && cl.programIndex() >= argc) {
    cl.outcome = CommandLine::kUsage;
    return cl;
  }
  if (machineFile != nullptr && strlen(machineFile) > static_cast<size_t>(kMaxPathLength)) {
    cl.outcome = CommandLine::kTooLong;
    cl.error = PathTooLong("machine file path", machineFile);
  } else if (programFile != nullptr && strlen(programFile) > static_cast<size_t>(kMaxPathLength)) {
    cl.outcome = CommandLine::kTooLong;
    cl.error = PathTooLong("program file path", programFile);
  }
  return cl;
}
