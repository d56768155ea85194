// The machine-file reader on any file.
//
// Input: a calls byte C (C % 64 + 1 hosts are asked for), a stop byte P (P
// below 128: names resolve for the whole run; otherwise every name stops
// resolving after P % 8 hosts were taken), then the file's bytes.
// A name resolves when it holds no "!". A plain model of the reader goes
// through the file's words in a circle; the reader must hand out exactly
// the model's hosts (no word longer than 31 characters, none that fails to
// resolve), report exactly the words it skips, run locally only when the
// first process finds no usable word, and end a pass without usable hosts
// with kExhausted instead of reading for ever.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "launcher/spawn/Inputs.h"

namespace {

bool resolving = true;

bool Resolves(const char* name) { return resolving && strchr(name, '!') == nullptr; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::vector<std::string> Words(const std::vector<char>& file) {
  std::vector<std::string> words;
  std::string w;
  for (char c : file) {
    if (IsSpace(c)) {
      if (!w.empty()) words.push_back(w);
      w.clear();
    } else {
      w.push_back(c);
    }
  }
  if (!w.empty()) words.push_back(w);
  return words;
}

bool Usable(const std::string& w) { return w.size() <= 31 && Resolves(w.c_str()); }

std::string Skipped(const std::string& w) {
  std::string line = "ERROR-Host: ";
  if (w.size() > 31) {
    line += w.size() > 128 ? w.substr(0, 128) + "..." : w;
    line += " is longer than 31 characters\n";
  } else {
    line += w + " does NOT exists\n";
  }
  return line + "ERROR-Please check you machinefile\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int calls = in.Byte() % 64 + 1;
  const uint8_t stop = in.Byte();
  const bool stops = stop >= 128;
  const int stopAfter = stop % 8;
  std::vector<char> bytes = in.Rest();

  FILE* file = bytes.empty() ? fopen("/dev/null", "r") : fmemopen(bytes.data(), bytes.size(), "r");
  FUZZ_CHECK(file != nullptr);
  resolving = !(stops && stopAfter == 0);
  spawn::MachineFileHosts hosts(file, Resolves);

  const std::vector<std::string> words = Words(bytes);
  size_t pos = 0;  // the model's next word, in a circle
  int taken = 0;
  for (int call = 0; call < calls; ++call) {
    std::string host, report;
    spawn::MachineFileHosts::Result r = hosts.Next(&host, &report);

    // The model: the next usable word, and the reports of the words passed.
    std::string wantReport;
    bool anyUsable = false;
    for (const std::string& w : words) anyUsable = anyUsable || Usable(w);
    if (!anyUsable) {
      if (taken == 0) {
        for (const std::string& w : words) wantReport += Skipped(w);
        FUZZ_CHECK(r == spawn::MachineFileHosts::kLocal);
        FUZZ_CHECK(report == wantReport);
      } else {
        // At most the rest of this pass and one whole pass are read.
        FUZZ_CHECK(r == spawn::MachineFileHosts::kExhausted);
        FUZZ_CHECK(report.size() <= 2 * words.size() * (12 + 131 + 36 + 35));
      }
      break;
    }
    std::string want;
    for (;;) {
      const std::string& w = words[pos];
      pos = (pos + 1) % words.size();
      if (Usable(w)) {
        want = w;
        break;
      }
      wantReport += Skipped(w);
    }
    FUZZ_CHECK(r == spawn::MachineFileHosts::kHost);
    FUZZ_CHECK(host == want);
    FUZZ_CHECK(!host.empty() && host.size() <= static_cast<size_t>(spawn::kMaxHostLength));
    for (char c : host) FUZZ_CHECK(!IsSpace(c));
    FUZZ_CHECK(report == wantReport);
    ++taken;
    if (stops && taken == stopAfter) resolving = false;
  }
  fclose(file);
  return 0;
}
