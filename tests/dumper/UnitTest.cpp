// The pieces whose faults a listing would hide: bounds, checksum, escaping,
// dates and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "dumper/Cli.h"
#include "dumper/io/Reader.h"
#include "dumper/pe/Parse.h"
#include "dumper/io/Spill.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"
#include "tests/dumper/PeBuilder.h"

namespace kestrova::dumper::testing {
namespace {

class StringSink final : public Sink {
 public:
  void Write(std::string_view t) override { s.append(t); }
  std::string s;
};

TEST(Reader, RefusesEveryAccessThatCrossesTheEnd) {
  std::vector<std::uint8_t> b = {1, 2, 3, 4, 5, 'a', 'b', 0, 'c'};
  io::Reader r(b, 0x100);
  EXPECT_EQ(r.U32(0), 0x04030201u);
  EXPECT_EQ(r.U32(6), std::nullopt);  // exactly one byte short
  EXPECT_EQ(r.U64(2), std::nullopt);
  EXPECT_EQ(r.U8(UINT64_MAX), std::nullopt);
  EXPECT_EQ(r.U16(UINT64_MAX - 1), std::nullopt);  // off + size would wrap
  EXPECT_FALSE(r.Sub(4, UINT64_MAX).has_value());
  auto sub = r.Sub(5, 4);
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->Base(), 0x105u);
  EXPECT_EQ(sub->U32(1), std::nullopt);
  io::CString s = r.String(5, 10);
  EXPECT_TRUE(s.terminated);
  EXPECT_EQ(s.text, "ab");
  s = r.String(8, 10);  // "c" runs into the end
  EXPECT_FALSE(s.terminated);
  EXPECT_EQ(s.text, "c");
  s = r.String(5, 1);  // limit before the NUL
  EXPECT_FALSE(s.terminated);
  EXPECT_EQ(s.text, "a");
  EXPECT_FALSE(io::CheckedAdd(UINT64_MAX, 1));
  EXPECT_FALSE(io::CheckedMul(UINT64_MAX / 2, 3));
  EXPECT_TRUE(io::Fits(9, 0, 9));
  EXPECT_FALSE(io::Fits(10, 0, 9));
}

TEST(Checksum, MatchesTheWordByWordSumForAnyLengthAndFieldPlace) {
  std::mt19937 rng(7);
  for (std::size_t size : {0u, 1u, 2u, 7u, 64u, 65u, 4097u, (1u << 20) + 3u, (3u << 20) + 5u}) {
    std::vector<std::uint8_t> f(size);
    for (auto& x : f) x = static_cast<std::uint8_t>(rng());
    for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{3}, size / 2, size > 2 ? size - 2 : 0}) {
      EXPECT_EQ(pe::ComputeChecksum(io::Reader(f), at), ReferenceChecksum(f, at)) << size << " " << at;
    }
  }
  std::vector<std::uint8_t> ff(100001, 0xFF);  // carries on every step
  EXPECT_EQ(pe::ComputeChecksum(io::Reader(ff), 64), ReferenceChecksum(ff, 64));
}

std::string Escaped(std::string_view bytes) {
  StringSink sink;
  {
    print::TextPrinter o(sink, 1 << 20);
    o.Name(bytes);
  }
  return sink.s;
}

TEST(TextPrinter, NamesFromTheFileBecomeValidUtf8) {
  EXPECT_EQ(Escaped("Plain_Name@8"), "Plain_Name@8");
  EXPECT_EQ(Escaped("a\x01" "b\x7F"), "a\\x01b\\x7F");
  EXPECT_EQ(Escaped("\xE5\x90\x8D"), "\xE5\x90\x8D");       // 名 stays readable
  EXPECT_EQ(Escaped("\xE5\x90"), "\\xE5\\x90");             // cut sequence
  EXPECT_EQ(Escaped("\xC0\xAF"), "\\xC0\\xAF");             // overlong '/'
  EXPECT_EQ(Escaped("\xED\xA0\x80"), "\\xED\\xA0\\x80");     // surrogate
  EXPECT_EQ(Escaped("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // past U+10FFFF
  EXPECT_EQ(Escaped("x\xE2\x80\xAEy"), "x\\u{202E}y");      // right-to-left override
  EXPECT_EQ(Escaped("line\nbreak"), "line\\x0Abreak");
}

std::string Dated(std::uint32_t t) {
  StringSink sink;
  {
    print::TextPrinter o(sink, 1 << 20);
    o.Date(t);
  }
  return sink.s;
}

TEST(TextPrinter, DatesAreUtcAcrossLeapYearsAndTheEndOfTheRange) {
  EXPECT_EQ(Dated(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(Dated(951782400), "2000-02-29 00:00:00 UTC");
  EXPECT_EQ(Dated(0x5F000000), "2020-07-04 04:05:20 UTC");
  EXPECT_EQ(Dated(0xFFFFFFFF), "2106-02-07 06:28:15 UTC");
}

// A part that outgrows its share is cut at a line's end and says so; the part
// after it and the closing lines still show, and the JSON stays whole.
template <class P>
std::string TwoParts() {
  StringSink sink;
  {
    P o(sink, 1000);
    o.BeginDocument();
    o.BeginPart("Big", "Big", 100);
    {
      print::Scoped rows(o, print::Scoped::kList, "rows");
      for (int i = 0; i < 50 && !o.Exhausted(); ++i) {
        o.Text("  line ").Dec("n", static_cast<std::uint64_t>(i));
        o.Nl();
      }
    }
    EXPECT_TRUE(o.EndBody());
    o.Text("  ! warning: cut").Fact("cut", true);
    o.Nl();
    o.EndPart();
    o.BeginPart("Small", "Small", 100);
    o.Text("  tail ").Dec("tail", 7);
    o.Nl();
    EXPECT_FALSE(o.EndBody());
    o.EndPart();
    o.BeginClosing();
    o.Text("  end").Fact("end", true);
    o.Nl();
    o.EndDocument();
  }
  return sink.s;
}

TEST(Printer, ACutPartHidesNoLaterPart) {
  const std::string text = TwoParts<print::TextPrinter>();
  const std::size_t cut = text.find("  ! warning: cut");
  ASSERT_NE(cut, std::string::npos);
  EXPECT_EQ(text[cut - 1], '\n');
  EXPECT_LE(text.find("== Big ==\n") + 11 + 100, cut + 10);  // the body kept to its share, whole lines
  EXPECT_NE(text.find("== Small ==\n  tail 7\n"), std::string::npos);
  EXPECT_NE(text.find("  end\n"), std::string::npos);
  const std::string json = TwoParts<print::JsonPrinter>();
  EXPECT_EQ(json.rfind("{\"schema\":1,\"Big\":{\"rows\":[0,", 0), 0u) << json;
  EXPECT_NE(json.find("],\"cut\":true},\"Small\":{\"tail\":7},\"end\":true}\n"), std::string::npos) << json;
}

// What waits in a spill comes back whole and in order, past the size it keeps in memory.
TEST(Spill, GivesBackWhatItHeldInOrder) {
  io::Spill spill;
  std::string expected;
  for (int i = 0; i < 40000; ++i) {
    const std::string line = "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), 'x') + "\n";
    spill.Write(line);
    expected += line;
  }
  ASSERT_GT(expected.size(), std::size_t{1} << 20);
  EXPECT_LE(spill.InMemory(), std::size_t{1} << 20);  // the rest waits in the file
  StringSink out;
  spill.ReplayTo(out);
  EXPECT_TRUE(out.s == expected);
  StringSink again;
  spill.ReplayTo(again);
  EXPECT_TRUE(again.s.empty());
}

class FakeFiles final : public FileSource {
 public:
  bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& error) override {
    if (index == missing) {
      error = "No such file or directory";
      return false;
    }
    bytes = {'M', 'Z'};
    return true;
  }
  std::size_t missing = 99;
};

TEST(Cli, ExitCodesAndTheOneLineForAnUnreadableFile) {
  FakeFiles files;
  StringSink out;
  std::vector<std::string> args = {"a.dll", "gone.dll", "b.dll"};
  files.missing = 1;
  EXPECT_EQ(RunCli(args, files, out), 1);
  EXPECT_NE(out.s.find("\ntdump: cannot read \"gone.dll\": No such file or directory\n"), std::string::npos);
  // The readable files around it are still listed, one after another.
  EXPECT_NE(out.s.find("a.dll"), std::string::npos);
  EXPECT_NE(out.s.find(" b.dll\n"), std::string::npos);

  StringSink one;
  files.missing = 99;
  std::vector<std::string> damaged = {"-odd-name.dll"};  // not an option
  EXPECT_EQ(RunCli(damaged, files, one), 0);
  EXPECT_NE(one.s.find("-odd-name.dll"), std::string::npos);

  StringSink v;
  std::vector<std::string> version = {"--version"};
  EXPECT_EQ(RunCli(version, files, v), 0);
  EXPECT_EQ(v.s.rfind("Kestrova Dump  Version 1.0.0.0", 0), 0u);
  StringSink none;
  EXPECT_EQ(RunCli({}, files, none), 1);
}

// The usage text and the README name every part the listing has: both are
// what a user reads to know what to search for.
TEST(Cli, UsageAndReadmeNameEveryPart) {
  FakeFiles files;
  StringSink help;
  std::vector<std::string> args = {"--help"};
  RunCli(args, files, help);
  std::string readme;
  std::FILE* f = std::fopen(KESTROVA_SOURCE_DIR "/README.md", "rb");
  ASSERT_NE(f, nullptr);
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) readme.append(buf, n);
  std::fclose(f);
  for (lang::Msg m : PartTitles()) {
    const std::string_view title = lang::Text(m, lang::Lang::En);
    EXPECT_NE(help.s.find(std::string(title)), std::string::npos) << title;
    EXPECT_NE(readme.find("`" + std::string(title) + "`"), std::string::npos) << title << " is not in the README";
  }
}

}  // namespace
}  // namespace kestrova::dumper::testing
