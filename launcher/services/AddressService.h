// The address service's protocol engine: one request in, at most one
// datagram out. The thread ResolveAddress (launcher/Control.h) only receives,
// calls HandleAddressRequest and sends what it says.
#ifndef TARVO_LAUNCHER_ADDRESSSERVICE_H
#define TARVO_LAUNCHER_ADDRESSSERVICE_H

#include <cstddef>
#include <memory>

#include "common/messages.h"
#include "common/protocol.h"
#include "registry/peerbook.h"

/// Size of a request and of an ordinary answer; the receive capacity.
const int kAddressMessageSize = static_cast<int>(sizeof(AddressMessage));
/// Size of one record of the table reply.
const int kAddressRecordSize = static_cast<int>(sizeof(ProcessAddress));
/// Width of a peer's address text.
const size_t kPeerTextSize = ADDRESS_TEXT_SIZE;

/// One datagram that the service sends, and where it goes.
struct AddressReply {
  std::unique_ptr<char[]> data;  // the datagram; null when nothing is sent
  int length = 0;                // 176, or 176 + 172 x N for the table reply
  char host[kPeerTextSize + 1] = {0};  // destination address text, terminated
  int port = 0;                        // destination port, host order
};

/// Handles one request of the address protocol on `list`. `request` holds
/// `length` bytes; bytes it does not reach read as zero and bytes beyond the
/// first 176 are ignored. `senderHost` (a 128-byte text field) and
/// `senderPort` are the source of the datagram, where every answer goes,
/// whatever the request's own ip and port say.
///
/// True, with `reply` filled, when the request is answered: JOIN, ADDRESS and
/// LEAVE. False, and nothing to send, for any other code, and for a table
/// whose reply cannot be built (no memory). A table reply longer than one UDP
/// datagram can carry (more than 379 entries) is still built: its send fails
/// and the requester gets no answer.
bool HandleAddressRequest(const char* request, int length, const char* senderHost, int senderPort,
                          AddressList& list, AddressReply* reply);

/// carrier's notice about its rank's program on a remote host.
struct RankNotice {
  bool ended = false;  // ENDED, else STARTED
  int rank = 0;
  int pid = 0;         // the program's pid (and process group) on its host
  int waitStatus = 0;  // ENDED: how it ended
};

/// True, with *notice filled, when the request is carrier's notice (code
/// STARTED or ENDED); the handler drops such a notice.
bool IsRankNotice(const char* request, int length, RankNotice* notice);

#endif  // TARVO_LAUNCHER_ADDRESSSERVICE_H
