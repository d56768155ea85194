// The address service: processes register (JOIN), look each other up or fetch
// the whole table (ADDRESS) and deregister (LEAVE) on the address endpoint.
#include "launcher/services/ServiceLoop.h"
#include "launcher/services/AddressService.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/protocol.h"
#include "common/textfield.h"
#include "launcher/context/RunContext.h"
#include "launcher/services/Services.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/SourceFilter.h"

namespace {

const size_t kIpWidth = sizeof(AddressMessage::ip);
static_assert(sizeof(AddressMessage::ip) == sizeof(ProcessAddress::ip), "message and record share the ip width");

// Copies `answer` into a new buffer of the reply; false when no memory.
bool SetAnswer(const AddressMessage& answer, AddressReply* reply) {
  reply->data.reset(new (std::nothrow) char[sizeof answer]);
  if (!reply->data) return false;
  memcpy(reply->data.get(), &answer, sizeof answer);
  reply->length = kAddressMessageSize;
  return true;
}

// JOIN: register unless the identifier is taken. A repeat from the address
// that holds it is answered with 997; a claim from another address changes
// nothing and is answered with the identifier, as is a new registration.
bool Join(const AddressMessage& req, AddressList& list, AddressMessage* answer) {
  ProcessAddress held;
  // Only this service changes the list, so nothing can add the identifier
  // between this lookup and the Add below.
  if (list.Lookup(req.fd, &held)) {
    bool same = held.port == req.port && TextFieldsEqual(held.ip, kIpWidth, req.ip, kIpWidth);
    answer->fd = same ? kNotFound : req.fd;
    return true;
  }
  // The JOINACK says the process is registered; without memory for the entry
  // that would be false, so such a request goes unanswered.
  if (list.Add(req.fd, req.tag, req.ip, req.hostname, req.port) == nullptr) return false;
  answer->fd = req.fd;  // also for 999: the allocated identifier is not sent back
  return true;
}

// ADDRESS for one identifier: its address text and port, or 997.
void Address(const AddressMessage& req, AddressList& list, AddressMessage* answer) {
  ProcessAddress found;
  if (!list.Lookup(req.fd, &found)) {
    answer->fd = kNotFound;
    return;
  }
  answer->fd = req.fd;
  memcpy(answer->ip, found.ip, kIpWidth);
  answer->port = found.port;
}

// ADDRESS for 998: a header whose port is the record count, then every
// record in list order, as one datagram.
bool Table(AddressList& list, AddressMessage* answer, AddressReply* reply) {
  // Only this service changes the list, so the count read here still holds
  // when the records are written: they go straight into the reply, copied once.
  int n = list.Size();
  // 64-bit arithmetic: the length must not wrap on the 32-bit target.
  uint64_t total = static_cast<uint64_t>(kAddressMessageSize) + static_cast<uint64_t>(kAddressRecordSize) * n;
  if (total > INT32_MAX) return false;
  reply->data.reset(new (std::nothrow) char[static_cast<size_t>(total)]);
  if (!reply->data) return false;
  answer->port = n;
  memcpy(reply->data.get(), answer, sizeof *answer);
  // The records start 176 bytes into a new[] block: aligned for ProcessAddress.
  static_assert(sizeof(AddressMessage) % alignof(ProcessAddress) == 0, "records stay aligned");
  if (n > 0) list.ToAddressArray(reinterpret_cast<ProcessAddress*>(reply->data.get() + sizeof *answer));
  reply->length = static_cast<int>(total);
  return true;
}

}  // namespace

bool HandleAddressRequest(const char* request, int length, const char* senderHost, int senderPort,
                          AddressList& list, AddressReply* reply) {
  reply->data.reset();
  reply->length = 0;
  CopyTextField(reply->host, kPeerTextSize, senderHost);
  reply->host[kPeerTextSize] = '\0';
  reply->port = senderPort;

  // What the datagram did not reach reads as zero, as in the service's
  // cleared receive buffer.
  AddressMessage req;
  memset(&req, 0, sizeof req);
  if (length > 0) memcpy(&req, request, length < kAddressMessageSize ? static_cast<size_t>(length) : sizeof req);

  AddressMessage answer;
  memset(&answer, 0, sizeof answer);
  switch (req.code) {
    case JOIN:
      answer.code = JOINACK;
      if (!Join(req, list, &answer)) return false;
      break;
    case ADDRESS:
      answer.code = ADDRESSACK;
      if (req.fd == kWholeTable) return Table(list, &answer, reply);
      Address(req, list, &answer);
      break;
    case LEAVE:
      answer.code = LEAVEACK;
      answer.fd = list.Remove(req.fd) ? req.fd : kNotFound;  // only the first such entry goes
      break;
    default:
      return false;  // answers and unknown codes are dropped
  }
  return SetAnswer(answer, reply);
}

bool IsRankNotice(const char* request, int length, RankNotice* notice) {
  if (length < static_cast<int>(sizeof(AddressMessage))) return false;
  AddressMessage m;
  memcpy(&m, request, sizeof m);
  if (m.code != STARTED && m.code != ENDED) return false;
  notice->ended = m.code == ENDED;
  notice->rank = m.fd;
  notice->pid = m.tag;
  notice->waitStatus = m.port;
  return true;
}

// The thread: one request at a time, in the order received. The request
// buffer is cleared before every receive, so a short datagram leaves zeros
// behind it; the received length is not looked at.
void* ServeAddress(void* arg) {
  const ServiceThread& service = *static_cast<ServiceThread*>(arg);
  CUDPConnection* endpoint = service.endpoint;
  char request[kAddressMessageSize];
  // A failed receive during the run ends it with 1 and no message.
  return ServeEndpoint(service, request, sizeof request, ReceiveFailure{nullptr, 0}, [endpoint, &service](const Datagram& d) {
    RankNotice notice;
    if (IsRankNotice(d.data, kAddressMessageSize, &notice)) {
      if (service.control != nullptr) service.control->Noticed(notice.rank, notice.pid, notice.ended, notice.waitStatus);
      return true;
    }
    // aList may be gone once the run is closing: leave it alone from then on.
    if (!ControlEnterRequest()) return false;
    AddressReply reply;
    bool answered = HandleAddressRequest(d.data, kAddressMessageSize, d.host, d.port, aList, &reply);
    ControlLeaveRequest();
    if (answered) endpoint->UDPSend(reply.data.get(), reply.length, reply.host, reply.port);  // result ignored
    return true;
  });
}

void* ResolveAddress(void* endpoint) { return ServeAlone(ServeAddress, endpoint); }
