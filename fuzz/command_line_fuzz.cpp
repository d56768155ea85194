// The launcher's command-line scan on any argument vector.
//
// Input: the words after the launcher's own name, each ended by a NUL (at
// most 64 words); every word sits in a heap block of its exact size.
// A plain model scans the words as the launcher must. The scan must agree
// with it, and a command line it lets run must have a count of 1 to 2000,
// terminated paths of at most kMaxPathLength characters, and a program word and user
// arguments inside the vector.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "launcher/Control.h"

namespace {

struct Model {
  CommandLine::Outcome outcome = CommandLine::kRun;
  int32_t numProcs = 1;
  bool comShell = false;
  std::string machineFile, programFile;
  bool mf = false, pf = false;
  int np = 0, pfAt = 0, last = 0;
  int npValue = 0;
};

int32_t Count(const char* text) {
  long long v = strtoll(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(v);
}

Model Scan(const std::vector<std::string>& w) {
  Model m;
  const int argc = static_cast<int>(w.size());
  if (argc <= 2 || w[1] == "-help") {
    m.outcome = CommandLine::kUsage;
    return m;
  }
  for (int i = 1; i < argc; ++i) {
    const bool value = i + 1 < argc;
    if (w[i] == "-ssh") m.comShell = true;
    if (w[i] == "-rsh") m.comShell = false;
    if (w[i] == "-np" || w[i] == "-mf" || w[i] == "-pf") {
      if (!value) {
        m.outcome = CommandLine::kUsage;
        return m;
      }
    }
    if (w[i] == "-np") {
      m.np = m.last = i + 1;
      m.numProcs = Count(w[i + 1].c_str());
      if (m.numProcs <= 0 || m.numProcs > 2000) {
        m.outcome = CommandLine::kNpRange;
        m.npValue = m.numProcs;
        return m;
      }
    }
    if (w[i] == "-mf") {
      m.last = i + 1;
      m.machineFile = w[i + 1];
      m.mf = true;
    }
    if (w[i] == "-pf") {
      m.pfAt = i + 1;
      m.programFile = w[i + 1];
      m.pf = true;
    }
  }
  if (m.pfAt != 0 && m.np != 0) {
    m.outcome = CommandLine::kUsage;
  } else if (!m.pf && m.last + 1 >= argc) {
    m.outcome = CommandLine::kUsage;  // no program after the last value
  } else if ((m.mf && m.machineFile.size() > static_cast<size_t>(kMaxPathLength)) ||
             (m.pf && m.programFile.size() > static_cast<size_t>(kMaxPathLength))) {
    m.outcome = CommandLine::kTooLong;
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::vector<std::string> words{"tarvo"};
  while (!in.Empty() && words.size() < 65) words.push_back(in.Text());

  // Each word in a block of exactly its length and NUL, as the kernel lays
  // them out one after another: a read past a word's end is seen.
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<char*> argv;
  for (const std::string& w : words) {
    blocks.emplace_back(new char[w.size() + 1]);
    memcpy(blocks.back().get(), w.c_str(), w.size() + 1);
    argv.push_back(blocks.back().get());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  CommandLine cl = ScanCommandLine(argc, argv.data());
  Model m = Scan(words);
  FUZZ_CHECK(cl.outcome == m.outcome);
  if (cl.outcome == CommandLine::kUsage) return 0;
  if (cl.outcome == CommandLine::kNpRange) {
    FUZZ_CHECK(cl.npValue == m.npValue);
    FUZZ_CHECK(cl.npValue <= 0 || cl.npValue > 2000);
    return 0;
  }
  FUZZ_CHECK(cl.comShell == m.comShell);
  FUZZ_CHECK(cl.machineFileGiven == m.mf && cl.programFileGiven == m.pf);
  FUZZ_CHECK(cl.npPosition == m.np && cl.pfPosition == m.pfAt && cl.lastValuePosition == m.last);
  if (cl.outcome == CommandLine::kTooLong) {
    FUZZ_CHECK(cl.error.compare(0, 6, "ERROR-") == 0 && cl.error.back() == '\n');
    return 0;
  }
  // A run: count in range, paths terminated within their buffers and equal
  // to the last values, program and arguments inside the vector.
  FUZZ_CHECK(cl.numProcs == m.numProcs);
  FUZZ_CHECK(cl.numProcs >= 1 && cl.numProcs <= 2000);
  FUZZ_CHECK(!(cl.npPosition != 0 && cl.pfPosition != 0));
  FUZZ_CHECK(memchr(cl.machineFile, '\0', sizeof cl.machineFile) != nullptr);
  FUZZ_CHECK(memchr(cl.programFile, '\0', sizeof cl.programFile) != nullptr);
  if (cl.machineFileGiven) FUZZ_CHECK(cl.machineFile == m.machineFile);
  if (cl.programFileGiven) FUZZ_CHECK(cl.programFile == m.programFile);
  if (!cl.programFileGiven) {
    FUZZ_CHECK(cl.programIndex() >= 1 && cl.programIndex() < argc);
    FUZZ_CHECK(cl.userArgCount(argc) >= 0);
    FUZZ_CHECK(cl.programIndex() + 1 + cl.userArgCount(argc) == argc);
  }
  return 0;
}
