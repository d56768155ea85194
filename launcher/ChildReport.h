// Reports written by a child between fork and exec. A service thread of the
// launcher may have held the stdio or malloc lock at the fork, so only
// write(2) and the C library's fixed table of error texts are used.
#ifndef TARVO_LAUNCHER_CHILDREPORT_H
#define TARVO_LAUNCHER_CHILDREPORT_H

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

/// Writes all of `text`, retrying after a signal; stops at an error (a
/// closed stream). The launcher's one write-all loop, safe in a child too.
inline void ChildWrite(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

inline void ChildWrite(int fd, const char* text) { ChildWrite(fd, text, strlen(text)); }
inline void ChildWrite(int fd, const std::string& text) { ChildWrite(fd, text.data(), text.size()); }

/// perror(msg) for the error `err`, as one write on standard error, so that
/// children failing together do not interleave their lines.
inline void ChildPerror(const char* msg, int err) {
  char line[512];
  const char* desc = strerrordesc_np(err);  // the fixed table: no locale, no allocation
  if (desc == nullptr) desc = "Unknown error";
  size_t m = strnlen(msg, 256);
  size_t d = strnlen(desc, sizeof line - m - 3);
  memcpy(line, msg, m);
  memcpy(line + m, ": ", 2);
  memcpy(line + m + 2, desc, d);
  line[m + 2 + d] = '\n';
  ChildWrite(STDERR_FILENO, line, m + 3 + d);
}

#endif  // TARVO_LAUNCHER_CHILDREPORT_H
