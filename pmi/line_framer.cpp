#include "pmi/line_framer.h"

#include <cstring>

namespace pmi {

bool LineFramer::Feed(const char* data, std::size_t size, std::vector<std::string>* lines) {
  if (broken_) return false;
  std::size_t at = 0;
  while (at < size) {
    const void* nl = std::memchr(data + at, '\n', size - at);
    const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : size;
    const std::size_t piece = end - at;
    // Room for the line's '\n': at most kMaxLine - 1 bytes before it.
    if (partial_.size() + piece > kMaxLine - 1 || std::memchr(data + at, '\0', piece) != nullptr) {
      broken_ = true;
      partial_.clear();
      return false;
    }
    partial_.append(data + at, piece);
    if (!nl) break;
    lines->push_back(std::move(partial_));
    partial_.clear();
    at = end + 1;
  }
  return true;
}

}  // namespace pmi
