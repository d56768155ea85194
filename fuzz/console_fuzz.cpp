// The console line for any datagram.
//
// Input: the datagram itself, as the receive delivers it (the service's
// receive takes at most 2048 bytes; longer inputs stand for what a caller
// that passes a longer length would hand over).
// The line is the prefix and the text up to the first NUL, never more than
// 2048 bytes of text, and nothing past the datagram is read.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "launcher/services/ConsoleService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> bytes(data, data + size);
  fuzz::ExactBuffer exact(bytes);  // read past the datagram: AddressSanitizer stops the run

  static char line[kConsoleLineSize];
  memset(line, 0x55, sizeof line);
  size_t n = FormatConsoleLine(exact.data, static_cast<int>(exact.size), line);

  size_t bound = size < static_cast<size_t>(kConsoleTextSize) ? size : static_cast<size_t>(kConsoleTextSize);
  size_t text = 0;
  while (text < bound && data[text] != 0) ++text;

  FUZZ_CHECK(n <= kConsolePrefixLength + kConsoleTextSize);
  FUZZ_CHECK(n == kConsolePrefixLength + text);
  FUZZ_CHECK(memcmp(line, kConsolePrefix, kConsolePrefixLength) == 0);
  FUZZ_CHECK(memcmp(line + kConsolePrefixLength, data, text) == 0);
  // Nothing is added behind the text.
  if (n < sizeof line) FUZZ_CHECK(static_cast<unsigned char>(line[n]) == 0x55);
  return 0;
}
