#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "DialogWatch.h"
#include "ui/ErrorBox.h"
#include "ui/Skin.h"
#include "workflow/Error.h"

using kestrova::ui::ErrorBoxText;

TEST(ErrorBoxText, AppendsAPeriodOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(ErrorBoxText(u"Text exceeds memo capacity"), u"Text exceeds memo capacity.");
  EXPECT_EQ(ErrorBoxText(u"Done."), u"Done.");
  EXPECT_EQ(ErrorBoxText(u""), u"");
  // "!" (33) and "-" (45) lie below "." (46); "/" (47) and CJK above.
  EXPECT_EQ(ErrorBoxText(u"Stop!"), u"Stop!");
  EXPECT_EQ(ErrorBoxText(u"a -"), u"a -");
  EXPECT_EQ(ErrorBoxText(u"C:/"), u"C:/.");
  EXPECT_EQ(ErrorBoxText(u"找不到文件"), u"找不到文件.");
  EXPECT_EQ(ErrorBoxText(u"line\r\n"), u"line\r\n");
}

class ErrorBox : public ::testing::Test {
 protected:
  void SetUp() override {
    kestrova::ui::SetApplicationTitle(u".Exe或.Dll文件结构函数、过程列表查看器");
  }
  void TearDown() override { kestrova::ui::skin::Reset(); }
};

TEST_F(ErrorBox, ShowsTitleTextAndOneButtonPlainAndSkinned) {
  for (bool skinned : {false, true}) {
    kestrova::ui::skin::Reset();
    if (skinned) {
      ASSERT_TRUE(kestrova::ui::skin::Apply(u"Onyx Blue", false));
    }
    kestrova::test::DialogWatch watch(L".Exe或.Dll文件结构函数、过程列表查看器");
    kestrova::ui::ShowErrorBox(nullptr, u"Cannot open file \"x\". Access denied");
    const auto& seen = watch.Result();
    ASSERT_TRUE(seen.found) << skinned;
    EXPECT_TRUE(seen.Shows(L"Cannot open file \"x\". Access denied.")) << skinned;
    EXPECT_TRUE(seen.hasErrorIcon);
    EXPECT_EQ(seen.buttons.size(), 1u);
    // The skin draws the box's buttons itself.
    EXPECT_EQ(seen.ownerDrawButtons, skinned ? 1 : 0);
  }
}

TEST_F(ErrorBox, GuardedTurnsEveryExceptionIntoTheBox) {
  struct Case {
    std::function<void()> raise;
    std::wstring shown;
  };
  const Case cases[] = {
      {[] { throw kestrova::workflow::Error(u"Resource tdump not found"); }, L"Resource tdump not found."},
      {[] { throw std::runtime_error("layout line 3: bad width"); }, L"layout line 3: bad width."},
      {[] { throw 42; }, L"Unexpected failure."},
  };
  for (const auto& c : cases) {
    kestrova::test::DialogWatch watch(L".Exe或.Dll文件结构函数、过程列表查看器");
    bool after = false;
    kestrova::ui::Guarded(nullptr, [&] {
      c.raise();
      after = true;
    });
    EXPECT_FALSE(after);
    EXPECT_TRUE(watch.Result().Shows(c.shown)) << std::string(c.shown.begin(), c.shown.end());
  }
}
