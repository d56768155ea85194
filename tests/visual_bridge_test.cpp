#include "launcher/services/VisualBridge.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/Control.h"

namespace {

// A VisualEvent datagram built field by field at its wire offsets.
struct Datagram {
  char bytes[sizeof(VisualEvent)] = {0};
  Datagram& Int(size_t offset, int32_t v) {
    memcpy(bytes + offset, &v, sizeof v);
    return *this;
  }
  Datagram& Text(size_t offset, const std::string& s) {
    memcpy(bytes + offset, s.data(), s.size());
    return *this;
  }
  Datagram& Ranks(const std::vector<int32_t>& v) {
    for (size_t i = 0; i < v.size(); ++i) Int(112 + 4 * i, v[i]);
    return *this;
  }
  static Datagram Event(int32_t code, int32_t process, int32_t argument) {
    Datagram d;
    d.Int(0, code).Int(4, process).Int(8, argument);
    return d;
  }
};

// A registry stand-in: process 4 has the tag 77. A miss still scribbles on
// the tag, as a stale value would.
struct FakeRegistry {
  std::vector<int32_t> asked;
  TagLookup Lookup() {
    return [this](int32_t fd, int32_t* tag) {
      asked.push_back(fd);
      *tag = (fd == 4) ? 77 : 55;
      return fd == 4;
    };
  }
};

std::string Dispatch(const Datagram& d, int nprocs, FakeRegistry* registry = nullptr, VisualCall* out = nullptr) {
  FakeRegistry unused;
  VisualCall call = DispatchVisualEvent(d.bytes, nprocs, (registry ? registry : &unused)->Lookup());
  if (out) *out = call;
  return VisualCallText(call);
}

TEST(VisualText, EachFormKeepsItsBlanks) {
  EXPECT_EQ(VisualText(-1), "-1 ");
  EXPECT_EQ(VisualText(5, "s"), "5 s ");
  EXPECT_EQ(VisualText(3, 9), "3 9 ");
  EXPECT_EQ(VisualText(3, 9, "abc"), "3 9 abc");
  EXPECT_EQ(VisualText(4, 77, "go", "Process4", 0), "4 77 go Process4 0");
  EXPECT_EQ(VisualText(4, 2, "5,0,-2", 7, "x", "y"), "4 2  5,0,-2 7 x y");
  EXPECT_EQ(VisualText(INT_MIN, INT_MAX), "-2147483648 2147483647 ");
  EXPECT_EQ(VisualText(1, 2, nullptr), "1 2 ") << "a null text reads as empty";
}

TEST(VisualText, LongTextIsCutTo99CharactersWithinTheField) {
  struct {
    char field[100];
    char guard[8];
  } record;
  memset(&record, '#', sizeof record);
  EXPECT_EQ(FitQueueText(std::string(99, 'a'), record.field), 100u);
  EXPECT_EQ(std::string(record.field), std::string(99, 'a'));

  memset(&record, '#', sizeof record);
  EXPECT_EQ(FitQueueText(VisualText(1, 2, std::string(200, 'b').c_str()), record.field), 100u);
  EXPECT_EQ(std::string(record.field, 99), "1 2 " + std::string(95, 'b'));
  EXPECT_EQ(record.field[99], '\0');
  EXPECT_EQ(std::string(record.guard, 8), std::string(8, '#')) << "nothing written past the field";

  // A shorter text writes only itself and its NUL.
  EXPECT_EQ(FitQueueText("-1 ", record.field), 4u);
  EXPECT_EQ(std::string(record.field), "-1 ");
  EXPECT_EQ(record.field[4], 'b');
}

TEST(VisualText, NothingIsPostedWithoutAnAttachedQueue) {
  ASSERT_EQ(MsgQueueExist, 0);
  MessageSend(2, -1);
  MessageSend(2, 1, "s");
  MessageSend(6, 3, 9);
  MessageSend(3, 3, 9, "abc");
  MessageSend(1, 4, 77, "go", "Process4", 0);
  MessageSend(4, 4, 2, "5", 7, "x", "y");
  EXPECT_EQ(visualMessage.type, 0);
  EXPECT_EQ(std::string(visualMessage.text, sizeof visualMessage.text), std::string(100, '\0'));
}

TEST(VisualDispatch, CodesOutsideOneToElevenAreDropped) {
  FakeRegistry registry;
  for (int32_t code : {0, 12, 17, 32, -1, INT_MIN, INT_MAX}) {
    VisualCall call;
    EXPECT_EQ(Dispatch(Datagram::Event(code, 4, 2), 1, &registry, &call), "") << code;
    EXPECT_EQ(call.form, VisualForm::kNone) << code;
  }
  EXPECT_TRUE(registry.asked.empty());
}

TEST(VisualDispatch, BeginTakesTheRegisteredTagAndZeroForAStranger) {
  FakeRegistry registry;
  VisualCall call;
  EXPECT_EQ(Dispatch(Datagram::Event(1, 4, 0).Text(12, "go"), 1, &registry, &call), "4 77 go Process4 0");
  EXPECT_EQ(call.form, VisualForm::kBegin);
  EXPECT_EQ(call.code, 1);
  // After a hit, a miss must not reuse the tag found before.
  EXPECT_EQ(Dispatch(Datagram::Event(1, 9, -3).Text(12, "hi"), 1, &registry), "9 0 hi Process9 -3");
  EXPECT_EQ(registry.asked, (std::vector<int32_t>{4, 9}));
}

TEST(VisualDispatch, ListFormsCarryTheFirstRankValues) {
  Datagram d = Datagram::Event(4, 4, 2).Ranks({5, 0, -2, 99}).Int(512, 7).Text(516, "x").Text(12, "y");
  for (int32_t code : {4, 5, 8, 9, 10}) {
    d.Int(0, code);
    VisualCall call;
    EXPECT_EQ(Dispatch(d, 3, nullptr, &call), "4 2  5,0,-2 7 x y") << code;
    EXPECT_EQ(call.code, code);
    EXPECT_EQ(call.form, VisualForm::kList);
  }
  EXPECT_EQ(Dispatch(Datagram::Event(8, 1, 0).Ranks({8}), 1), "1 0  8 0  ") << "one value, no comma";

  // Above 100 processes the list stops at the datagram's 100 values.
  Datagram full = Datagram::Event(5, 1, 0);
  std::vector<int32_t> ranks(100);
  for (int i = 0; i < 100; ++i) ranks[i] = i + 1;
  full.Ranks(ranks);
  VisualCall call;
  Dispatch(full, 2000, nullptr, &call);
  std::string expected = "1";
  for (int i = 2; i <= 100; ++i) expected += "," + std::to_string(i);
  EXPECT_EQ(call.list, expected);
}

TEST(VisualDispatch, ShortFormsUseTheirFields) {
  EXPECT_EQ(Dispatch(Datagram::Event(6, 4, 2).Text(12, "ch"), 1), "4 2 ");
  EXPECT_EQ(Dispatch(Datagram::Event(11, 4, 2), 1), "4 2 ");
  EXPECT_EQ(Dispatch(Datagram::Event(3, 4, 2).Text(12, "ch"), 1), "4 2 ch");
  EXPECT_EQ(Dispatch(Datagram::Event(7, 4, 2).Text(12, "ch"), 1), "4 2 ch");
  EXPECT_EQ(Dispatch(Datagram::Event(2, 5, 9).Text(12, "ignored"), 1), "5 ");
  // What a 4-byte datagram leaves: only the code, the rest zero.
  Datagram codeOnly;
  codeOnly.Int(0, 2);
  EXPECT_EQ(Dispatch(codeOnly, 1), "0 ");
}

TEST(VisualDispatch, TextsWithoutTerminatorEndAtTheirField) {
  // The text runs into the rank values and the second text into the end of
  // the datagram: each must stop at its own width.
  Datagram d = Datagram::Event(4, 1, 0).Text(12, std::string(100, 'a')).Ranks({0x41414141}).Text(516, std::string(128, 'b'));
  VisualCall call;
  Dispatch(d, 1, nullptr, &call);
  EXPECT_EQ(call.t, std::string(100, 'a'));
  EXPECT_EQ(call.s, std::string(128, 'b'));
  EXPECT_EQ(call.list, "1094795585");
}

}  // namespace
