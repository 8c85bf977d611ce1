#include <gtest/gtest.h>
#include <windows.h>

#include "ui/Skin.h"
#include "ui/Style.h"

using kestrova::ui::ParseStyle;
using kestrova::ui::Style;
using kestrova::ui::StyleError;
using kestrova::ui::StyleRegistry;

namespace {

std::string Carried() {
  HRSRC res = FindResourceW(nullptr, L"ONYXBLUE", L"VCLSTYLE");
  HGLOBAL data = LoadResource(nullptr, res);
  return std::string(static_cast<const char*>(LockResource(data)), SizeofResource(nullptr, res));
}

std::string Without(const std::string& text, const std::string& key) {
  const auto at = text.find("\n" + key + " ");
  const auto end = text.find('\n', at + 1);
  return text.substr(0, at) + text.substr(end);
}

}  // namespace

TEST(Style, CarriedStyleIsOnyxBlueWithReadableContrast) {
  const Style s = ParseStyle(Carried());
  EXPECT_EQ(s.name, u"Onyx Blue");
  // Normal text at least 4.5:1, the disabled caption and the frames visible.
  EXPECT_GE(kestrova::ui::Contrast(s.faceText, s.face), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.editText, s.edit), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.editText, s.editReadOnly), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.buttonText, s.button), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.buttonText, s.buttonHot), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.buttonText, s.buttonPressed), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.tabText, s.tab), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.tabSelectedText, s.tabSelected), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.statusText, s.status), 4.5);
  EXPECT_GE(kestrova::ui::Contrast(s.buttonDisabledText, s.buttonDisabled), 2.0);
  EXPECT_GE(kestrova::ui::Contrast(s.focus, s.button), 3.0);
  EXPECT_GE(kestrova::ui::Contrast(s.focus, s.face), 3.0);
  // A dark scheme: the face is darker than its text.
  EXPECT_LT(kestrova::ui::Contrast(s.face, 0x000000), kestrova::ui::Contrast(s.faceText, 0x000000));
}

TEST(Style, ColoursAreStoredAsColorref) {
  const Style s = ParseStyle(Without(Carried(), "face") + "\nface = #102030\n");
  EXPECT_EQ(s.face, RGB(0x10, 0x20, 0x30));
}

TEST(Style, IncompleteOrMalformedStylesAreRejected) {
  const std::string good = Carried();
  EXPECT_THROW(ParseStyle(Without(good, "status_text")), StyleError);     // a colour missing
  EXPECT_THROW(ParseStyle(good + "face = #000000\n"), StyleError);        // given twice
  EXPECT_THROW(ParseStyle(good + "sparkle = #000000\n"), StyleError);     // unknown key
  EXPECT_THROW(ParseStyle(Without(good, "format =")), StyleError);        // not a style
  EXPECT_THROW(ParseStyle(Without(good, "name =") + "name = \"\"\n"), StyleError);
  std::string bad = good;
  bad.replace(bad.find("#1F2833"), 7, "#1F28G3");
  EXPECT_THROW(ParseStyle(bad), StyleError);
  bad = good;
  bad.replace(bad.find("#1F2833"), 7, "1F2833");
  EXPECT_THROW(ParseStyle(bad), StyleError);
}

TEST(StyleRegistry, MatchesByLocaleRulesWithoutCase) {
  StyleRegistry registry(kestrova::ui::skin::SameStyleName);
  Style a;
  a.name = u"Onyx Blue";
  a.face = 1;
  registry.Register(a);
  EXPECT_NE(registry.Find(u"onyx blue"), nullptr);
  EXPECT_NE(registry.Find(u"ONYX BLUE"), nullptr);
  EXPECT_EQ(registry.Find(u"Onyx  Blue"), nullptr);
  EXPECT_EQ(registry.Find(u"Onyx Blu"), nullptr);
  EXPECT_EQ(registry.Find(u""), nullptr);
  // Not only ASCII: the locale's case rules apply.
  Style g;
  g.name = u"Ärger Ω";
  registry.Register(g);
  EXPECT_NE(registry.Find(u"äRGER ω"), nullptr);
  // The same name again replaces the first.
  a.name = u"ONYX BLUE";
  a.face = 2;
  registry.Register(a);
  EXPECT_EQ(registry.size(), 2u);
  EXPECT_EQ(registry.Find(u"Onyx Blue")->face, 2u);
}
