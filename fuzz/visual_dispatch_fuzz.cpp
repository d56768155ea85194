// The visual endpoint's dispatch for any datagram and any process count.
//
// Input: a count byte K (K < 200: the count is K - 50, from -50 to 149;
// otherwise the next four bytes are the count), then the datagram (its
// first 644 bytes; what a short one does not reach reads as zero).
// Registered processes, for the code-1 lookup, are those whose identifier
// is a multiple of 3, with the tag fd ^ 0x5A5A.
// The call must match the code's form and fields, read the first
// min(max(count, 0), 100) rank values, keep each text within its field,
// look up a tag only for code 1, and its queue text must end within the
// record's 100 bytes. Nothing is posted without an attached queue.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/messages.h"
#include "common/protocol.h"
#include "fuzz/fuzz_util.h"
#include "launcher/Control.h"
#include "launcher/services/VisualBridge.h"

namespace {

std::string Dec(int v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

std::string Field(const char* p, size_t width) { return std::string(p, strnlen(p, width)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t k = in.Byte();
  int nprocs = k < 200 ? static_cast<int>(k) - 50 : in.Int32();
  std::vector<char> bytes = in.Bytes(sizeof(VisualEvent));

  // The datagram on the heap at its exact size, cleared as the thread clears it.
  std::unique_ptr<char[][sizeof(VisualEvent)]> datagram(new char[1][sizeof(VisualEvent)]);
  memset(datagram[0], 0, sizeof(VisualEvent));
  if (!bytes.empty()) memcpy(datagram[0], bytes.data(), bytes.size());
  VisualEvent ev;
  memcpy(&ev, datagram[0], sizeof ev);

  int lookups = 0;
  int32_t askedFor = 0;
  VisualCall call = DispatchVisualEvent(datagram[0], nprocs, [&](int32_t fd, int32_t* tag) {
    ++lookups;
    askedFor = fd;
    if (fd % 3 != 0) return false;
    *tag = fd ^ 0x5A5A;
    return true;
  });

  FUZZ_CHECK(lookups == (ev.code == Msg_RMPRocessBegin ? 1 : 0));
  const std::string text = Field(ev.text, sizeof ev.text);
  std::string want;
  switch (ev.code) {
    case Msg_RMPRocessBegin: {
      FUZZ_CHECK(call.form == VisualForm::kBegin);
      FUZZ_CHECK(askedFor == ev.process);
      int32_t tag = ev.process % 3 == 0 ? (ev.process ^ 0x5A5A) : 0;
      FUZZ_CHECK(call.b == tag);
      FUZZ_CHECK(call.s == text);
      FUZZ_CHECK(call.t == "Process" + Dec(ev.process));
      FUZZ_CHECK(call.c == ev.argument);
      want = Dec(ev.process) + " " + Dec(tag) + " " + text + " Process" + Dec(ev.process) + " " + Dec(ev.argument);
      break;
    }
    case Msg_RMPRocessEnd:
      FUZZ_CHECK(call.form == VisualForm::kInt);
      want = Dec(ev.process) + " ";
      break;
    case Msg_AsynOneToOneChannelCreate:
    case Msg_SynOneToOneChannelCreate:
      FUZZ_CHECK(call.form == VisualForm::kIntIntText);
      FUZZ_CHECK(call.b == ev.argument && call.s == text);
      want = Dec(ev.process) + " " + Dec(ev.argument) + " " + text;
      break;
    case Msg_AsynOneToOneChannelDestroy:
    case Msg_SynOneToOneChannelDestroy:
      FUZZ_CHECK(call.form == VisualForm::kIntInt);
      FUZZ_CHECK(call.b == ev.argument);
      want = Dec(ev.process) + " " + Dec(ev.argument) + " ";
      break;
    case Msg_AsynOneToOneChannelSend:
    case Msg_AsynOneToOneChannelRecv:
    case Msg_SynOneToOneChannelSend:
    case Msg_SynOneToOneChannelRecv:
    case Msg_SynOneToOneChannelAck: {
      FUZZ_CHECK(call.form == VisualForm::kList);
      int values = nprocs < 0 ? 0 : (nprocs > kVisualRankValues ? kVisualRankValues : nprocs);
      std::string list;
      for (int i = 0; i < values; ++i) list += (i ? "," : "") + Dec(ev.ranks[i]);
      const std::string text2 = Field(ev.text2, sizeof ev.text2);
      FUZZ_CHECK(call.list == list);
      FUZZ_CHECK(call.b == ev.argument && call.c == ev.argument2);
      FUZZ_CHECK(call.s == text2 && call.t == text);
      want = Dec(ev.process) + " " + Dec(ev.argument) + "  " + list + " " + Dec(ev.argument2) + " " + text2 + " " + text;
      break;
    }
    default:
      // Code 0, negative or above 11: dropped.
      FUZZ_CHECK(call.form == VisualForm::kNone);
      FUZZ_CHECK(VisualCallText(call).empty());
      return 0;
  }
  FUZZ_CHECK(call.code == ev.code);
  FUZZ_CHECK(call.a == ev.process);
  FUZZ_CHECK(call.s.size() <= sizeof ev.text2 && call.t.size() <= sizeof ev.text2);

  const std::string posted = VisualCallText(call);
  FUZZ_CHECK(posted == want);
  QueueMessage record;
  memset(&record, 0x7E, sizeof record);
  size_t written = FitQueueText(posted, record.text);
  FUZZ_CHECK(written >= 1 && written <= sizeof record.text);
  FUZZ_CHECK(record.text[written - 1] == '\0');

  // Without an attached queue the call posts nothing and attaches nothing.
  FUZZ_CHECK(MsgQueueExist == 0);
  DeliverVisualCall(call);
  FUZZ_CHECK(MsgQueueExist == 0);
  return 0;
}
