// Path terms and the decoding of listing files.
#include <gtest/gtest.h>

#include "tests/workflow/Fakes.h"
#include "workflow/ListingText.h"
#include "workflow/PathTerms.h"

namespace kestrova::workflow {
namespace {

using testing::FakePlatform;
using testing::ToBytes;

TEST(PathTerms, SeparatorsAreBackslashAndColonOnly) {
  EXPECT_EQ(NamePart(u"D:\\Work\\demo.dll"), u"demo.dll");
  EXPECT_EQ(DirectoryPart(u"D:\\Work\\demo.dll"), u"D:\\Work\\");
  EXPECT_EQ(NamePart(u"D:demo.dll"), u"demo.dll");
  EXPECT_EQ(DirectoryPart(u"D:demo.dll"), u"D:");
  EXPECT_EQ(NamePart(u"D:\\a:b\\c:d.dll"), u"d.dll");
  // "/" belongs to the name.
  EXPECT_EQ(NamePart(u"D:\\Work/sub/demo.dll"), u"Work/sub/demo.dll");
  EXPECT_EQ(DirectoryPart(u"D:\\Work/sub/demo.dll"), u"D:\\");
}

TEST(PathTerms, DegenerateTexts) {
  EXPECT_EQ(NamePart(u"demo.dll"), u"demo.dll");
  EXPECT_EQ(DirectoryPart(u"demo.dll"), u"");
  EXPECT_EQ(NamePart(u""), u"");
  EXPECT_EQ(NamePart(u"C:\\Work\\"), u"");
  EXPECT_EQ(DirectoryPart(u"C:\\Work\\"), u"C:\\Work\\");
}

TEST(Decoding, ByteOrderMarksAreHonouredAndDropped) {
  FakePlatform p;
  // "中a" in UTF-8, UTF-16 LE and UTF-16 BE.
  EXPECT_EQ(DecodeListing(ToBytes("\xEF\xBB\xBF\xE4\xB8\xAD" "a"), p), u"中a");
  EXPECT_EQ(DecodeListing(ToBytes(std::string("\xFF\xFE\x2D\x4E\x61\x00", 6)), p), u"中a");
  EXPECT_EQ(DecodeListing(ToBytes(std::string("\xFE\xFF\x4E\x2D\x00\x61", 6)), p), u"中a");
  // A mark alone is an empty text.
  EXPECT_EQ(DecodeListing(ToBytes("\xEF\xBB\xBF"), p), u"");
  EXPECT_EQ(DecodeListing({}, p), u"");
}

TEST(Decoding, WithoutMarkTheAnsiCodePageApplies) {
  FakePlatform p;
  p.ansi = 936;
  EXPECT_EQ(DecodeListing(ToBytes("\xD6\xD0\xCE\xC4"), p), u"中文");
  p.ansi = 1252;
  EXPECT_EQ(DecodeListing(ToBytes("caf\xE9"), p), u"café");
  // UTF-8 bytes without a mark are not guessed at.
  EXPECT_EQ(DecodeListing(ToBytes("\xE4\xB8\xAD"), p), u"???");
}

TEST(Decoding, EveryLineBreakBecomesCrLf) {
  EXPECT_EQ(NormalizeLineBreaks(u"a\nb\rc\r\nd\n\re"), u"a\r\nb\r\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(NormalizeLineBreaks(u"end\n"), u"end\r\n");
  EXPECT_EQ(NormalizeLineBreaks(u"\r"), u"\r\n");
  EXPECT_EQ(NormalizeLineBreaks(u"\r\r\n"), u"\r\n\r\n");
  FakePlatform p;
  EXPECT_EQ(DecodeListing(ToBytes(std::string("\xFF\xFE" "a\0\n\0", 6)), p), u"a\r\n");
}

TEST(Decoding, MalformedInputIsReplacedNotDropped) {
  EXPECT_EQ(DecodeUtf8("\xC3\xA9"), u"é");
  EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(DecodeUtf8("a\xC3"), u"a\uFFFD");              // cut short
  EXPECT_EQ(DecodeUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");      // overlong
  EXPECT_EQ(DecodeUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a surrogate
  EXPECT_EQ(DecodeUtf8("\xE4\xB8" "x"), u"\uFFFD\uFFFDx");
  FakePlatform p;
  EXPECT_EQ(DecodeListing(ToBytes("\xFF\xFE" "a"), p), u"\uFFFD");  // odd UTF-16 tail
}

// The parts list the window goes to: the title lines and where they stand,
// whatever the lines around them hold.
TEST(Listing, PartTitlesWithTheirLines) {
  const std::u16string text = u"banner\r\n\r\n== 概览 ==\r\n  == not a title\r\n== Exports ==\r\n== ==\r\n== 问题汇总 ==";
  const auto parts = ListingParts(text);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].title, u"概览");
  EXPECT_EQ(parts[0].line, 2u);
  EXPECT_EQ(parts[0].offset, 10u);
  EXPECT_EQ(parts[1].title, u"Exports");
  EXPECT_EQ(parts[1].line, 4u);
  EXPECT_EQ(text.substr(parts[1].offset, 13), u"== Exports ==");
  EXPECT_EQ(parts[2].title, u"问题汇总");
  EXPECT_EQ(parts[2].line, 6u);
}

}  // namespace
}  // namespace kestrova::workflow
