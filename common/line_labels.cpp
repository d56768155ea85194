#include "common/line_labels.h"

#include <cstring>

std::string LineLabel(int rank, int job) {
  return "[" + (job != 0 ? std::to_string(job) + ":" : std::string()) + std::to_string(rank) + "] ";
}

void SplitLines(const std::string& label, const char* data, size_t size, std::string* partial, std::string* out) {
  while (size > 0) {
    const char* end = static_cast<const char*>(memchr(data, '\n', size));
    if (end == nullptr) {
      partial->append(data, size);
      while (partial->size() >= kMaxLabelledLine) {
        *out += label;
        out->append(*partial, 0, kMaxLabelledLine);
        if (!label.empty()) *out += '\n';
        partial->erase(0, kMaxLabelledLine);
      }
      return;
    }
    const size_t take = static_cast<size_t>(end - data) + 1;
    *out += label;
    *out += *partial;
    out->append(data, take);
    partial->clear();
    data += take;
    size -= take;
  }
}

void SplitRest(const std::string& label, std::string* partial, std::string* out) {
  if (partial->empty()) return;
  *out += label;
  *out += *partial;
  *out += '\n';
  partial->clear();
}

void LabelLines(int rank, const char* data, size_t size, std::string* partial, std::string* out, int job) {
  SplitLines(LineLabel(rank, job), data, size, partial, out);
}

void LabelRest(int rank, std::string* partial, std::string* out, int job) {
  SplitRest(LineLabel(rank, job), partial, out);
}
