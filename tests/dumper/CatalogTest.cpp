// The message catalog as a whole, and the reader's language end to end: the
// choice of language, columns by display width, and lines wrapped to a width.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <string>

#include "dumper/Cli.h"
#include "dumper/lang/Lang.h"
#include "dumper/lang/catalog/All.h"
#include "dumper/lang/catalog/Cli.h"
#include "dumper/lang/catalog/Glance.h"
#include "dumper/print/text/TextPrinter.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

using lang::Lang;
using lang::Msg;
namespace M = lang::M;

std::multiset<std::string> Placeholders(std::string_view t) {
  std::multiset<std::string> r;
  for (std::size_t i = 0; i + 2 < t.size(); ++i)
    if (t[i] == '{' && t[i + 2] == '}' && t[i + 1] >= '0' && t[i + 1] <= '9') r.insert(std::string(t.substr(i, 3)));
  return r;
}

// Lower-case words of the format and its tools, which Chinese PE texts keep as they are.
const std::set<std::string, std::less<>> kKeptWords = {
    "stdcall", "cdecl", "fastcall", "thiscall", "ret", "tdump", "dlltool", "gendef", "lld", "ld",
    "binutils", "clang", "rustc", "kkrunchy", "druntime", "llvm", "jpackage", "apphost",  // tools by their own names
    "en", "zh",  // values of --lang
};

// The ASCII words of a Chinese text that are English words of ours: those that
// are all lower case and are neither an option (--json), a file name or
// extension (.def, version.dll) nor a word of the format kept above.
std::vector<std::string> EnglishWords(std::string_view t) {
  std::vector<std::string> r;
  for (std::size_t i = 0; i < t.size();) {
    if (!std::isalpha(static_cast<unsigned char>(t[i]))) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < t.size() && (std::isalnum(static_cast<unsigned char>(t[j])) || t[j] == '_')) ++j;
    const std::string_view w = t.substr(i, j - i);
    const char before = i > 0 ? t[i - 1] : ' ';
    const char after = j < t.size() ? t[j] : ' ';
    const bool lower = std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    const bool named = before == '-' || before == '.' || before == '/' || before == '_' || before == '@' ||
                       before == '$' || before == '\\' || after == '.' || after == '_' || after == '/' || after == '(';
    if (lower && w.size() >= 2 && !named && !kKeptWords.contains(w)) r.emplace_back(w);
    i = j;
  }
  return r;
}

struct Named {
  std::string_view id;
  lang::Msg m;
};
constexpr Named kNamed[] = {
#define MSG(Id, en, zh) {#Id, lang::M::Id},
#include "dumper/lang/Catalog.def"
#undef MSG
};

TEST(Catalog, EveryEntryHasBothTextsWithTheSamePlaceholdersAndNoEnglishLeft) {
  ASSERT_EQ(lang::All().size(), std::size(kNamed));
  for (const auto& [id, m] : kNamed) {
    const std::string_view en = lang::Text(m, Lang::En), zh = lang::Text(m, Lang::ZhCN);
    SCOPED_TRACE(std::string(id));
    EXPECT_FALSE(en.empty());
    EXPECT_FALSE(zh.empty());
    EXPECT_EQ(Placeholders(en), Placeholders(zh));
    const auto words = EnglishWords(zh);
    EXPECT_TRUE(words.empty()) << "English left in the Chinese text: " << words.front() << " in \"" << zh << "\"";
  }
}

// The Chinese listing of a program, a library with every kind of table, and a
// damaged library, beside their English goldens.
TEST(GoldenChinese, ProgramLibraryAndDamage) {
  Options zh;
  zh.lang = Lang::ZhCN;
  ExpectGolden("zh_pe32_program", DumpToString(Pe32Program().Build(), "prog.exe", zh));
  ExpectGolden("zh_pe32plus_library", DumpToString(Pe32PlusLibrary().Build(), "sample.dll", zh));
  PeBuilder pe = Pe32PlusLibrary();
  std::vector<std::uint8_t> f = pe.Build();
  const std::uint32_t dir = pe.dirs[0][0] - pe.sections[1].va + PeBuilder::kHeaders + 0x200;
  Put32(f, dir + 20, 0x40000000);  // NumberOfFunctions
  Put32(f, dir + 24, 0x40000000);  // NumberOfNames
  ExpectGolden("zh_damage_export_counts", DumpToString(f, "counts.dll", zh));
}

TEST(Catalog, ArgumentsFillTheirPlacesInEitherOrder) {
  EXPECT_EQ(lang::Say(Lang::En, M::GlPartAtLine, {"Exports", 1690}), "Exports line 1690");
  EXPECT_EQ(lang::Say(Lang::ZhCN, M::GlPartAtLine, {"导出表", 1690}), "导出表 第 1690 行");
  EXPECT_EQ(lang::Say(Lang::En, M::CliBadLang, {"fr"}), "tdump: unknown language \"fr\"; the languages are: \n");
}

TEST(Catalog, LanguageFromOptionEnvironmentAndLocale) {
  EXPECT_EQ(lang::Parse("zh"), Lang::ZhCN);
  EXPECT_EQ(lang::Parse("ZH-cn"), Lang::ZhCN);
  EXPECT_EQ(lang::Parse("en"), Lang::En);
  EXPECT_FALSE(lang::Parse("fr"));
  EXPECT_EQ(lang::Choose("", "zh_CN.UTF-8"), Lang::ZhCN);
  EXPECT_EQ(lang::Choose("", "zh-CN"), Lang::ZhCN);
  EXPECT_EQ(lang::Choose("en", "zh_CN.UTF-8"), Lang::En);       // KESTROVA_LANG first
  EXPECT_EQ(lang::Choose("klingon", "zh_CN.UTF-8"), Lang::ZhCN);  // an unknown value is passed over
  EXPECT_EQ(lang::Choose("", "C.UTF-8"), Lang::En);
  EXPECT_EQ(lang::Choose("", "zhx_YY"), Lang::En);
  EXPECT_EQ(lang::Choose("", ""), Lang::En);
}

TEST(Catalog, DisplayWidthCountsWideCharactersTwice) {
  EXPECT_EQ(lang::DisplayWidth("abc"), 3u);
  EXPECT_EQ(lang::DisplayWidth("导出表"), 6u);
  EXPECT_EQ(lang::DisplayWidth("（a）"), 5u);
  EXPECT_EQ(lang::DisplayWidth("\xff\xfe"), 2u);  // not UTF-8: a column a byte
}

class StringSink final : public Sink {
 public:
  void Write(std::string_view t) override { s.append(t); }
  std::string s;
};

std::string Lines(Lang l, std::size_t wrap, const std::function<void(print::Printer&)>& body) {
  StringSink sink;
  {
    print::TextPrinter o(sink, UINT64_MAX, l, wrap);
    body(o);
  }
  return sink.s;
}

TEST(Catalog, ValuesLineUpAndWrapUnderTheValueColumn) {
  // A Chinese label pads by display width: the value starts in the same column.
  const std::string zh = Lines(Lang::ZhCN, 0, [](print::Printer& o) {
    o.Label(M::GlEntryPoint, {}).Text("00001000");
    o.Nl();
  });
  EXPECT_EQ(lang::DisplayWidth(zh.substr(0, zh.find("00001000"))), print::kValueCol);

  // A long value goes on under the value column, broken between words or CJK characters.
  const std::string value =
      "GCC (compiler mark \"GCC: (GNU) 12-win32\" at file offset 0x6220), and a second sentence that runs on";
  const std::string en = Lines(Lang::En, 80, [&](print::Printer& o) {
    o.Label("Toolchain", {}).Text(value);
    o.Nl();
  });
  std::size_t lines = 0, at = 0;
  std::string joined;
  for (std::size_t nl; (nl = en.find('\n', at)) != std::string::npos; at = nl + 1, ++lines) {
    const std::string line = en.substr(at, nl - at);
    EXPECT_LE(line.size(), 80u) << line;
    if (lines > 0) {
      EXPECT_EQ(line.find_first_not_of(' '), print::kValueCol) << line;
      joined += ' ';
    }
    joined += line.substr(print::kValueCol);
  }
  EXPECT_EQ(lines, 3u);
  EXPECT_EQ(joined, value);  // nothing lost or doubled at the breaks

  const std::string cjk = Lines(Lang::ZhCN, 60, [](print::Printer& o) {
    o.Label(M::GlSigned, {}).Say(M::GlUnreadableSignature).Say(M::GlDigestDiffers);
    o.Nl();
  });
  std::size_t cjkLines = 0;
  for (std::size_t a = 0, nl; (nl = cjk.find('\n', a)) != std::string::npos; a = nl + 1, ++cjkLines) {
    EXPECT_LE(lang::DisplayWidth(cjk.substr(a, nl - a)), 60u);
    if (a != 0) {
      EXPECT_EQ(cjk.substr(a, print::kValueCol + 1).find_first_not_of(' '), print::kValueCol);
    }
  }
  EXPECT_GE(cjkLines, 3u);
}

TEST(Catalog, UnknownLanguageIsAnErrorThatNamesTheLanguages) {
  class NoFiles final : public FileSource {
   public:
    bool Read(std::size_t, std::vector<std::uint8_t>&, std::string&) override { return false; }
  } files;
  StringSink out;
  std::vector<std::string> args = {"--lang", "fr", "x.dll"};
  EXPECT_EQ(RunCli(args, files, out), 1);
  EXPECT_EQ(out.s, "tdump: unknown language \"fr\"; the languages are: en, zh-CN\n");
}

}  // namespace
}  // namespace kestrova::dumper::testing
