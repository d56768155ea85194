// The program-file reader on any file.
//
// Input: the file's bytes.
// A plain model splits the file into lines and words. The reader must yield
// one entry per non-empty line, in order, with the line's number and the
// model's words (at most 128, each at most 127 characters), or refuse the
// file at the first line that breaks a limit with an "ERROR-" line naming
// it; every line it yields must then fit the child argument vector.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "launcher/spawn/Inputs.h"

namespace {

const char kPath[] = "programs.txt";

std::vector<std::string> Split(const std::string& line) {
  size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return {std::string()};  // blanks only: one empty word
  std::vector<std::string> words;
  std::string w;
  for (size_t i = start; i < line.size(); ++i) {
    if (line[i] == ' ') {
      if (!w.empty()) words.push_back(w);
      w.clear();
    } else {
      w.push_back(line[i]);
    }
  }
  if (!w.empty()) words.push_back(w);
  if (line.back() == ' ') words.emplace_back();  // trailing blanks: one last empty word
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> bytes(data, data + size);
  FILE* file = bytes.empty() ? fopen("/dev/null", "r") : fmemopen(bytes.data(), bytes.size(), "r");
  FUZZ_CHECK(file != nullptr);
  std::vector<spawn::ProgramLine> lines;
  std::string error;
  bool ok = spawn::ReadProgramFile(file, kPath, &lines, &error);
  fclose(file);

  // The model: lines end at a line end; a last line without one counts.
  std::vector<spawn::ProgramLine> want;
  int refusedAt = 0;
  std::string current;
  int number = 0;
  for (size_t i = 0; i <= bytes.size() && refusedAt == 0; ++i) {
    bool end = i == bytes.size();
    if (!end && bytes[i] != '\n') {
      current.push_back(bytes[i]);
      continue;
    }
    if (end && current.empty()) break;
    ++number;
    std::vector<std::string> words;
    if (current.size() > 1023) {
      refusedAt = number;
    } else if (!current.empty()) {
      words = Split(current);
      bool fits = words.size() <= 128;
      for (const std::string& w : words) fits = fits && w.size() <= 127;
      if (!fits) refusedAt = number;
      else want.push_back(spawn::ProgramLine{number, words});
    }
    current.clear();
  }

  if (refusedAt != 0) {
    FUZZ_CHECK(!ok);
    std::string head = std::string("ERROR-Control Process: program file ") + kPath + ", line " +
                       std::to_string(refusedAt) + ": ";
    FUZZ_CHECK(error.compare(0, head.size(), head) == 0);
    FUZZ_CHECK(!error.empty() && error.back() == '\n');
    return 0;
  }
  FUZZ_CHECK(ok);
  // The count of processes is the number of lines yielded, one per non-empty line.
  FUZZ_CHECK(lines.size() == want.size());
  int previous = 0;
  spawn::LauncherParams params;
  params.address = "127.0.0.1";
  params.workdir = "/home/user/run";
  params.count = static_cast<int>(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const spawn::ProgramLine& got = lines[i];
    FUZZ_CHECK(got.number == want[i].number);
    FUZZ_CHECK(got.number > previous);
    previous = got.number;
    FUZZ_CHECK(got.words == want[i].words);
    FUZZ_CHECK(!got.words.empty() && got.words.size() <= static_cast<size_t>(spawn::kMaxLineWords));
    for (const std::string& w : got.words) FUZZ_CHECK(w.size() <= static_cast<size_t>(spawn::kMaxElementLength));
    // What the reader accepts, the child argument vector holds.
    FUZZ_CHECK(spawn::CheckVector(got.words, params, 0, 1u << 20).empty());
    std::vector<std::string> v = spawn::ChildVector(true, false, "host", got.words, params, static_cast<int>(i));
    FUZZ_CHECK(v.size() == got.words.size() + spawn::kFixedEntries - 1);
    for (const std::string& e : v) FUZZ_CHECK(e.size() <= static_cast<size_t>(spawn::kMaxElementLength));
  }
  return 0;
}
