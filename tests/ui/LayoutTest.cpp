#include <gtest/gtest.h>
#include <windows.h>

#include "ui/Layout.h"
#include "ui/Unit1.h"

using kestrova::ui::FormLayout;
using kestrova::ui::LayoutError;
using kestrova::ui::ParseLayout;

namespace {

int ErrorLine(const char* text) {
  try {
    ParseLayout(text);
  } catch (const LayoutError& e) {
    return e.line();
  }
  return 0;
}

constexpr char kForm[] = "Form1 | form | - | 0 0 100 50 | 0 | font=\"宋体\" fontheight=-12 |\n";

}  // namespace

TEST(Layout, CarriedResourceParsesParentFirst) {
  const FormLayout layout = kestrova::ui::LoadLayout(GetModuleHandleW(nullptr));
  EXPECT_EQ(layout.form.name, u"Form1");
  EXPECT_EQ(layout.form.width, 746);
  EXPECT_EQ(layout.form.height, 561);
  EXPECT_EQ(layout.form.Option(u"font"), u"宋体");
  EXPECT_EQ(layout.form.Option(u"fontheight"), u"-12");
  ASSERT_EQ(layout.controls.size(), 13u);
  // Every parent is defined before its children.
  for (size_t i = 0; i < layout.controls.size(); ++i) {
    const auto& c = layout.controls[i];
    bool before = c.parent == u"Form1";
    for (size_t j = 0; j < i; ++j) before = before || layout.controls[j].name == c.parent;
    EXPECT_TRUE(before) << i;
  }
  const auto* status = layout.Find(u"StatusBar1");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text, u"Tdump.exe 版本信息 ");  // the trailing blank survives
  EXPECT_EQ(layout.Find(u"Label2")->text.substr(0, 14), u"Delphi工具之TDUMP");
}

TEST(Layout, QuotedTextKeepsBarsQuotesAndBackslashes) {
  const auto layout = ParseLayout(std::string(kForm) +
                                  "B | button | Form1 | 1 2 3 4 | 5 | disabled tip=\"a b\" | \"x | \\\"y\\\" \\\\ z\"\n");
  const auto& b = layout.controls.at(0);
  EXPECT_EQ(b.text, u"x | \"y\" \\ z");
  EXPECT_EQ(b.left, 1);
  EXPECT_EQ(b.height, 4);
  EXPECT_EQ(b.tabOrder, 5);
  EXPECT_TRUE(b.Has(u"disabled"));
  EXPECT_EQ(b.Option(u"tip"), u"a b");
  EXPECT_EQ(b.Option(u"missing", u"dflt"), u"dflt");
}

TEST(Layout, CrlfCommentsAndBomAreAccepted) {
  const auto layout =
      ParseLayout("\xEF\xBB\xBF# comment\r\n\r\n" + std::string(kForm) + "E | edit | Form1 | 0 0 1 1 | 0 | |\r\n");
  EXPECT_EQ(layout.controls.at(0).name, u"E");
  EXPECT_TRUE(layout.controls.at(0).text.empty());
}

TEST(Layout, BadRecordsNameTheirLine) {
  const std::string f = kForm;
  EXPECT_EQ(ErrorLine((f + "A | edit | Form1 | 0 0 1 | 0 | |\n").c_str()), 2);          // three numbers
  EXPECT_EQ(ErrorLine((f + "A | edit | Form1 | 0 0 1 x | 0 | |\n").c_str()), 2);        // not a number
  EXPECT_EQ(ErrorLine((f + "A | edit | Form1 | 0 0 -1 1 | 0 | |\n").c_str()), 2);       // negative size
  EXPECT_EQ(ErrorLine((f + "A | edit | Nowhere | 0 0 1 1 | 0 | |\n").c_str()), 2);      // unknown parent
  EXPECT_EQ(ErrorLine((f + "A | edit | Form1 | 0 0 1 1 | 0 | |\nA | edit | Form1 | 0 0 1 1 | 0 | |\n").c_str()), 3);
  EXPECT_EQ(ErrorLine((f + "A | combo | Form1 | 0 0 1 1 | 0 | |\n").c_str()), 2);       // unknown kind
  EXPECT_EQ(ErrorLine((f + "A | page | Form1 | 0 0 1 1 | 0 | |\n").c_str()), 2);        // page outside tabs
  EXPECT_EQ(ErrorLine((f + "A | label | Form1 | 0 0 1 1 | 0 | | \"open\n").c_str()), 2);  // unterminated
  EXPECT_EQ(ErrorLine((f + "A | label | Form1 | 0 0 1 1 | 0 | | bare\n").c_str()), 2);   // unquoted text
  EXPECT_EQ(ErrorLine((f + "A | label | Form1 | 0 0 1 1 | 0 | x x |\n").c_str()), 2);    // option twice
  EXPECT_EQ(ErrorLine((f + "A | label | Form1 | 0 0 1 1 | 0 | | \"\xC3\x28\"\n").c_str()), 2);  // bad UTF-8
  EXPECT_EQ(ErrorLine("E | edit | Form1 | 0 0 1 1 | 0 | |\n"), 1);                        // no form first
  EXPECT_EQ(ErrorLine((f + f).c_str()), 2);                                               // second form
  EXPECT_THROW(ParseLayout("# nothing\n"), LayoutError);
}

TEST(Utf8, DecodesAndRejectsMalformedInput) {
  using kestrova::ui::Utf8ToUtf16;
  EXPECT_EQ(Utf8ToUtf16("a\xE5\xAE\x8B\xF0\x9F\x98\x80"), u"a宋\U0001F600");
  EXPECT_THROW(Utf8ToUtf16("\xC0\xAF"), std::invalid_argument);      // overlong
  EXPECT_THROW(Utf8ToUtf16("\xED\xA0\x80"), std::invalid_argument);  // surrogate
  EXPECT_THROW(Utf8ToUtf16("\xE5\xAE"), std::invalid_argument);      // truncated
  EXPECT_THROW(Utf8ToUtf16("\xF4\x90\x80\x80"), std::invalid_argument);  // beyond U+10FFFF
}
