// The PMI-1 engine's small helpers that its sources share (pmi1_engine.cpp,
// pmi1_spawn.cpp): numbers, trimmed lines and reply actions.
#ifndef TARVO_PMI_PMI1_REPLY_H
#define TARVO_PMI_PMI1_REPLY_H

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include "pmi/pmi1_engine.h"

namespace pmi {

// A decimal int; false for anything else.
inline bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

inline std::string Trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

inline Action Reply(int client, std::string text) {
  Action a;
  a.kind = Action::kReply;
  a.client = client;
  a.text = std::move(text);
  a.text += '\n';
  return a;
}

}  // namespace pmi

#endif  // TARVO_PMI_PMI1_REPLY_H
