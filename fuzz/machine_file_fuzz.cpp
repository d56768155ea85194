// The machine-file reader on any file.
//
// Input: a calls byte C (C % 64 + 1 hosts are asked for), a stop byte P (P
// below 128: names resolve for the whole run; otherwise every name stops
// resolving after P % 8 hosts were taken), then the file's bytes.
// A name resolves when it holds no "!". A plain model of the reader turns
// the file into entries (comments from "#" to the line end dropped,
// "host:N" and "host slots=N" on one line giving N places) and goes through
// them in a circle; the reader must hand out exactly the model's hosts, each
// as many times in a row as its places (no name longer than 31 characters,
// none that fails to resolve), report exactly the entries it skips, run
// locally only when the first process finds no usable entry, and end a pass
// without usable hosts with kExhausted instead of reading for ever.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "launcher/spawn/Inputs.h"

namespace {

bool resolving = true;

bool Resolves(const char* name) { return resolving && strchr(name, '!') == nullptr; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// 1 to 99999 written without a leading zero, else 0.
int Count(const std::string& t) {
  if (t.empty() || t.size() > 5 || t[0] == '0' || t.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(t);
}

struct Entry {
  std::string word;  // as written
  std::string name;  // the host it names
  int places = 1;
};

std::vector<Entry> Entries(const std::vector<char>& file) {
  // Words with the line each is on.
  std::vector<std::pair<std::string, int>> words;
  std::string w;
  int line = 0;
  bool comment = false;
  for (char c : file) {
    if (c == '#') comment = true;
    if (comment || IsSpace(c)) {
      if (!w.empty()) words.emplace_back(w, line);
      w.clear();
    } else {
      w.push_back(c);
    }
    if (c == '\n') {
      ++line;
      comment = false;
    }
  }
  if (!w.empty()) words.emplace_back(w, line);
  std::vector<Entry> entries;
  for (size_t k = 0; k < words.size(); ++k) {
    Entry e;
    e.word = e.name = words[k].first;
    const size_t colon = e.word.rfind(':');
    if (colon != std::string::npos && colon > 0 && Count(e.word.substr(colon + 1)) > 0) {
      e.places = Count(e.word.substr(colon + 1));
      e.name = e.word.substr(0, colon);
    }
    if (k + 1 < words.size() && words[k + 1].second == words[k].second && e.word.size() <= 128 &&
        words[k + 1].first.compare(0, 6, "slots=") == 0 && Count(words[k + 1].first.substr(6)) > 0) {
      e.places = Count(words[k + 1].first.substr(6));
      ++k;
    }
    entries.push_back(e);
  }
  return entries;
}

bool Usable(const Entry& e) { return e.name.size() <= 31 && e.word.size() <= 128 && Resolves(e.name.c_str()); }

std::string Skipped(const Entry& e) {
  std::string line = "ERROR-Host: ";
  if (e.word.size() > 128) {
    line += e.word.substr(0, 128) + "... is longer than 31 characters\n";
  } else if (e.name.size() > 31) {
    line += e.word + " is longer than 31 characters\n";
  } else {
    line += e.name + " does NOT exists\n";
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

  const std::vector<Entry> words = Entries(bytes);
  size_t pos = 0;  // the model's next entry, in a circle
  int left = 0;    // places left of the entry before it
  std::string current;
  int taken = 0;
  for (int call = 0; call < calls; ++call) {
    std::string host, report;
    spawn::MachineFileHosts::Result r = hosts.Next(&host, &report);

    // The model: the next usable word, and the reports of the words passed.
    std::string wantReport;
    bool anyUsable = left > 0;
    for (const Entry& w : words) anyUsable = anyUsable || Usable(w);
    if (!anyUsable) {
      if (taken == 0) {
        for (const Entry& w : words) wantReport += Skipped(w);
        FUZZ_CHECK(r == spawn::MachineFileHosts::kLocal);
        FUZZ_CHECK(report == wantReport);
      } else {
        // At most the rest of this pass and one whole pass are read.
        FUZZ_CHECK(r == spawn::MachineFileHosts::kExhausted);
        FUZZ_CHECK(report.size() <= 2 * words.size() * (12 + 131 + 36 + 35));
      }
      break;
    }
    while (left == 0) {
      const Entry& w = words[pos];
      pos = (pos + 1) % words.size();
      if (Usable(w)) {
        current = w.name;
        left = w.places;
        break;
      }
      wantReport += Skipped(w);
    }
    --left;
    const std::string want = current;
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
