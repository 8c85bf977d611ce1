// The window's ways in and out that need no outside program: a drop, a
// hand-over from another copy, the search and the saved file's bytes.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "DialogWatch.h"
#include "FakePlatform.h"
#include "ui/ErrorBox.h"
#include "ui/Find.h"
#include "ui/Save.h"
#include "ui/Skin.h"
#include "ui/Unit1.h"
#include "workflow/Error.h"

using kestrova::ui::TForm1;

namespace {

constexpr wchar_t kTitle[] = L".Exe或.Dll文件结构函数、过程列表查看器";

std::wstring TempDir() {
  wchar_t buf[MAX_PATH];
  GetTempPathW(MAX_PATH, buf);
  std::wstring dir = std::wstring(buf) + L"kestrova-ways-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

// A drop as the shell makes it: DROPFILES, then the wide names, NUL-separated.
HDROP MakeDrop(const std::vector<std::wstring>& files) {
  std::wstring list;
  for (const auto& f : files) list += f + L'\0';
  list += L'\0';
  HGLOBAL mem = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  auto* df = static_cast<DROPFILES*>(GlobalLock(mem));
  df->pFiles = sizeof(DROPFILES);
  df->fWide = TRUE;
  memcpy(reinterpret_cast<char*>(df) + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
  GlobalUnlock(mem);
  return static_cast<HDROP>(mem);
}

std::string Read(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string bytes(GetFileSize(h, nullptr), '\0');
  DWORD got = 0;
  ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(h);
  return bytes;
}

void Write(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
  CloseHandle(h);
}

}  // namespace

class WaysIn : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    kestrova::ui::SetApplicationTitle(reinterpret_cast<const char16_t*>(kTitle));
    form_ = TForm1::Create(GetModuleHandleW(nullptr), kestrova::ui::LoadLayout(GetModuleHandleW(nullptr)),
                           platform_);
    form_->Show(SW_SHOWNORMAL);
    dir_ = TempDir();
    file_ = dir_ + L"数据 & (1).dll";
    Write(file_, "MZ");
  }
  void TearDown() override {
    form_.reset();
    DeleteFileW(file_.c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  kestrova::test::FakePlatform platform_;
  std::unique_ptr<TForm1> form_;
  std::wstring dir_, file_;
};

// The fake platform cannot make a work area, so staging fails after the path
// is taken; what matters here is which path was taken, and when none is.
TEST_F(WaysIn, ADropTakesTheFirstFileAndIgnoresTheRest) {
  kestrova::test::DialogWatch staging(kTitle);
  SendMessageW(form_->Handle(), WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({dir_, file_, L"C:\\windows\\notepad.exe"})), 0);
  EXPECT_TRUE(staging.Result().found);
  EXPECT_EQ(form_->PathText(), U(file_));
}

TEST_F(WaysIn, AFolderAloneGivesTheErrorBoxAndStagesNothing) {
  kestrova::test::DialogWatch box(kTitle);
  SendMessageW(form_->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({dir_})), 0);
  ASSERT_TRUE(box.Result().found);
  EXPECT_TRUE(box.Result().Shows(L"Cannot open file \"" + dir_ + L"\"."));
  EXPECT_EQ(form_->PathText(), u"");
  EXPECT_FALSE(form_->AnalyzeEnabled());
}

TEST_F(WaysIn, AnotherCopysPathOpensFromTheMessageLoop) {
  const std::u16string path = U(file_);
  COPYDATASTRUCT data{0x4B53544F, static_cast<DWORD>((path.size() + 1) * 2), const_cast<char16_t*>(path.c_str())};
  EXPECT_EQ(SendMessageW(form_->Handle(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), TRUE);
  EXPECT_EQ(form_->PathText(), u"") << "opened inside the sender's wait";
  // Anything else sent this way is not ours.
  COPYDATASTRUCT other{1, data.cbData, data.lpData};
  EXPECT_EQ(SendMessageW(form_->Handle(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&other)), FALSE);
  kestrova::test::DialogWatch staging(kTitle);
  form_->ProcessPendingMessages();
  EXPECT_TRUE(staging.Result().found);
  EXPECT_EQ(form_->PathText(), path);
}

TEST(FindIn, DirectionCaseAndWholeWords) {
  using kestrova::ui::FindIn;
  const std::wstring_view text = L"GetProcAddress getprocaddress GetProcAddressEx _GetProcAddress";
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 0, true, true, false), 0u);
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 1, true, true, false), 30u);
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 1, true, false, false), 15u);
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 1, true, true, true), std::wstring_view::npos);
  EXPECT_EQ(FindIn(text, L"getprocaddress", 16, false, false, false), 15u);
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 15, false, true, true), 0u);
  EXPECT_EQ(FindIn(text, L"GetProcAddress", 0, false, false, false), std::wstring_view::npos);
  EXPECT_EQ(FindIn(text, L"", 0, true, false, false), std::wstring_view::npos);
}

TEST(SavedListing, BomUtf8AndCrLfWrittenOverTheOldFile) {
  EXPECT_EQ(kestrova::ui::ListingBytes(u"a\r\nb\nc\rd 数据\r\n"),
            "\xEF\xBB\xBF" "a\r\nb\r\nc\r\nd \xE6\x95\xB0\xE6\x8D\xAE\r\n");
  const std::wstring dir = TempDir();
  const std::wstring target = dir + L"version.dll.txt";
  Write(target, "old");
  kestrova::ui::WriteListingFile(U(target), u"new\r\n");
  EXPECT_EQ(Read(target), "\xEF\xBB\xBFnew\r\n");
  // A folder that does not exist: the reason, and nothing written anywhere.
  const std::wstring missing = dir + L"no such folder\\x.txt";
  try {
    kestrova::ui::WriteListingFile(U(missing), u"x");
    ADD_FAILURE() << "no failure";
  } catch (const kestrova::workflow::Error& e) {
    EXPECT_EQ(e.message().rfind(u"Cannot create file \"" + U(missing) + u"\". ", 0), 0u);
  }
  DeleteFileW(target.c_str());
  EXPECT_TRUE(RemoveDirectoryW(dir.c_str())) << "something was left in the folder";
}
