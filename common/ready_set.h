// The read ends of many processes' output, waited on together. A wait
// reports only the members that have something (or have ended), so that a
// wake costs as much as the writers that wrote, not as many as are open:
// tarvo's output relay and the launch agent each keep one, for thousands of
// ranks' terminals and pipes.
#ifndef TARVO_COMMON_READY_SET_H
#define TARVO_COMMON_READY_SET_H

#include <sys/epoll.h>

class ReadySet {
 public:
  /// Ok() is false when the kernel gives no set (errno says why).
  ReadySet();
  ~ReadySet();
  ReadySet(const ReadySet&) = delete;
  ReadySet& operator=(const ReadySet&) = delete;

  bool Ok() const { return fd_ >= 0; }
  /// Readable while a member is ready: for a poll that waits on more.
  int Fd() const { return fd_; }
  /// Watches `fd` for input and its end; a wait reports it by `key`. False
  /// (errno) when the set takes no more.
  bool Add(int fd, epoll_data_t key);
  /// Out of the set before `fd` is closed: a child forked since holds a
  /// copy until its exec and would keep the closed member's events coming.
  void Remove(int fd);
  /// The keys of up to `max` ready members, waiting up to `timeoutMs` (-1:
  /// until one is): their count, 0 after a signal, -1 on an error (errno).
  /// What a member leaves unread is reported again by the next wait, after
  /// the other ready members: none is starved.
  int Wait(epoll_data_t* keys, int max, int timeoutMs);

 private:
  int fd_ = -1;
};

/// Two descriptors a rank: the soft limit of open descriptors raised to
/// the hard one.
void RaiseDescriptorLimit();

#endif  // TARVO_COMMON_READY_SET_H
