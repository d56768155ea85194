#include "common/child_io.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "common/child_sys.h"

bool ChildWrite(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ChildSay(int fd, const char* text, size_t length) {
  while (length > 0) {
    const long n = child_sys::Write(fd, text, length);
    if (n == -EINTR) continue;
    if (n <= 0) return false;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ChildWrite(int fd, const char* text) { return ChildWrite(fd, text, strlen(text)); }

bool ChildWrite(int fd, const std::string& text) { return ChildWrite(fd, text.data(), text.size()); }

void ChildPerror(const char* msg, int err) {
  char line[512];
  const char* desc = strerrordesc_np(err);  // the fixed table: no locale, no allocation
  if (desc == nullptr) desc = "Unknown error";
  size_t m = strnlen(msg, 256);
  size_t d = strnlen(desc, sizeof line - m - 3);
  memcpy(line, msg, m);
  memcpy(line + m, ": ", 2);
  memcpy(line + m + 2, desc, d);
  line[m + 2 + d] = '\n';
  ChildSay(STDERR_FILENO, line, m + 3 + d);
}
