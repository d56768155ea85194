// The six MessageSend texts and their fit into the queue record.
//
// Input: a form byte (0 to 5), three integers (4 bytes each, little-endian),
// then up to three NUL-ended texts; a text whose first byte is 0xFF stands
// for a null pointer. Then a byte that fills the record's text field before
// the fit.
// Each text must be the decimal integers and the texts in the form's order
// with its blanks; the record's field must end with a NUL within its 100
// bytes, hold the text's first 99 characters at most, and keep the bytes
// after the NUL as they were.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "fuzz/fuzz_util.h"
#include "launcher/services/VisualBridge.h"

namespace {

std::string Dec(int v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

// A text of the input, or null for one that begins with 0xFF.
struct Arg {
  std::string text;
  bool null = false;
  const char* get() const { return null ? nullptr : text.c_str(); }
  std::string shown() const { return null ? std::string() : text; }
};

Arg TakeArg(fuzz::Input& in) {
  Arg a;
  a.text = in.Text();
  if (!a.text.empty() && static_cast<unsigned char>(a.text[0]) == 0xFF) {
    a.null = true;
    a.text.clear();
  }
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  int form = in.Byte() % 6;
  int a = in.Int32(), b = in.Int32(), c = in.Int32();
  Arg s = TakeArg(in), t = TakeArg(in), u = TakeArg(in);
  uint8_t fill = in.Byte();

  std::string got, want;
  switch (form) {
    case 0:
      got = VisualText(a);
      want = Dec(a) + " ";
      break;
    case 1:
      got = VisualText(a, s.get());
      want = Dec(a) + " " + s.shown() + " ";
      break;
    case 2:
      got = VisualText(a, b);
      want = Dec(a) + " " + Dec(b) + " ";
      break;
    case 3:
      got = VisualText(a, b, s.get());
      want = Dec(a) + " " + Dec(b) + " " + s.shown();
      break;
    case 4:
      got = VisualText(a, b, s.get(), t.get(), c);
      want = Dec(a) + " " + Dec(b) + " " + s.shown() + " " + t.shown() + " " + Dec(c);
      break;
    default:
      got = VisualText(a, b, u.get(), c, s.get(), t.get());
      want = Dec(a) + " " + Dec(b) + "  " + u.shown() + " " + Dec(c) + " " + s.shown() + " " + t.shown();
      break;
  }
  FUZZ_CHECK(got == want);

  QueueMessage record;
  memset(&record, fill, sizeof record);
  size_t written = FitQueueText(got, record.text);
  const void* nul = memchr(record.text, '\0', sizeof record.text);
  FUZZ_CHECK(nul != nullptr);
  size_t len = static_cast<size_t>(static_cast<const char*>(nul) - record.text);
  // The text's own NUL bytes (none come from the forms' texts) would end it early.
  size_t expect = got.size() < sizeof record.text - 1 ? got.size() : sizeof record.text - 1;
  if (fill != 0) FUZZ_CHECK(len == expect);
  FUZZ_CHECK(written == expect + 1);
  FUZZ_CHECK(memcmp(record.text, got.data(), expect) == 0);
  FUZZ_CHECK(record.text[expect] == '\0');
  for (size_t i = expect + 1; i < sizeof record.text; ++i) FUZZ_CHECK(static_cast<uint8_t>(record.text[i]) == fill);
  return 0;
}
