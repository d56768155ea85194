// Writing from a child between fork and exec, and from anywhere else that
// must write a whole buffer. A service thread of the launcher may have held
// the stdio or malloc lock at the fork, so only write(2) and the C library's
// fixed table of error texts are used.
#ifndef TARVO_COMMON_CHILD_IO_H
#define TARVO_COMMON_CHILD_IO_H

#include <cstddef>
#include <string>

/// Writes all of `text`, retrying after a signal; stops at an error (a
/// closed stream) and then says false. The one write-all loop of tarvo and
/// the agent, safe in a child too.
bool ChildWrite(int fd, const char* text, size_t length);
bool ChildWrite(int fd, const char* text);
bool ChildWrite(int fd, const std::string& text);

/// ChildWrite for a child between its fork (or clone) and its exec: the
/// same loop on the kernel's write (child_sys.h), which leaves errno alone.
bool ChildSay(int fd, const char* text, size_t length);

/// perror(msg) for the error `err`, as one write on standard error, so that
/// children failing together do not interleave their lines; errno is left
/// alone (ChildSay).
void ChildPerror(const char* msg, int err);

#endif  // TARVO_COMMON_CHILD_IO_H
