#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include "DialogWatch.h"
#include "FakePlatform.h"
#include "ui/Skin.h"
#include "ui/Unit1.h"

// This executable carries no "VCLSTYLE" resource, as a program whose style
// went missing would.
TEST(NoStyle, StartUpReportsTheStyleAndTheWindowStillComesUp) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  kestrova::test::DialogWatch watch(L"Error", L"&Close");
  EXPECT_FALSE(kestrova::ui::skin::Apply(u"Onyx Blue", true));
  const auto& seen = watch.Result();
  ASSERT_TRUE(seen.found);
  EXPECT_TRUE(seen.Shows(L"Style 'Onyx Blue' not found"));
  EXPECT_EQ(seen.buttons, std::vector<std::wstring>{L"&Close"});
  EXPECT_EQ(kestrova::ui::skin::Active(), nullptr);

  kestrova::test::FakePlatform platform;
  auto form = kestrova::ui::TForm1::Create(GetModuleHandleW(nullptr),
                                           kestrova::ui::LoadLayout(GetModuleHandleW(nullptr)), platform);
  form->Show(SW_SHOWNORMAL);
  EXPECT_TRUE(IsWindowVisible(form->Handle()));
  // The system's look: ordinary push buttons and tabs the control draws itself.
  const auto buttonStyle = GetWindowLongPtrW(form->Control(u"Button3"), GWL_STYLE) & BS_TYPEMASK;
  EXPECT_EQ(buttonStyle, BS_PUSHBUTTON);
  EXPECT_FALSE(GetWindowLongPtrW(form->Control(u"PageControl1"), GWL_STYLE) & TCS_OWNERDRAWFIXED);
  RECT client;
  GetClientRect(form->Handle(), &client);
  EXPECT_EQ(client.right, 746);
  EXPECT_EQ(client.bottom, 561);
}
