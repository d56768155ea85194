// The synchronisation cycle: the meeting point that holds every process of
// the run until all of them have asked, then lets them go in rank order. It
// does no I/O; SynControler receives, feeds it and sends the releases.
#ifndef TARVO_LAUNCHER_SYNCSERVICE_H
#define TARVO_LAUNCHER_SYNCSERVICE_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/protocol.h"
#include "launcher/run/RunControl.h"

/// Where the release of one rank goes: the source of that rank's latest
/// request. `host` is the 128-byte dotted text as the receive delivers it,
/// NUL-padded; one byte more keeps it terminated for UDPSend.
struct SyncRecord {
  char host[ADDRESS_TEXT_SIZE + 1];
  int32_t port;
  bool heard;  // a request of the current cycle came from this rank
};

/// One cycle after another of `n` ranks. The table is allocated once, in the
/// constructor; Accept allocates nothing.
class SyncCycle {
 public:
  /// A table of `n` zero-filled records (none when `n` < 1 or the allocation
  /// fails: then Valid() is false and every request is dropped).
  explicit SyncCycle(int n);
  ~SyncCycle();
  SyncCycle(const SyncCycle&) = delete;
  SyncCycle& operator=(const SyncCycle&) = delete;

  bool Valid() const { return table_ != nullptr; }
  int Size() const { return size_; }

  /// Judges one received request of `len` bytes (only the first 140 count;
  /// bytes not received read as zero) from `host` and `port`. A code outside
  /// 29 to 32 or a rank outside 0 to Size() - 1 is dropped. Otherwise the
  /// rank's record takes the sender; a rank already heard in this cycle is
  /// not counted again. True when this request completed the cycle: the
  /// caller then sends the release to Record(0) ... Record(Size() - 1), in
  /// that order, and the next Accept starts a fresh cycle.
  bool Accept(const char* data, int len, const char* host, int port);

  /// The rank that the last Accept counted as newly arrived (the one that
  /// completed the cycle included), or -1.
  int LastCounted() const { return lastCounted_; }

  /// The record of rank `rank`, 0 <= rank < Size().
  const SyncRecord& Record(int rank) const { return table_[rank]; }

 private:
  SyncRecord* table_;
  int32_t size_;
  int32_t arrived_ = 0;
  int32_t lastCounted_ = -1;
};

/// The collective operation in progress, as the run control sees it: for
/// every rank, since when (CLOCK_MONOTONIC seconds) it waits in it, or a
/// negative value for a rank that does not wait. The run object owns it;
/// SynControler fills it, the run control reads it.
class CollectiveWaits : public CollectiveWatch {
 public:
  /// A table of `ranks` ranks, none waiting: the service's start.
  void Start(int ranks);
  /// After each Accept of `cycle`: the rank it counted waits from now on,
  /// or, when it completed the cycle, nobody waits.
  void Note(const SyncCycle& cycle, bool completed);
  /// A copy of the table; empty before the service has started.
  void Snapshot(std::vector<double>* since) const override;

 private:
  mutable std::mutex mutex_;
  std::vector<double> since_;  // guarded by mutex_
};

#endif  // TARVO_LAUNCHER_SYNCSERVICE_H
