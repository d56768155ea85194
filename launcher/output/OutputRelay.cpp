// The ranks' standard streams. One thread polls every rank's output (a
// terminal or a pipe) and writes whole lines, labelled or not, to the
// launcher's own standard output and standard error; it alone writes rank
// lines, and each write holds whole lines only, so no rank's line is cut by
// another's. While the launcher's stream is slow the thread waits in its
// write: a rank then waits in its own once its terminal or pipe is full, and
// the memory held stays one read and one unfinished line per rank.
#include "launcher/output/OutputRelay.h"

#include "common/input_copy.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/child_io.h"
#include "common/signal_mask.h"
#include "common/terminal.h"

namespace {

using Source = OutputRelay::Source;

// How much the thread reads from one pipe before it turns to the next.
const size_t kReadChunk = 64 * 1024;

// Reads one chunk of `source`; false when the pipe is at its end (or broken)
// and the rank's last line has been completed; the caller closes it then.
// *terminalEnded: the end was a terminal's, every writer gone and all read.
bool ReadSource(Source* source, std::string* out, bool* terminalEnded) {
  char buf[kReadChunk];
  ssize_t n = read(source->fd, buf, sizeof buf);
  if (n > 0) {
    SplitLines(source->label, buf, static_cast<size_t>(n), &source->partial, out);
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  // The end of a pipe, or EIO from a terminal whose every writer has gone.
  *terminalEnded = n < 0 && errno == EIO;
  SplitRest(source->label, &source->partial, out);
  return false;
}

// At the run's end: reads `source` until it holds nothing more, completes
// its last line and closes it.
void DrainSource(Source* source, std::string* out) {
  char buf[kReadChunk];
  // What the ended processes wrote fits the pipe (a terminal holds less); more
  // would come from a process outside the run that still writes, and must not
  // hold the end.
  const int capacity = fcntl(source->fd, F_GETPIPE_SZ);
  for (ssize_t budget = capacity > 0 ? capacity : 1 << 20; budget > 0;) {
    ssize_t n = read(source->fd, buf, sizeof buf);
    if (n > 0) {
      budget -= n;
      SplitLines(source->label, buf, static_cast<size_t>(n), &source->partial, out);
      ChildWrite(source->stream, *out);
      out->clear();
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  SplitRest(source->label, &source->partial, out);
  ChildWrite(source->stream, *out);
  out->clear();
  close(source->fd);
}

}  // namespace

void OutputRelay::Wake() {
  const char byte = 0;
  if (write(wake_[1], &byte, 1) < 0) {
    // Full: the thread has a wake-up pending already.
  }
}

// Hands `fd`, the relay's end of a rank's `stream`, to the thread: kept in sources_ (for the end's drain) and
// watched by the thread's epoll set, which reports only the sources that
// have something, so that a wake costs as much as the ranks that wrote, not
// as many as the run has. False when the set takes no more.
bool OutputRelay::Watch(int fd, int stream, const std::string& label) {
  std::unique_ptr<Source> source(new Source);
  Source* const s = source.get();
  s->fd = fd;
  s->stream = stream;
  s->label = label;
  {
    std::lock_guard<std::mutex> lock(lock_);
    s->slot = sources_.size();
    sources_.push_back(std::move(source));
  }
  epoll_data_t key{};
  key.ptr = s;
  if (ready_->Add(s->fd, key)) return true;
  Forget(s);
  return false;
}

// Out of the epoll set before the close: a child started since holds a copy
// of the descriptor until its exec, and would keep the closed source's
// events coming. A terminal that has ended (`recycle`) goes to the pool, for
// a later rank.
void OutputRelay::Drop(Source* s, bool recycle) {
  ready_->Remove(s->fd);
  TerminalPool* const pool = recycle ? recycleTo_.load(std::memory_order_acquire) : nullptr;
  if (pool != nullptr) {
    pool->Recycle(s->fd);
  } else {
    close(s->fd);
  }
  Forget(s);
}

void OutputRelay::Forget(Source* s) {
  std::lock_guard<std::mutex> lock(lock_);
  const size_t slot = s->slot;
  if (slot + 1 != sources_.size()) {
    sources_[slot] = std::move(sources_.back());
    sources_[slot]->slot = slot;
  }
  sources_.pop_back();
}

void* OutputRelay::Loop(void* self) {
  OutputRelay& r = *static_cast<OutputRelay*>(self);
  // A launcher stream that is a closed pipe fails the write instead of
  // ending the launcher.
  PipeSignalHeld();

  epoll_data_t ready[64];
  std::string out[3];
  for (;;) {
    const int n = r.ready_->Wait(ready, 64, -1);
    bool woken = false;
    for (int k = 0; k < n; ++k) {
      Source* const s = static_cast<Source*>(ready[k].ptr);
      if (s == nullptr) {
        woken = true;
        char drain[64];
        while (read(r.wake_[0], drain, sizeof drain) > 0) {
        }
      } else {
        bool terminalEnded = false;
        if (!ReadSource(s, &out[s->stream], &terminalEnded)) r.Drop(s, terminalEnded);
      }
    }
    for (int stream = 1; stream <= 2; ++stream) {
      // A reader that has gone ends the run, as it ends a rank that writes
      // to it itself; the relay goes on reading, so that no rank is held.
      if (!out[stream].empty() && !ChildWrite(stream, out[stream]) && errno == EPIPE && !r.saidGone_) {
        r.saidGone_ = true;
        if (r.readerGone_) r.readerGone_(stream);
      }
      out[stream].clear();
    }
    std::vector<std::unique_ptr<Source>> left;
    {
      std::lock_guard<std::mutex> lock(r.lock_);
      if (!woken || !r.finishing_) continue;
      left.swap(r.sources_);
    }
    // Every child has ended: what they wrote is in the terminals and pipes.
    // One that a process outside the run still holds open is not waited for.
    for (std::unique_ptr<Source>& s : left) DrainSource(s.get(), &out[s->stream]);
    return nullptr;
  }
}

namespace {

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Copies the launcher's standard input to `arg`, rank 0's pipe.
void* FeedInput(void* arg) {
  const int to = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !ChildWrite(to, buffer, static_cast<size_t>(n))) break;
  }
  close(to);
  return nullptr;
}

// Rank 0 leads a process group of its own, in the terminal's background,
// where reading the terminal would stop it (SIGTTIN): when the launcher's
// standard input is the terminal of which the launcher is in the
// foreground, rank 0 reads a pipe that a thread fills from it. -1 (the
// launcher's own standard input) otherwise.
int TerminalInput() {
  if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return -1;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  pthread_t feeder;
  if (pthread_create(&feeder, nullptr, FeedInput, reinterpret_cast<void*>(static_cast<intptr_t>(ends[1]))) != 0) {
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  pthread_detach(feeder);
  return ends[0];
}

}  // namespace

OutputRelay::OutputRelay(const Options& options, std::function<void(int)> readerGone)
    : options_(options), readerGone_(std::move(readerGone)), inputWho_(options.inputWho) {
  devNull_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

OutputRelay::~OutputRelay() {
  Finish();
  if (devNull_ >= 0) close(devNull_);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

void OutputRelay::Start() {
  if ((!options_.label && !options_.terminals) || running_.load()) return;
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    fprintf(stderr, "tarvo: no pipe for the ranks' output (%s); they write to tarvo's own streams\n", strerror(errno));
    return;
  }
  SetNonBlocking(wake_[0]);
  SetNonBlocking(wake_[1]);
  ready_.reset(new ReadySet);
  epoll_data_t wake{};
  wake.ptr = nullptr;
  if (!ready_->Ok() || !ready_->Add(wake_[0], wake)) {
    fprintf(stderr, "tarvo: no epoll set for the ranks' output (%s); they write to tarvo's own streams\n", strerror(errno));
    return;
  }
  RaiseDescriptorLimit();
  int rc = pthread_create(&thread_, nullptr, Loop, this);
  if (rc != 0) {
    fprintf(stderr, "tarvo: no thread for the ranks' output (%s); they write to tarvo's own streams\n", strerror(rc));
    return;
  }
  label_ = options_.label;
  terminals_ = options_.terminals;
  haveSize_ = terminals_ && OwnWindowSize(&size_);
  running_.store(true);
}

void OutputRelay::ExpectInputReaders(size_t readers) {
  inputExpected_ = readers;
  StartCopyWhenAllIn();
}

void OutputRelay::AddInputReader(int fd, const std::string& name) {
  inputTo_.push_back(fd);
  inputNames_.push_back(name);
  StartCopyWhenAllIn();
}

// Every reader is in before the first byte is read, so that each gets all.
void OutputRelay::StartCopyWhenAllIn() {
  if (inputCopying_ || inputWho_ != kInputAll || inputExpected_ == 0 || inputTo_.size() < inputExpected_) return;
  inputCopying_ = true;
  if (!StartInputCopy(STDIN_FILENO, inputTo_, inputNames_, kInputCopyBound)) {
    fprintf(stderr, "tarvo: no thread to copy the standard input to every rank; their input is empty\n");
  }
}

ChildStreams OutputRelay::ForRank(int rank, int job, bool terminal) {
  ChildStreams streams;
  if (job != 0 || inputWho_ == kInputNone || (inputWho_ >= 0 && rank != inputWho_)) {
    streams.fds[0] = devNull_;
  } else if (inputWho_ >= 0) {
    streams.fds[0] = TerminalInput();
  } else {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      streams.fds[0] = devNull_;
    } else {
      streams.fds[0] = ends[0];
      AddInputReader(ends[1], "rank " + std::to_string(rank));
    }
  }
  AddOutputs(rank, label_ ? LineLabel(rank, job) : std::string(), terminal, &streams);
  return streams;
}

ChildStreams OutputRelay::ForShell() {
  ChildStreams streams;
  AddOutputs(-1, std::string(), false, &streams);
  return streams;
}

void OutputRelay::ExpectTerminals(size_t count) {
  // A few ranks make their own: the thread's start and end cost more than
  // it saves them (a tenth of a millisecond, a twentieth of a launch of one).
  if (!Terminals() || options_.outputToFile || pool_ || count < TerminalPool::kAhead) return;
  // Unlabelled, the thread also puts each rank's read ends in the ready set
  // as it makes them (each source complete before its ADD, and no event
  // before the rank starts); the taker adopts them. A labelled source has
  // its rank's label, known when it is taken.
  std::function<bool(TerminalPool::Outputs*)> watch;
  std::function<void(const TerminalPool::Outputs&)> unwatch;
  if (!label_) {
    watch = [this](TerminalPool::Outputs* o) {
      for (int k = 0; k < 2; ++k) {
        const int fd = k == 0 ? o->master : o->errRead;
        if (fd < 0) continue;
        std::unique_ptr<Source> s(new Source);
        s->fd = fd;
        s->stream = k + 1;
        epoll_data_t key{};
        key.ptr = s.get();
        if (!ready_->Add(fd, key)) {
          Unwatch(*o);
          return false;
        }
        o->kept[k] = s.release();
      }
      return true;
    };
    unwatch = [this](const TerminalPool::Outputs& o) { Unwatch(o); };
  }
  pool_.reset(new TerminalPool(WindowSize(), !options_.errorToFile, std::move(watch), std::move(unwatch)));
  if (pool_->Start(count)) recycleTo_.store(pool_.get(), std::memory_order_release);
}

// Outputs of the pool's that no rank took: out of the ready set (no event
// can have come: no one wrote to them) and their sources deleted.
void OutputRelay::Unwatch(const TerminalPool::Outputs& o) {
  for (int k = 0; k < 2; ++k) {
    Source* const s = static_cast<Source*>(o.kept[k]);
    if (s == nullptr) continue;
    ready_->Remove(s->fd);
    delete s;
  }
}

// A source that the pool's thread watched becomes the relay's.
void OutputRelay::Adopt(void* kept) {
  std::unique_ptr<Source> source(static_cast<Source*>(kept));
  std::lock_guard<std::mutex> lock(lock_);
  source->slot = sources_.size();
  sources_.push_back(std::move(source));
}

// Rank `rank`'s output terminal in `ends`: one that an ended rank left
// to the pool where there is one, else a new one.
void OutputRelay::OpenTerminal(int rank, int (&ends)[2]) {
  const int recycled = pool_ ? pool_->TakeRecycled() : -1;
  std::string err;
  if (!OpenOutputTerminal(haveSize_ ? &size_ : nullptr, &ends[0], &ends[1], &err, recycled) && !reportedTerminal_) {
    // The system's bound on terminals (/proc/sys/kernel/pty/max) reached.
    fprintf(stderr, "tarvo: no terminal for the output of rank %d (%s); it and any other without one write to a pipe\n",
            rank, err.c_str());
    reportedTerminal_ = true;
  }
}

void OutputRelay::AddOutputs(int rank, const std::string& label, bool terminal, ChildStreams* streams) {
  if (!running_.load()) return;
  TerminalPool::Outputs made;
  const bool pooled = terminal && terminals_ && pool_ && pool_->Take(&made);
  for (int stream = 1; stream <= 2; ++stream) {
    if (stream == 1 ? options_.outputToFile : options_.errorToFile) continue;
    int ends[2] = {-1, -1};  // what the thread reads, what the rank writes
    const bool watched = pooled && made.kept[stream - 1] != nullptr;
    // Standard output a terminal, standard error a pipe: the streams stay
    // apart, and the rank's stdio buffers its output by lines.
    if (pooled) {
      ends[0] = stream == 1 ? made.master : made.errRead;
      ends[1] = stream == 1 ? made.slave : made.errWrite;
      if (watched) Adopt(made.kept[stream - 1]);
    } else if (stream == 1 && terminal && terminals_) {
      OpenTerminal(rank, ends);
    }
    if (ends[0] < 0) OutputPipe(ends);
    if (ends[0] >= 0 && !watched && !Watch(ends[0], stream, label)) {
      const int saved = errno;
      close(ends[0]);
      close(ends[1]);
      ends[0] = -1;
      errno = saved;
    }
    if (ends[0] < 0) {
      if (!reportedPipe_) {
        fprintf(stderr, "tarvo: no pipe for the output of %s (%s); it goes to tarvo's own stream as written\n",
                rank >= 0 ? ("rank " + std::to_string(rank)).c_str() : "a remote shell", strerror(errno));
        reportedPipe_ = true;
      }
      continue;
    }
    streams->fds[stream] = ends[1];
  }
}

void OutputRelay::Started(const ChildStreams& streams) const {
  // Rank 0's pipe from the terminal; the others share one /dev/null.
  if (streams.fds[0] >= 0 && streams.fds[0] != devNull_) close(streams.fds[0]);
  for (int stream = 1; stream <= 2; ++stream) {
    if (streams.fds[stream] < 0) continue;
    // The close of a terminal's last slave frees it, at the cost of a
    // terminal's making: the pool's thread does it, off the starts' path.
    if (pool_) {
      pool_->Release(streams.fds[stream]);
    } else {
      close(streams.fds[stream]);
    }
  }
}

void OutputRelay::Finish() {
  // Every slave of the launcher's closed before the end's drain, which
  // reads each master until its writers have gone.
  if (pool_) pool_->Stop();
  if (!running_.exchange(false)) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    finishing_ = true;
  }
  Wake();
  pthread_join(thread_, nullptr);
}

bool OutputRelay::Labels(const OutputRelay* relay) { return relay != nullptr && relay->Labels(); }

ChildStreams OutputRelay::ForShell(OutputRelay* relay) { return relay != nullptr ? relay->ForShell() : ChildStreams(); }

bool OutputRelay::Terminals(const OutputRelay* relay) { return relay != nullptr && relay->Terminals(); }

const winsize* OutputRelay::WindowSize(const OutputRelay* relay) {
  return relay != nullptr ? relay->WindowSize() : nullptr;
}

ChildStreams OutputRelay::ForRank(OutputRelay* relay, int rank, int job, bool terminal) {
  if (relay != nullptr) return relay->ForRank(rank, job, terminal);
  ChildStreams streams;
  streams.fds[0] = rank != 0 || job != 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : TerminalInput();
  return streams;
}

int OutputRelay::InputWho(const OutputRelay* relay) { return relay != nullptr ? relay->InputWho() : 0; }

void OutputRelay::ExpectTerminals(OutputRelay* relay, size_t count) {
  if (relay != nullptr) relay->ExpectTerminals(count);
}

void OutputRelay::ExpectInputReaders(OutputRelay* relay, size_t readers) {
  if (relay != nullptr) relay->ExpectInputReaders(readers);
}

void OutputRelay::AddInputReader(OutputRelay* relay, int fd, const std::string& name) {
  if (relay != nullptr) {
    relay->AddInputReader(fd, name);
  } else {
    close(fd);
  }
}

void OutputRelay::Started(const OutputRelay* relay, const ChildStreams& streams) {
  if (relay != nullptr) {
    relay->Started(streams);
    return;
  }
  for (int fd : streams.fds) {
    if (fd >= 0) close(fd);
  }
}
