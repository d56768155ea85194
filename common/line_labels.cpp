#include "common/line_labels.h"

#include <cstring>

namespace {

std::string Prefix(int rank, int job) {
  return "[" + (job != 0 ? std::to_string(job) + ":" : std::string()) + std::to_string(rank) + "] ";
}

}  // namespace

void LabelLines(int rank, const char* data, size_t size, std::string* partial, std::string* out, int job) {
  const std::string prefix = Prefix(rank, job);
  while (size > 0) {
    const char* end = static_cast<const char*>(memchr(data, '\n', size));
    if (end == nullptr) {
      partial->append(data, size);
      while (partial->size() >= kMaxLabelledLine) {
        *out += prefix;
        out->append(*partial, 0, kMaxLabelledLine);
        *out += '\n';
        partial->erase(0, kMaxLabelledLine);
      }
      return;
    }
    const size_t take = static_cast<size_t>(end - data) + 1;
    *out += prefix;
    *out += *partial;
    out->append(data, take);
    partial->clear();
    data += take;
    size -= take;
  }
}

void LabelRest(int rank, std::string* partial, std::string* out, int job) {
  if (partial->empty()) return;
  *out += Prefix(rank, job);
  *out += *partial;
  *out += '\n';
  partial->clear();
}
