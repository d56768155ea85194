// One input (tarvo's standard input, an agent's) copied to several readers,
// each through a pipe of its own (TARVO_STDIN=all). The input is read at the
// pace of the readers that read, each at most `bound` bytes behind the one
// that has read most: a slow reader holds the others, but one that has taken
// nothing for `stall` seconds while it is that far behind is cut (its pipe
// closed, so that its input ends there), and one that closes its end is
// dropped; neither holds the others longer. The data is kept once, however
// many readers there are.
#ifndef TARVO_COMMON_INPUT_COPY_H
#define TARVO_COMMON_INPUT_COPY_H

#include <stddef.h>

#include <deque>
#include <string>
#include <vector>

/// The pure bookkeeping: what is held, where each reader is.
class InputCopyState {
 public:
  /// `now`: seconds on a monotonic clock, as every call below takes them.
  InputCopyState(size_t readers, size_t bound, double stall, double now)
      : at_(readers, 0), since_(readers, now), live_(readers, true), bound_(bound), stall_(stall) {}

  /// True when the input should be read: some live reader has taken all
  /// that is held, and none is `bound` behind.
  bool WantsInput() const;
  /// The live readers that are `bound` or more behind a reader that wants
  /// more and have taken nothing for `stall` seconds: each is no longer
  /// live. *wait: seconds until the next such reader may be cut (-1: none).
  std::vector<size_t> Cut(double now, double* wait);
  /// What was read from the input.
  void Take(const char* data, size_t n);
  /// Reader `r`'s next bytes (empty: it has all that is held).
  std::string Next(size_t r) const;
  /// Reader `r` took `n` of them.
  void Took(size_t r, size_t n, double now);
  /// Reader `r` has gone (its pipe closed, or it was cut).
  void Drop(size_t r);
  bool Live(size_t r) const { return live_[r]; }
  size_t Behind(size_t r) const { return total_ - at_[r]; }
  size_t Held() const { return total_ - base_; }
  bool AnyLive() const;

 private:
  void Forget();  // the chunks every live reader has taken
  std::deque<std::string> chunks_;
  size_t base_ = 0;   // the offset of chunks_.front()
  size_t total_ = 0;  // bytes read from the input
  std::vector<size_t> at_;
  std::vector<double> since_;  // when each last took something
  std::vector<bool> live_;
  size_t bound_;
  double stall_;
};

/// Starts a thread that copies `from` to each of `to` (pipe write ends,
/// which it makes non-blocking and closes when it is done with them); a
/// reader cut behind the others is said on standard error as
/// "tarvo: NAME stopped reading its input ...", `names[i]` naming `to[i]`;
/// kInputCopyStall seconds make a stall.
/// `from` is not closed. False when no thread can be had (nothing copied,
/// the ends closed).
bool StartInputCopy(int from, const std::vector<int>& to, const std::vector<std::string>& names, size_t bound);

/// The bound that tarvo and the agent use: 16 MiB, and a second's stall.
const size_t kInputCopyBound = 16u << 20;
const double kInputCopyStall = 1.0;

#endif  // TARVO_COMMON_INPUT_COPY_H
