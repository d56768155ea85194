/* The opening of a pseudo-terminal for a child's output, shared by tarvo's
 * relay, the agent and carrier. Plain C, so that carrier, a C program linked
 * statically, uses it too. */
#ifndef TARVO_COMMON_TERMINAL_OPEN_H
#define TARVO_COMMON_TERMINAL_OPEN_H

#include <sys/ioctl.h>
#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The raw form of a new terminal's mode. It is the same for every new
 * terminal, so a caller that opens many reads it from the first and sets it
 * on the others without a read. */
typedef struct TerminalRawMode {
  int known;
  struct termios mode;
} TerminalRawMode;

/* A pseudo-terminal in raw mode (bytes pass as written: no line-end
 * translation, no echo, no signals from its characters), sized SIZE when
 * not null. Both ends are close-on-exec, the master is non-blocking, and
 * neither becomes anyone's controlling terminal. RAW (NULL: none) is used
 * when known and filled in when not. 0 with *MASTER and *SLAVE, else the
 * errno of the step that failed, which *STEP names; ENOSPC when the
 * system's bound (/proc/sys/kernel/pty/max) is reached. */
int TerminalOpen(const struct winsize* size, TerminalRawMode* raw, int* master, int* slave, const char** step);

#ifdef __cplusplus
}
#endif

#endif /* TARVO_COMMON_TERMINAL_OPEN_H */
