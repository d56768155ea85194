// What every harness shares: an invariant check that stops the run with a
// message libFuzzer keeps beside the crashing input, and a reader that takes
// the input apart from its front.
#ifndef TARVO_FUZZ_FUZZ_UTIL_H
#define TARVO_FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// An invariant that must hold for every input. Aborts with the failed
// condition, so that a broken invariant counts as a crash.
#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                              \
    }                                                                                \
  } while (0)

namespace fuzz {

// Takes bytes from the front of the input; what is missing reads as zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Left() const { return size_ - pos_; }
  bool Empty() const { return pos_ >= size_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  int32_t Int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    int32_t s;
    memcpy(&s, &v, sizeof s);
    return s;
  }

  // Up to `n` bytes, fewer at the end of the input.
  std::vector<char> Bytes(size_t n) {
    size_t k = n < Left() ? n : Left();
    std::vector<char> out(data_ + pos_, data_ + pos_ + k);
    pos_ += k;
    return out;
  }

  // Bytes up to (not including) the next NUL or the end of the input.
  std::string Text() {
    std::string out;
    while (pos_ < size_ && data_[pos_] != 0) out.push_back(static_cast<char>(data_[pos_++]));
    if (pos_ < size_) ++pos_;  // the NUL
    return out;
  }

  std::vector<char> Rest() { return Bytes(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A heap copy of exactly `bytes`, so that AddressSanitizer sees any read
// past the end.
struct ExactBuffer {
  explicit ExactBuffer(const std::vector<char>& bytes) : data(new char[bytes.size()]), size(bytes.size()) {
    if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
  }
  ~ExactBuffer() { delete[] data; }
  ExactBuffer(const ExactBuffer&) = delete;
  ExactBuffer& operator=(const ExactBuffer&) = delete;
  char* data;
  size_t size;
};

}  // namespace fuzz

#endif  // TARVO_FUZZ_FUZZ_UTIL_H
