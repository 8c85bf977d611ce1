// The corpus and fuzz checks lean on this validator: one that let bad bytes through
// would make them pass on a listing the program cannot show.
#include <gtest/gtest.h>

#include <string>

#include "tests/corpus/Utf8Check.h"

using kestrova::testing::IsValidUtf8;
using kestrova::testing::Utf8Checker;

TEST(Utf8Check, AcceptsWellFormedTextAndRejectsEachIllFormedShape) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain ASCII\r\n"));
  EXPECT_TRUE(IsValidUtf8("\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \xEF\xBF\xBD"));
  EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF, the last code point

  EXPECT_FALSE(IsValidUtf8("\x80"));              // continuation without a lead
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong, three bytes
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // a UTF-16 surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_FALSE(IsValidUtf8("ab\xE4\xB8"));        // cut short at the end
  EXPECT_FALSE(IsValidUtf8("\xE4" "a\xB8"));      // interrupted by ASCII
}

TEST(Utf8Check, CharactersMaySplitAcrossChunksAndTheOffsetNamesTheBadByte) {
  Utf8Checker split;
  EXPECT_TRUE(split.Feed("x\xF0\x9F"));
  EXPECT_FALSE(split.Complete());  // a character is still open
  EXPECT_TRUE(split.Feed("\x98\x80y"));
  EXPECT_TRUE(split.Complete());

  Utf8Checker bad;
  EXPECT_FALSE(bad.Feed(std::string("abc\xC3(def")));
  EXPECT_EQ(bad.offset(), 4u);
  EXPECT_FALSE(bad.Feed("more"));
  EXPECT_FALSE(bad.Complete());
}
