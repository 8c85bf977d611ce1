#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <string>

#include "FakePlatform.h"
#include "dumper/banner.h"
#include "ui/ErrorBox.h"
#include "ui/Skin.h"
#include "ui/Unit1.h"
#include "workflow/Error.h"
#include "workflow/Workflow.h"

using kestrova::ui::TForm1;

namespace {

std::wstring Text(HWND hwnd) {
  std::wstring t(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  t.resize(static_cast<size_t>(GetWindowTextW(hwnd, t.data(), static_cast<int>(t.size()))));
  return t;
}

RECT InParent(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  return cls;
}

LONG_PTR StyleOf(HWND hwnd) { return GetWindowLongPtrW(hwnd, GWL_STYLE); }

}  // namespace

class Form : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    kestrova::ui::skin::Reset();
    ASSERT_TRUE(kestrova::ui::skin::Apply(u"Onyx Blue", false));
    form_ = TForm1::Create(GetModuleHandleW(nullptr), kestrova::ui::LoadLayout(GetModuleHandleW(nullptr)),
                           platform_);
    form_->Show(SW_SHOWNORMAL);
  }
  void TearDown() override {
    form_.reset();
    kestrova::ui::skin::Reset();
  }
  HWND C(const char16_t* name) {
    HWND h = form_->Control(name);
    EXPECT_NE(h, nullptr);
    return h;
  }

  kestrova::test::FakePlatform platform_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(Form, FixedFrameExactClientAreaCentred) {
  HWND w = form_->Handle();
  EXPECT_EQ(ClassOf(w), L"TForm1");
  EXPECT_EQ(kestrova::ui::Form1, form_.get());
  RECT client;
  GetClientRect(w, &client);
  EXPECT_EQ(client.right, 746);
  EXPECT_EQ(client.bottom, 561);
  const auto style = StyleOf(w);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_EQ(GetWindow(w, GW_OWNER), nullptr);  // its own taskbar button
  RECT r;
  GetWindowRect(w, &r);
  EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
}

TEST_F(Form, ControlsStandWhereTheLayoutPutsThem) {
  struct Expect {
    const char16_t* name;
    const wchar_t* cls;
    const char16_t* parent;
    int left, top, width, height;
  };
  const Expect table[] = {
      {u"PageControl1", L"SysTabControl32", u"Form1", 0, 0, 746, 542},
      {u"GroupBox1", L"Button", u"TabSheet1", 0, 0, 738, 57},
      {u"Edit1", L"Edit", u"GroupBox1", 24, 22, 433, 20},
      {u"Button3", L"Button", u"GroupBox1", 473, 18, 75, 25},
      {u"Button1", L"Button", u"GroupBox1", 561, 18, 75, 25},
      {u"Button2", L"Button", u"GroupBox1", 650, 18, 75, 25},
      {u"GroupBox2", L"Button", u"TabSheet1", 0, 57, 738, 454},
      {u"Memo1", L"Edit", u"GroupBox2", 2, 14, 734, 438},
      {u"StatusBar1", L"msctls_statusbar32", u"Form1", 0, 542, 746, 19},
      {u"Edit_SoftVer", L"Edit", u"Form1", 450, 90, 121, 20},
  };
  for (const auto& e : table) {
    HWND h = C(e.name);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ClassOf(h), e.cls);
    EXPECT_EQ(GetParent(h), C(e.parent));
    const RECT r = InParent(h);
    EXPECT_EQ(r.left, e.left) << std::wstring(e.cls);
    EXPECT_EQ(r.top, e.top);
    EXPECT_EQ(r.right - r.left, e.width);
    EXPECT_EQ(r.bottom - r.top, e.height);
  }
  // Label2 keeps its place and width; its height grows to the wrapped text.
  const RECT label = InParent(C(u"Label2"));
  EXPECT_EQ(label.left, 152);
  EXPECT_EQ(label.top, 168);
  EXPECT_EQ(label.right - label.left, 441);
  EXPECT_GE(label.bottom - label.top, 24);
  // Both pages cover the same area of the page control.
  EXPECT_EQ(GetParent(C(u"TabSheet1")), C(u"PageControl1"));
  const RECT page1 = InParent(C(u"TabSheet1")), page2 = InParent(C(u"TabSheet2"));
  EXPECT_TRUE(EqualRect(&page1, &page2));
  EXPECT_EQ(page1.right - page1.left, 738);
}

TEST_F(Form, CaptionsTextsAndStartState) {
  const std::wstring title = L".Exe或.Dll文件结构函数、过程列表查看器";
  EXPECT_EQ(Text(form_->Handle()), title + L"1.0");
  EXPECT_EQ(kestrova::ui::SoftName, u"Kestrova");
  EXPECT_EQ(kestrova::ui::SoftTitle, u".Exe或.Dll文件结构函数、过程列表查看器");
  HWND tabs = C(u"PageControl1");
  ASSERT_EQ(TabCtrl_GetItemCount(tabs), 2);
  wchar_t text[128];
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = text;
  item.cchTextMax = 128;
  TabCtrl_GetItem(tabs, 0, &item);
  EXPECT_EQ(std::wstring(text), title);
  TabCtrl_GetItem(tabs, 1, &item);
  EXPECT_EQ(std::wstring(text), L"关于");
  EXPECT_TRUE(StyleOf(tabs) & TCS_BUTTONS);
  EXPECT_EQ(TabCtrl_GetCurSel(tabs), 0);
  EXPECT_TRUE(IsWindowVisible(C(u"TabSheet1")));
  EXPECT_FALSE(IsWindowVisible(C(u"TabSheet2")));

  EXPECT_EQ(Text(C(u"Button3")), L"浏览");
  EXPECT_EQ(Text(C(u"Button1")), L"分析");
  EXPECT_EQ(Text(C(u"Button2")), L"软件更新");
  EXPECT_FALSE(IsWindowEnabled(C(u"Button1")));
  EXPECT_TRUE(IsWindowEnabled(C(u"Button2")));
  EXPECT_TRUE(IsWindowEnabled(C(u"Button3")));
  EXPECT_FALSE(form_->AnalyzeEnabled());
  EXPECT_TRUE(form_->PollOn());

  HWND edit1 = C(u"Edit1");
  EXPECT_TRUE(StyleOf(edit1) & ES_READONLY);
  EXPECT_EQ(Text(edit1), L"");
  HWND memo = C(u"Memo1");
  const auto memoStyle = StyleOf(memo);
  EXPECT_TRUE(memoStyle & ES_MULTILINE);
  EXPECT_TRUE(memoStyle & WS_VSCROLL);
  EXPECT_FALSE(memoStyle & WS_HSCROLL);      // word wrap
  EXPECT_FALSE(memoStyle & ES_AUTOHSCROLL);  // word wrap
  EXPECT_FALSE(memoStyle & ES_READONLY);
  EXPECT_EQ(Text(memo), L"");
  EXPECT_GE(static_cast<unsigned long>(SendMessageW(memo, EM_GETLIMITTEXT, 0, 0)), 0x7FFFFFFEul);

  HWND ver = C(u"Edit_SoftVer");
  EXPECT_FALSE(IsWindowVisible(ver));
  EXPECT_EQ(Text(ver), L"1.0");

  HWND status = C(u"StatusBar1");
  EXPECT_EQ(SendMessageW(status, SB_GETPARTS, 0, 0), 1);
  wchar_t panel[256] = {};
  SendMessageW(status, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(panel));
  std::wstring expected = L"Tdump.exe 版本信息 ";
  for (char c : kestrova::dumper::kBanner) expected.push_back(static_cast<wchar_t>(c));
  EXPECT_EQ(std::wstring(panel), expected);
}

TEST_F(Form, TabOrderIsBrowseUpdateAnalyze) {
  HWND group = C(u"GroupBox1");
  std::vector<HWND> order;
  for (HWND c = GetWindow(group, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) order.push_back(c);
  const std::vector<HWND> expected = {C(u"Edit1"), C(u"Button3"), C(u"Button2"), C(u"Button1")};
  EXPECT_EQ(order, expected);
  // On the form: Edit_SoftVer (0), StatusBar1, PageControl1 (2).
  std::vector<HWND> top;
  for (HWND c = GetWindow(form_->Handle(), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) top.push_back(c);
  EXPECT_EQ(top, (std::vector<HWND>{C(u"Edit_SoftVer"), C(u"StatusBar1"), C(u"PageControl1")}));
  // Keyboard navigation from the path skips the disabled Analyze button.
  EXPECT_EQ(GetNextDlgTabItem(form_->Handle(), C(u"Button3"), FALSE), C(u"Button2"));
}

TEST_F(Form, StateLivesInTheControls) {
  form_->SetPathText(u"D:\\Work\\演示.dll");
  EXPECT_EQ(Text(C(u"Edit1")), L"D:\\Work\\演示.dll");
  EXPECT_EQ(form_->PathText(), u"D:\\Work\\演示.dll");
  form_->SetAnalyzeEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(C(u"Button1")));
  SetFocus(C(u"Button1"));
  form_->SetAnalyzeEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(C(u"Button1")));
  EXPECT_NE(GetFocus(), C(u"Button1"));  // the focus moved on
  form_->SetPollOn(false);
  EXPECT_FALSE(form_->PollOn());
  form_->SetPollOn(true);
  EXPECT_TRUE(form_->PollOn());
  form_->SetListingText(u"请稍候正在分析...\r\n");
  EXPECT_EQ(form_->ListingText(), u"请稍候正在分析...\r\n");
}

TEST_F(Form, UpdateButtonAsksTheShellOnceShownNormally) {
  SendMessageW(C(u"Button2"), BM_CLICK, 0, 0);
  SendMessageW(C(u"Button2"), BM_CLICK, 0, 0);
  ASSERT_EQ(platform_.opened.size(), 2u);
  EXPECT_EQ(platform_.opened[0], kestrova::workflow::UpdateAddress(u"Kestrova", u"1.0"));
  EXPECT_TRUE(platform_.lastParams.empty());
  EXPECT_EQ(platform_.lastShow, SW_SHOWNORMAL);
  EXPECT_FALSE(form_->AnalyzeEnabled());
}

TEST_F(Form, LargeListingFillsCompletelyAndKeepsMessagesFlowing) {
  std::u16string listing;
  for (int i = 0; listing.size() < 6u * 1024 * 1024; ++i) {
    const std::string n = std::to_string(i);
    listing += u"  Export " + std::u16string(n.begin(), n.end()) + u"  ordinal  name  mshtml_function_with_a_long_name\r\n";
  }
  // A message posted before the fill must be handled during it.
  static bool handled;
  handled = false;
  HWND probe = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  SetWindowLongPtrW(probe, GWLP_WNDPROC,
                    reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
                      if (m == WM_APP) handled = true;
                      return DefWindowProcW(h, m, w, l);
                    }));
  PostMessageW(probe, WM_APP, 0, 0);
  // Wall time depends on the machine's load; the thread's CPU time less so.
  auto cpu = [] {
    FILETIME c, e, k, u;
    GetThreadTimes(GetCurrentThread(), &c, &e, &k, &u);
    return (static_cast<unsigned long long>(u.dwHighDateTime) << 32 | u.dwLowDateTime) / 10000 +
           (static_cast<unsigned long long>(k.dwHighDateTime) << 32 | k.dwLowDateTime) / 10000;
  };
  const auto cpuStart = cpu();
  const auto start = std::chrono::steady_clock::now();
  form_->SetListingText(listing);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ figure ] %zu characters into the memo: %lld ms wall, %llu ms CPU\n", listing.size(),
              static_cast<long long>(ms), cpu() - cpuStart);
  EXPECT_TRUE(handled);
  EXPECT_EQ(form_->ListingText().size(), listing.size());
  EXPECT_TRUE(form_->ListingText() == listing);
  DestroyWindow(probe);
}

TEST_F(Form, ARefusedListingFailsWithTheMemoMessage) {
  HWND memo = C(u"Memo1");
  SendMessageW(memo, EM_SETLIMITTEXT, 300000, 0);  // stands in for the control's maximum
  std::u16string listing;
  while (listing.size() < 400000) listing += u"0001  00012345  SomeExportedFunction\r\n";
  try {
    form_->SetListingText(listing);
    FAIL() << "no failure";
  } catch (const kestrova::workflow::Error& e) {
    EXPECT_EQ(e.message(), u"Text exceeds memo capacity");
  }
  // Short text still goes in.
  form_->SetListingText(u"ok");
  EXPECT_EQ(form_->ListingText(), u"ok");
}

TEST_F(Form, ANewerListingDuringAFillWins) {
  // A text set while a long one is going in (a tick or a click handled
  // between its pieces) must not be followed by the rest of the old one.
  static TForm1* target;
  target = form_.get();
  HWND probe = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  SetWindowLongPtrW(probe, GWLP_WNDPROC,
                    reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
                      if (m == WM_APP) target->SetListingText(u"请稍候正在分析...\r\n");
                      return DefWindowProcW(h, m, w, l);
                    }));
  PostMessageW(probe, WM_APP, 0, 0);
  std::u16string listing;
  while (listing.size() < 1024 * 1024) listing += u"0001  00012345  SomeExportedFunction\r\n";
  form_->SetListingText(listing);
  EXPECT_EQ(form_->ListingText(), u"请稍候正在分析...\r\n");
  EXPECT_TRUE(StyleOf(C(u"Memo1")) & WS_VISIBLE);
  DestroyWindow(probe);
}

TEST_F(Form, LongLinesWrapAtBlanks) {
  HWND memo = C(u"Memo1");
  std::u16string line;
  for (int i = 0; i < 40; ++i) line += u"word" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u"   ";
  form_->SetListingText(line + u"\r\nnext\r\n");
  ASSERT_GT(SendMessageW(memo, EM_GETLINECOUNT, 0, 0), 3);
  // Every wrapped row starts a word: the character before it is a blank.
  const auto second = static_cast<size_t>(SendMessageW(memo, EM_LINEINDEX, 1, 0));
  ASSERT_GT(second, 0u);
  ASSERT_LT(second, line.size());
  EXPECT_EQ(line[second - 1], u' ');
  EXPECT_NE(line[second], u' ');
}
