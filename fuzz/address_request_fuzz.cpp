// The address service's handler on a run of requests from anywhere.
//
// Input: one request after another, each as
//   length byte L: the datagram holds L bytes (L up to 180), or 176 for L > 180
//   the datagram's bytes (fewer when the input ends)
//   sender byte S: S % 4 picks the source address text (one of them a
//   128-byte text without terminator), S / 4 the source port
// Every request goes to one list and to a plain model of it. After each one
// the list must be in ascending fd order with a true count and equal the
// model, and the answer must have its exact size and fields.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/textfield.h"
#include "fuzz/fuzz_util.h"
#include "launcher/services/AddressService.h"
#include "registry/peerbook.h"

namespace {

const size_t kIp = sizeof(ProcessAddress::ip);
const size_t kName = sizeof(ProcessAddress::hostname);

// The list as it must be, in list order.
using Model = std::vector<ProcessAddress>;

int FindFirst(const Model& m, int32_t fd) {
  for (size_t i = 0; i < m.size(); ++i) {
    if (m[i].fd == fd) return static_cast<int>(i);
  }
  return -1;
}

// The largest identifier plus 1; past INT32_MAX, the lowest free positive one.
int32_t NewIdentifier(const Model& m) {
  if (m.empty()) return 1;
  if (m.back().fd < INT32_MAX) return m.back().fd + 1;
  for (int32_t id = 1;; ++id) {
    if (FindFirst(m, id) < 0) return id;
  }
}

bool SameRecord(const ProcessAddress& a, const ProcessAddress& b) { return memcmp(&a, &b, sizeof a) == 0; }

bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// The list's own structure: ordered by fd, count true, contents as modelled.
void CheckList(AddressList& list, const Model& model) {
  size_t nodes = 0;
  const AddressNode* prev = nullptr;
  for (const AddressNode* n = list.head; n != nullptr; n = n->next) {
    FUZZ_CHECK(nodes < model.size());
    if (prev != nullptr) FUZZ_CHECK(prev->fd <= n->fd);
    const ProcessAddress& want = model[nodes];
    FUZZ_CHECK(n->fd == want.fd);
    FUZZ_CHECK(n->tag == want.tag);
    FUZZ_CHECK(memcmp(n->ip, want.ip, kIp) == 0);
    FUZZ_CHECK(memcmp(n->hostname, want.hostname, kName) == 0);
    FUZZ_CHECK(n->port == want.port);
    prev = n;
    ++nodes;
  }
  FUZZ_CHECK(nodes == model.size());
  FUZZ_CHECK(list.count == static_cast<int32_t>(nodes));
  FUZZ_CHECK(list.Size() == static_cast<int>(nodes));
}

AddressMessage AnswerOf(const AddressReply& reply) {
  AddressMessage a;
  FUZZ_CHECK(reply.data != nullptr);
  FUZZ_CHECK(reply.length >= static_cast<int>(sizeof a));
  memcpy(&a, reply.data.get(), sizeof a);
  return a;
}

// An ordinary answer: exactly 176 bytes, and only code, fd, and for a found
// ADDRESS the ip and port, set.
void CheckOrdinary(const AddressReply& reply, int32_t code, int32_t fd) {
  FUZZ_CHECK(reply.length == kAddressMessageSize);
  AddressMessage a = AnswerOf(reply);
  FUZZ_CHECK(a.code == code);
  FUZZ_CHECK(a.fd == fd);
  FUZZ_CHECK(a.tag == 0);
  FUZZ_CHECK(AllZero(a.hostname, sizeof a.hostname));
}

void Step(const std::vector<char>& bytes, const char* host, int port, AddressList& list, Model& model) {
  AddressMessage req;
  memset(&req, 0, sizeof req);
  if (!bytes.empty()) memcpy(&req, bytes.data(), bytes.size() < sizeof req ? bytes.size() : sizeof req);

  fuzz::ExactBuffer exact(bytes);  // the handler must read no byte past the datagram
  AddressReply reply;
  bool answered = HandleAddressRequest(exact.data, static_cast<int>(exact.size), host, port, list, &reply);

  if (answered) {
    // The answer goes to the datagram's source, whatever the request says.
    FUZZ_CHECK(reply.host[kPeerTextSize] == '\0');
    FUZZ_CHECK(TextFieldsEqual(reply.host, kPeerTextSize, host, kPeerTextSize));
    FUZZ_CHECK(reply.port == port);
  }

  switch (req.code) {
    case JOIN: {
      FUZZ_CHECK(answered);
      int at = FindFirst(model, req.fd);
      if (at >= 0) {
        const ProcessAddress& held = model[static_cast<size_t>(at)];
        bool same = held.port == req.port && TextFieldsEqual(held.ip, kIp, req.ip, kIp);
        CheckOrdinary(reply, JOINACK, same ? kNotFound : req.fd);
        FUZZ_CHECK(AllZero(AnswerOf(reply).ip, kIp) && AnswerOf(reply).port == 0);
        break;
      }
      ProcessAddress rec;
      memset(&rec, 0, sizeof rec);
      rec.fd = req.fd == kNewIdentifier ? NewIdentifier(model) : req.fd;
      rec.tag = req.tag;
      CopyTextField(rec.ip, kIp, req.ip);
      CopyTextField(rec.hostname, kName, req.hostname);
      rec.port = req.port;
      size_t pos = 0;
      while (pos < model.size() && model[pos].fd <= rec.fd) ++pos;
      model.insert(model.begin() + static_cast<long>(pos), rec);
      CheckOrdinary(reply, JOINACK, req.fd);
      FUZZ_CHECK(AllZero(AnswerOf(reply).ip, kIp) && AnswerOf(reply).port == 0);
      break;
    }
    case ADDRESS: {
      FUZZ_CHECK(answered);
      if (req.fd == kWholeTable) {
        // A header whose port is the record count, then every record.
        const size_t n = model.size();
        FUZZ_CHECK(reply.length == static_cast<int>(176 + 172 * n));
        AddressMessage h = AnswerOf(reply);
        FUZZ_CHECK(h.code == ADDRESSACK && h.fd == 0 && h.tag == 0);
        FUZZ_CHECK(AllZero(h.ip, kIp) && AllZero(h.hostname, sizeof h.hostname));
        FUZZ_CHECK(h.port == static_cast<int32_t>(n));
        for (size_t i = 0; i < n; ++i) {
          ProcessAddress r;
          memcpy(&r, reply.data.get() + 176 + 172 * i, sizeof r);
          FUZZ_CHECK(SameRecord(r, model[i]));
        }
        break;
      }
      int at = FindFirst(model, req.fd);
      AddressMessage a = AnswerOf(reply);
      if (at < 0) {
        CheckOrdinary(reply, ADDRESSACK, kNotFound);
        FUZZ_CHECK(AllZero(a.ip, kIp) && a.port == 0);
      } else {
        const ProcessAddress& found = model[static_cast<size_t>(at)];
        CheckOrdinary(reply, ADDRESSACK, req.fd);
        FUZZ_CHECK(memcmp(a.ip, found.ip, kIp) == 0);
        FUZZ_CHECK(a.port == found.port);
      }
      break;
    }
    case LEAVE: {
      FUZZ_CHECK(answered);
      int at = FindFirst(model, req.fd);
      if (at >= 0) model.erase(model.begin() + at);  // only the first one goes
      CheckOrdinary(reply, LEAVEACK, at >= 0 ? req.fd : kNotFound);
      FUZZ_CHECK(AllZero(AnswerOf(reply).ip, kIp) && AnswerOf(reply).port == 0);
      break;
    }
    default:
      // Answers and unknown codes are dropped: nothing to send.
      FUZZ_CHECK(!answered);
      FUZZ_CHECK(reply.data == nullptr);
      break;
  }
  CheckList(list, model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char longHost[kPeerTextSize];
  memset(longHost, 'h', sizeof longHost);  // as long as the field: no terminator
  const char* hosts[4] = {"127.0.0.1", "10.1.2.3", longHost, ""};

  fuzz::Input in(data, size);
  AddressList list;
  Model model;
  while (!in.Empty()) {
    uint8_t l = in.Byte();
    size_t length = l <= 180 ? l : static_cast<size_t>(kAddressMessageSize);
    std::vector<char> bytes = in.Bytes(length);
    uint8_t s = in.Byte();
    Step(bytes, hosts[s % 4], 1000 + s / 4, list, model);
  }
  return 0;
}
