#include "common/input_copy.h"
#include "common/signal_mask.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

bool InputCopyState::WantsInput() const {
  bool hungry = false;
  for (size_t r = 0; r < at_.size(); ++r) {
    if (!live_[r]) continue;
    if (total_ - at_[r] >= bound_) return false;
    hungry = hungry || at_[r] == total_;
  }
  return hungry;
}

std::vector<size_t> InputCopyState::Cut(double now, double* wait) {
  std::vector<size_t> cut;
  *wait = -1;
  bool hungry = false;
  for (size_t r = 0; r < at_.size(); ++r) hungry = hungry || (live_[r] && at_[r] == total_);
  if (!hungry) return cut;
  for (size_t r = 0; r < at_.size(); ++r) {
    if (!live_[r] || total_ - at_[r] < bound_) continue;
    const double left = since_[r] + stall_ - now;
    if (left <= 0) {
      cut.push_back(r);
      live_[r] = false;
    } else if (*wait < 0 || left < *wait) {
      *wait = left;
    }
  }
  if (!cut.empty()) Forget();
  return cut;
}

void InputCopyState::Take(const char* data, size_t n) {
  if (n == 0) return;
  chunks_.emplace_back(data, n);
  total_ += n;
}

std::string InputCopyState::Next(size_t r) const {
  size_t offset = base_;
  for (const std::string& c : chunks_) {
    if (at_[r] < offset + c.size()) return c.substr(at_[r] - offset);
    offset += c.size();
  }
  return std::string();
}

void InputCopyState::Took(size_t r, size_t n, double now) {
  at_[r] += n;
  since_[r] = now;
  Forget();
}

void InputCopyState::Drop(size_t r) {
  live_[r] = false;
  Forget();
}

bool InputCopyState::AnyLive() const { return std::find(live_.begin(), live_.end(), true) != live_.end(); }

void InputCopyState::Forget() {
  size_t least = total_;
  for (size_t r = 0; r < at_.size(); ++r) {
    if (live_[r]) least = std::min(least, at_[r]);
  }
  while (!chunks_.empty() && base_ + chunks_.front().size() <= least) {
    base_ += chunks_.front().size();
    chunks_.pop_front();
  }
}

namespace {

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Copy {
  int from;
  std::vector<int> to;
  std::vector<std::string> names;
  size_t bound;
};

void* CopyLoop(void* arg) {
  Copy* c = static_cast<Copy*>(arg);
  InputCopyState state(c->to.size(), c->bound, kInputCopyStall, Now());
  bool inputOpen = true;
  char buffer[65536];
  std::vector<pollfd> fds;
  std::vector<size_t> whose;
  for (;;) {
    // Readers that have taken everything once the input has ended are done.
    for (size_t r = 0; r < c->to.size(); ++r) {
      if (state.Live(r) && !inputOpen && state.Behind(r) == 0) {
        close(c->to[r]);
        state.Drop(r);
      }
    }
    if (!state.AnyLive()) break;
    double wait = -1;
    for (size_t r : state.Cut(Now(), &wait)) {
      fprintf(stderr, "tarvo: %s stopped reading its input, %zu MiB behind the others; its input ends there\n",
              c->names[r].c_str(), c->bound >> 20);
      close(c->to[r]);
    }
    fds.clear();
    whose.clear();
    if (inputOpen && state.WantsInput()) {
      fds.push_back(pollfd{c->from, POLLIN, 0});
      whose.push_back(c->to.size());
    }
    for (size_t r = 0; r < c->to.size(); ++r) {
      if (!state.Live(r)) continue;
      // POLLOUT only while it has something to take; a closed reader shows
      // as POLLERR either way.
      fds.push_back(pollfd{c->to[r], static_cast<short>(state.Behind(r) > 0 ? POLLOUT : 0), 0});
      whose.push_back(r);
    }
    const int timeout = wait < 0 ? -1 : static_cast<int>(wait * 1000) + 1;
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      const size_t r = whose[k];
      if (r == c->to.size()) {
        const ssize_t n = read(c->from, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
          inputOpen = false;
        } else {
          state.Take(buffer, static_cast<size_t>(n));
        }
        continue;
      }
      if (!state.Live(r)) continue;
      bool gone = (fds[k].revents & (POLLERR | POLLHUP)) != 0;
      while (!gone && state.Behind(r) > 0) {
        const std::string next = state.Next(r);
        const ssize_t n = write(c->to[r], next.data(), next.size());
        if (n > 0) {
          state.Took(r, static_cast<size_t>(n), Now());
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        gone = !(n < 0 && errno == EAGAIN);
        break;
      }
      if (gone) {
        close(c->to[r]);
        state.Drop(r);
      }
    }
  }
  for (size_t r = 0; r < c->to.size(); ++r) {
    if (state.Live(r)) close(c->to[r]);
  }
  delete c;
  return nullptr;
}

}  // namespace

bool StartInputCopy(int from, const std::vector<int>& to, const std::vector<std::string>& names, size_t bound) {
  for (int fd : to) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  Copy* c = new Copy{from, to, names, bound};
  // A reader that has gone must not end the process: a write to its pipe
  // fails with EPIPE instead. The thread starts with SIGPIPE blocked.
  pthread_t thread;
  int rc;
  {
    PipeSignalHeldWhile held;
    rc = pthread_create(&thread, nullptr, CopyLoop, c);
  }
  if (rc != 0) {
    for (int fd : to) close(fd);
    delete c;
    return false;
  }
  pthread_detach(thread);
  return true;
}
