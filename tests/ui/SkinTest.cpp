#include <gtest/gtest.h>
#include <windows.h>

#include "DialogWatch.h"
#include "ui/Skin.h"

namespace skin = kestrova::ui::skin;

class Skin : public ::testing::Test {
 protected:
  void SetUp() override { skin::Reset(); }
  void TearDown() override { skin::Reset(); }
};

TEST_F(Skin, RegistersTheCarriedStylesAndSkipsADamagedOne) {
  kestrova::ui::StyleRegistry registry(skin::SameStyleName);
  // This module carries ONYXBLUE and BROKEN, which lacks most colours.
  EXPECT_EQ(skin::LoadStyles(GetModuleHandleW(nullptr), registry), 1u);
  EXPECT_NE(registry.Find(u"Onyx Blue"), nullptr);
  EXPECT_EQ(registry.Find(u"Half Done"), nullptr);
}

TEST_F(Skin, AppliesByNameWithoutRegardToCase) {
  EXPECT_EQ(skin::Active(), nullptr);
  ASSERT_TRUE(skin::Apply(u"oNYX bLUE", true));
  ASSERT_NE(skin::Active(), nullptr);
  EXPECT_EQ(skin::Active()->name, u"Onyx Blue");
}

TEST_F(Skin, UnknownNameShowsTheDialogAndKeepsTheSystemLook) {
  kestrova::test::DialogWatch watch(L"Error", L"&Close");
  EXPECT_FALSE(skin::Apply(u"Onyx Green", true));
  const auto& seen = watch.Result();
  ASSERT_TRUE(seen.found);
  EXPECT_TRUE(seen.Shows(L"Style 'Onyx Green' not found"));
  EXPECT_EQ(seen.buttons, std::vector<std::wstring>{L"&Close"});
  EXPECT_EQ(skin::Active(), nullptr);
}

TEST_F(Skin, NotFoundDialogWithoutTaskDialogLooksTheSame) {
  kestrova::test::DialogWatch watch(L"Error", L"&Close");
  skin::ReportStyleNotFound(nullptr, u"Onyx Blue", false);
  const auto& seen = watch.Result();
  ASSERT_TRUE(seen.found);
  EXPECT_TRUE(seen.Shows(L"Style 'Onyx Blue' not found"));
  EXPECT_TRUE(seen.hasErrorIcon);
  EXPECT_EQ(seen.buttons, std::vector<std::wstring>{L"&Close"});
}

TEST_F(Skin, ButtonFacesFollowTheirState) {
  ASSERT_TRUE(skin::Apply(u"Onyx Blue", false));
  const auto& s = *skin::Active();
  HWND button = CreateWindowExW(0, L"Button", L"分析", WS_POPUP | BS_OWNERDRAW, 0, 0, 75, 25, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(button, nullptr);
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 75, 25);
  HGDIOBJ old = SelectObject(dc, bmp);
  auto draw = [&](UINT state, bool hot) {
    DRAWITEMSTRUCT di{};
    di.CtlType = ODT_BUTTON;
    di.hwndItem = button;
    di.hDC = dc;
    di.rcItem = {0, 0, 75, 25};
    di.itemState = state;
    skin::DrawButton(s, di, hot);
    return std::pair{GetPixel(dc, 4, 4), GetPixel(dc, 1, 1)};  // face, inner frame
  };
  EXPECT_EQ(draw(0, false).first, s.button);
  EXPECT_EQ(draw(0, true).first, s.buttonHot);
  EXPECT_EQ(draw(ODS_SELECTED, true).first, s.buttonPressed);
  EXPECT_EQ(draw(ODS_DISABLED, true).first, s.buttonDisabled);
  // Focus: a second ring in the focus colour; without focus the face starts there.
  EXPECT_EQ(draw(ODS_FOCUS, false).second, s.focus);
  EXPECT_EQ(draw(0, false).second, s.button);
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  DestroyWindow(button);
}
