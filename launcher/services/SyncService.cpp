// The synchronisation service: SynControler and its cycle.
#include "launcher/services/ServiceLoop.h"
#include "launcher/services/SyncService.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <algorithm>

#include "common/messages.h"
#include "common/protocol.h"
#include "common/textfield.h"
#include "launcher/context/RunContext.h"
#include "launcher/services/Services.h"
#include "launcher/run/RunControl.h"

void CollectiveWaits::Start(int ranks) {
  std::lock_guard<std::mutex> lock(mutex_);
  since_.assign(static_cast<size_t>(ranks), -1.0);
}

void CollectiveWaits::Note(const SyncCycle& cycle, bool completed) {
  if (cycle.LastCounted() < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (completed) {
    std::fill(since_.begin(), since_.end(), -1.0);
  } else if (static_cast<size_t>(cycle.LastCounted()) < since_.size()) {
    since_[static_cast<size_t>(cycle.LastCounted())] = RunControlNow();
  }
}

void CollectiveWaits::Snapshot(std::vector<double>* since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *since = since_;
}
#include "launcher/services/SourceFilter.h"

SyncCycle::SyncCycle(int n) : table_(nullptr), size_(0) {
  if (n < 1) return;
  // calloc: every record starts with an empty host, port 0, not heard.
  table_ = static_cast<SyncRecord*>(calloc(static_cast<size_t>(n), sizeof(SyncRecord)));
  if (table_ != nullptr) size_ = n;
}

SyncCycle::~SyncCycle() { free(table_); }

bool SyncCycle::Accept(const char* data, int len, const char* host, int port) {
  lastCounted_ = -1;
  // Only the first 140 bytes count; bytes not received read as zero.
  SyncMessage request;
  memset(&request, 0, sizeof request);
  size_t taken = len <= 0 ? 0 : static_cast<size_t>(len);
  if (taken > 0) memcpy(&request, data, taken < sizeof request ? taken : sizeof request);

  // One unsigned comparison takes 29 to 32 and refuses every other code,
  // negative ones included.
  if (static_cast<uint32_t>(request.code) - static_cast<uint32_t>(Msg_TopologyBroadcast) >
      static_cast<uint32_t>(Msg_TopologyScatter - Msg_TopologyBroadcast)) {
    return false;
  }
  // The table has exactly one record per rank of the run; any other rank,
  // negative ones included, has nowhere to go.
  if (static_cast<uint32_t>(request.rank) >= static_cast<uint32_t>(size_)) return false;

  SyncRecord& record = table_[request.rank];
  CopyTextField(record.host, sizeof record.host - 1, host);
  record.host[sizeof record.host - 1] = '\0';
  record.port = port;
  // A repeated request (a retry, a lost release) moves the rank's address
  // but must not stand in for a rank not yet heard.
  if (record.heard) return false;
  record.heard = true;
  lastCounted_ = request.rank;
  if (++arrived_ < size_) return false;

  // Every rank is in: the records keep the addresses for the releases, and
  // the next request opens a fresh cycle.
  for (int32_t j = 0; j < size_; ++j) table_[j].heard = false;
  arrived_ = 0;
  return true;
}

void* ServeSync(void* arg) {
  const ServiceThread& service = *static_cast<ServiceThread*>(arg);
  CUDPConnection* endpoint = service.endpoint;
  CollectiveWaits* waits = service.waits;
  SyncCycle cycle(numProcs);  // the count is read once, here
  if (!cycle.Valid()) {
    perror("syn control table");
    RunControl::Fatal(service.control, 1);
    return nullptr;
  }
  if (waits != nullptr) waits->Start(cycle.Size());
  char request[sizeof(SyncMessage)];
  const char release[sizeof(SyncMessage)] = {0};
  ReceiveFailure failure{kStepSynRecv, kLineSynRecv};
  return ServeEndpoint(service, request, sizeof request, failure, [endpoint, waits, &cycle, &release](const Datagram& d) {
    if (ControlClosing()) return false;  // the run is over: main waits for this thread
    const bool completed = cycle.Accept(d.data, d.length, d.host, d.port);
    if (waits != nullptr) waits->Note(cycle, completed);
    if (!completed) return true;
    // Releases leave in rank order; a failed send does not hold back the rest.
    for (int j = 0; j < cycle.Size(); ++j) {
      const SyncRecord& to = cycle.Record(j);
      endpoint->UDPSend(release, sizeof release, to.host, to.port);
    }
    return true;
  });
}

void* SynControler(void* endpoint) { return ServeAlone(ServeSync, endpoint); }
