#include "pmi/line_framer.h"

#include <algorithm>
#include <cstring>

namespace pmi {

std::string ShownLine(const std::string& bytes) {
  std::string shown;
  for (std::size_t i = 0; i < bytes.size() && i < LineFramer::kShownBytes; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      shown += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  if (shown.size() > 80) shown.resize(80);
  return shown;
}

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
      brokenLine_ = partial_.substr(0, kShownBytes);
      brokenLine_.append(data + at, std::min(piece, kShownBytes - brokenLine_.size()));
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
