// Address protocol datagrams built from raw bytes: the offsets are written
// out here rather than taken from the records, so that a layout fault in
// common/messages.h shows in the tests.
#ifndef TARVO_TESTS_SUPPORT_ADDRESS_WIRE_H
#define TARVO_TESTS_SUPPORT_ADDRESS_WIRE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace support {

// A request or answer (176 bytes) and a record of the table reply (172).
const size_t kCode = 0, kFd = 4, kTag = 8, kIp = 12, kHost = 140, kPort = 172, kSize = 176, kRecord = 172;
const size_t kRecTag = 4, kRecIp = 8, kRecHost = 136, kRecPort = 168;

inline void PutInt(std::vector<char>* b, size_t off, int32_t v) { memcpy(b->data() + off, &v, 4); }
inline int32_t GetInt(const std::vector<char>& b, size_t off) {
  int32_t v;
  memcpy(&v, b.data() + off, 4);
  return v;
}

inline std::vector<char> Message(int32_t code, int32_t fd, int32_t tag = 0, const std::string& ip = "",
                                 const std::string& host = "", int32_t port = 0) {
  std::vector<char> b(kSize, 0);
  PutInt(&b, kCode, code);
  PutInt(&b, kFd, fd);
  PutInt(&b, kTag, tag);
  memcpy(b.data() + kIp, ip.data(), std::min<size_t>(ip.size(), 128));
  memcpy(b.data() + kHost, host.data(), std::min<size_t>(host.size(), 32));
  PutInt(&b, kPort, port);
  return b;
}

/// The whole expected answer: everything not named is zero.
inline std::vector<char> Answer(int32_t code, int32_t fd, const std::string& ip = "", int32_t port = 0) {
  return Message(code, fd, 0, ip, "", port);
}

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_ADDRESS_WIRE_H
