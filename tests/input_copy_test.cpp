// The bookkeeping of TARVO_STDIN=all's copy: a slow reader paces the
// others, one that stalls that far behind is cut, one that goes is dropped,
// and what every live reader has taken is forgotten.
#include <gtest/gtest.h>

#include <string>

#include "common/input_copy.h"

namespace {

TEST(InputCopy, ASlowReaderPacesTheOthersAndAStalledOneIsCut) {
  InputCopyState s(2, 10, 1.0, 0.0);
  double wait = 0;
  ASSERT_TRUE(s.WantsInput());
  s.Take("abcdefgh", 8);
  EXPECT_EQ(s.Next(0), "abcdefgh");
  s.Took(0, 8, 0.1);
  s.Took(1, 3, 0.1);
  EXPECT_TRUE(s.WantsInput()) << "reader 0 has all, reader 1 is 5 behind";
  s.Take("ijklmnop", 8);
  s.Took(0, 8, 0.2);
  // Reader 1 is 13 behind, over the bound: the input waits for it while it
  // has taken something within the stall.
  EXPECT_FALSE(s.WantsInput());
  EXPECT_TRUE(s.Cut(0.5, &wait).empty());
  EXPECT_NEAR(wait, 0.6, 1e-9);
  EXPECT_EQ(s.Held(), 16u) << "the chunks that reader 1 has not finished";
  EXPECT_EQ(s.Next(1), "defgh");
  s.Took(1, 5, 0.6);
  EXPECT_TRUE(s.WantsInput()) << "8 behind now";
  // It stalls: a second later it is cut, and the rest is forgotten.
  s.Take("qrstuvwx", 8);
  s.Took(0, 8, 0.7);
  EXPECT_FALSE(s.WantsInput());
  EXPECT_TRUE(s.Cut(1.5, &wait).empty());
  const std::vector<size_t> cut = s.Cut(1.7, &wait);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0], 1u);
  EXPECT_FALSE(s.Live(1));
  EXPECT_EQ(s.Held(), 0u);
  EXPECT_TRUE(s.WantsInput());
}

TEST(InputCopy, ALoneSlowReaderIsNeverCutAndOneThatGoesIsDropped) {
  InputCopyState s(2, 4, 1.0, 0.0);
  double wait = 0;
  s.Take("abcdef", 6);
  s.Drop(0);
  EXPECT_FALSE(s.WantsInput()) << "the one reader left is 6 behind";
  EXPECT_TRUE(s.Cut(100.0, &wait).empty()) << "nobody waits for it";
  EXPECT_EQ(s.Next(1), "abcdef");
  s.Took(1, 6, 100.0);
  EXPECT_TRUE(s.WantsInput());
  EXPECT_EQ(s.Held(), 0u);
  s.Drop(1);
  EXPECT_FALSE(s.AnyLive());
}

}  // namespace
