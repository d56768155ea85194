#include "common/machine_words.h"

namespace {

// 1 to 99999 from all of `digits`, else 0.
int Places(const std::string& digits) {
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

int MachineWordPlaces(const std::string& word, size_t* nameLength) {
  const size_t colon = word.rfind(':');
  if (colon == std::string::npos || colon == 0) return 0;
  const int n = Places(word.substr(colon + 1));
  if (n > 0) *nameLength = colon;
  return n;
}

int MachineSlotsWord(const std::string& word) {
  static const std::string kSlots = "slots=";
  return word.compare(0, kSlots.size(), kSlots) == 0 ? Places(word.substr(kSlots.size())) : 0;
}
