// The synchronisation cycle on a run of datagrams from anywhere.
//
// Input: a byte that sets the rank count N (0 to 63: 0 makes a table-less
// cycle that must drop everything), then datagrams, each as
//   length byte L: the datagram holds L bytes (L up to 150), or 140 for L > 150
//   the datagram's bytes (fewer when the input ends)
//   sender byte S: S % 4 picks the source address text (one of them a
//   128-byte text without terminator), S / 4 the source port
// A plain model follows the cycle. A cycle closes exactly when every rank
// 0 to N-1 has been heard since the last close, and then every record holds
// the source of its rank's latest request, terminated within its field.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "fuzz/fuzz_util.h"
#include "launcher/services/SyncService.h"

namespace {

struct Source {
  std::string host;  // as the record must hold it: at most 128 characters
  int32_t port = 0;
};

// Distinct ranks heard in the current cycle: the records marked heard.
int Arrived(const SyncCycle& c) {
  int n = 0;
  for (int j = 0; j < c.Size(); ++j) n += c.Record(j).heard ? 1 : 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char longHost[129];
  memset(longHost, 'h', 128);
  longHost[128] = 'X';  // a receive never delivers more than 128 bytes; the 129th must not be read
  const char* hosts[4] = {"127.0.0.1", "10.1.2.3", longHost, ""};

  fuzz::Input in(data, size);
  const int n = in.Byte() % 64;
  SyncCycle cycle(n);
  FUZZ_CHECK(cycle.Valid() == (n >= 1));
  FUZZ_CHECK(cycle.Size() == (n >= 1 ? n : 0));

  std::vector<Source> latest(static_cast<size_t>(n));
  std::vector<bool> heard(static_cast<size_t>(n), false);
  int arrived = 0;

  while (!in.Empty()) {
    uint8_t l = in.Byte();
    size_t length = l <= 150 ? l : sizeof(SyncMessage);
    std::vector<char> bytes = in.Bytes(length);
    uint8_t s = in.Byte();
    const char* host = hosts[s % 4];
    int port = 2000 + s / 4;

    SyncMessage req;
    memset(&req, 0, sizeof req);
    if (!bytes.empty()) memcpy(&req, bytes.data(), bytes.size() < sizeof req ? bytes.size() : sizeof req);

    fuzz::ExactBuffer exact(bytes);
    bool closed = cycle.Accept(exact.data, static_cast<int>(exact.size), host, port);

    bool accepted = req.code >= Msg_TopologyBroadcast && req.code <= Msg_TopologyScatter && req.rank >= 0 &&
                    req.rank < n;
    bool expectClose = false;
    if (accepted) {
      Source& src = latest[static_cast<size_t>(req.rank)];
      src.host.assign(host, strnlen(host, 128));
      src.port = port;
      if (!heard[static_cast<size_t>(req.rank)]) {
        heard[static_cast<size_t>(req.rank)] = true;
        if (++arrived == n) expectClose = true;
      }
    }
    // Only the request that completes the set of ranks closes a cycle.
    FUZZ_CHECK(closed == expectClose);
    if (closed) {
      for (int j = 0; j < n; ++j) FUZZ_CHECK(heard[static_cast<size_t>(j)]);
      heard.assign(static_cast<size_t>(n), false);
      arrived = 0;
    }
    FUZZ_CHECK(Arrived(cycle) == arrived);
    FUZZ_CHECK(arrived >= 0 && arrived < (n >= 1 ? n : 1));

    // Every record holds its rank's latest source, terminated within the
    // field, and whether the rank was heard in this cycle.
    for (int j = 0; j < n; ++j) {
      const SyncRecord& r = cycle.Record(j);
      FUZZ_CHECK(memchr(r.host, '\0', sizeof r.host) != nullptr);
      FUZZ_CHECK(std::string(r.host) == latest[static_cast<size_t>(j)].host);
      FUZZ_CHECK(r.port == latest[static_cast<size_t>(j)].port);
      FUZZ_CHECK(r.heard == heard[static_cast<size_t>(j)]);
    }
  }
  return 0;
}
