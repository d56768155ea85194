#include "common/ready_set.h"

#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

ReadySet::ReadySet() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

ReadySet::~ReadySet() {
  if (fd_ >= 0) close(fd_);
}

bool ReadySet::Add(int fd, epoll_data_t key) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data = key;
  return fd_ >= 0 && epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void ReadySet::Remove(int fd) {
  if (fd_ >= 0) epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
}

int ReadySet::Wait(epoll_data_t* keys, int max, int timeoutMs) {
  epoll_event events[64];
  const int n = epoll_wait(fd_, events, max < 64 ? max : 64, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int k = 0; k < n; ++k) keys[k] = events[k].data;
  return n;
}

void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}
