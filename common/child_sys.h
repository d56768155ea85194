// System calls for a child between its fork (or clone) and its exec that
// touch nothing of the thread that started it. A child that shares the
// launcher's memory (a clone with CLONE_VM) also shares the spawning
// thread's thread pointer, and with it that thread's errno: every C-library
// call that fails writes it, while that thread, running on, may be between
// a recv and its errno test. These calls go to the kernel directly and give
// the error back as their value (-errno), writing nothing but the caller's
// stack. Where the machine has no such calls here (kChildOwnErrno false),
// they go through syscall(2), which writes errno: the launcher then waits
// for such a child's exec (a vfork) and keeps its own errno across it.
#ifndef TARVO_COMMON_CHILD_SYS_H
#define TARVO_COMMON_CHILD_SYS_H

#include <stddef.h>
#include <sys/syscall.h>

#if defined(__x86_64__) && !defined(__ILP32__)
#define TARVO_CHILD_RAW 1
#elif defined(__i386__) || defined(__aarch64__)
#define TARVO_CHILD_RAW 1
#else
#define TARVO_CHILD_RAW 0
#include <errno.h>
#include <unistd.h>
#endif

namespace child_sys {

/// True where the calls below leave errno alone.
constexpr bool kChildOwnErrno = TARVO_CHILD_RAW != 0;

/// The system call `n` with up to five arguments: its value, or -errno.
inline long Call(long n, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
#if defined(__x86_64__) && TARVO_CHILD_RAW
  long ret;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  __asm__ volatile("syscall"
                   : "=a"(ret)
                   : "0"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                   : "rcx", "r11", "memory");
  return ret;
#elif defined(__i386__)
  long ret;
  __asm__ volatile("int $0x80" : "=a"(ret) : "0"(n), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e) : "memory");
  return ret;
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = n;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  __asm__ volatile("svc #0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4) : "memory");
  return x0;
#else
  const long ret = syscall(n, a, b, c, d, e);
  return ret == -1 ? -errno : ret;
#endif
}

template <typename P>
inline long Arg(P* p) {
  return reinterpret_cast<long>(p);
}

inline long Write(int fd, const void* text, size_t length) {
  return Call(SYS_write, fd, Arg(text), static_cast<long>(length));
}
inline long Close(int fd) { return Call(SYS_close, fd); }
inline long Dup2(int from, int to) {
#ifdef SYS_dup2
  return Call(SYS_dup2, from, to);
#else
  return from == to ? to : Call(SYS_dup3, from, to, 0);
#endif
}
inline long Open(const char* name, int flags, int mode) {
  return Call(SYS_openat, -100 /* AT_FDCWD */, Arg(name), flags, mode);
}
inline long Mkdir(const char* name, int mode) { return Call(SYS_mkdirat, -100 /* AT_FDCWD */, Arg(name), mode); }
inline long Chdir(const char* dir) { return Call(SYS_chdir, Arg(dir)); }
inline long Fcntl(int fd, int cmd, long value) { return Call(SYS_fcntl, fd, cmd, value); }
inline long Prctl(int option, long value) { return Call(SYS_prctl, option, value, 0, 0, 0); }
inline long Getppid() { return Call(SYS_getppid); }
inline long Setsid() { return Call(SYS_setsid); }
inline long Setpgid(int pid, int group) { return Call(SYS_setpgid, pid, group); }
inline long Execve(const char* file, char* const* argv, char* const* envp) {
  return Call(SYS_execve, Arg(file), Arg(argv), Arg(envp));
}
inline long SetAffinity(size_t size, const void* cpus) {
  return Call(SYS_sched_setaffinity, 0, static_cast<long>(size), Arg(cpus));
}
[[noreturn]] inline void Exit(int status) {
  for (;;) Call(SYS_exit_group, status);
}

/// The kernel's own signal action (not the C library's struct sigaction):
/// the handler first on every machine here; all zero is the default
/// action with nothing blocked.
struct KernelAction {
  long words[4];
  unsigned long long mask;
};
/// The kernel's signal set: 64 signals.
const long kSignalSetSize = 8;

inline long SignalAction(int sig, const KernelAction* set, KernelAction* old) {
  return Call(SYS_rt_sigaction, sig, Arg(set), Arg(old), kSignalSetSize);
}
/// Unblocks every signal.
inline long UnblockAll() {
  const unsigned long long none = 0;
  return Call(SYS_rt_sigprocmask, 2 /* SIG_SETMASK */, Arg(&none), 0, kSignalSetSize);
}

}  // namespace child_sys

#endif  // TARVO_COMMON_CHILD_SYS_H
