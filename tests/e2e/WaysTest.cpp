// Kestrova.exe's ways in and out, from outside: a file on the command line,
// a second start handing its file to the first, Find and Save.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "dumper/banner.h"
#include "tests/e2e/Harness.h"

namespace kestrova::e2e {
namespace {

const std::wstring kVersionDll = L"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll";

// A name that cmd would misread, outside ASCII too.
const std::wstring kTrickyName = L"a&b ^(数据) 100%!.dll";

std::string VersionDll() { return ReadBytes(ToWindowsPath(kVersionDll)).value_or(""); }

std::optional<std::wstring> Expected(const std::wstring& dir, const std::wstring& name, HWND memo) {
  std::string why;
  auto listing = ExpectedListing(dir, name, memo, &why);
  EXPECT_TRUE(listing.has_value()) << why;
  return listing;
}

std::string Utf8(const std::wstring& s) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The Find dialog: the one dialog the window owns.
HWND WaitOwnedDialog(Kestrova& k) {
  HWND dlg = nullptr;
  WaitUntil(Ms(15000), [&] {
    for (HWND w : TopWindows(k.process().pid(), L"#32770"))
      if (GetWindow(w, GW_OWNER) == k.c().form) dlg = w;
    return dlg != nullptr;
  });
  return dlg;
}

}  // namespace

TEST(WaysIn, ATrickyRelativeNameOnTheCommandLine) {
  Scratch scratch("cmdline");
  const std::wstring files = scratch.Dir(L"files");
  ASSERT_TRUE(WriteBytes(files + kTrickyName, VersionDll()));
  Kestrova k(scratch);
  // Relative to the program's directory, which the harness starts it in;
  // what follows the file is ignored.
  ASSERT_EQ(k.Start(L"\"..\\files\\" + kTrickyName + L"\" extra"), "");
  auto listing = k.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value()) << "no listing; memo: " << Narrow(TextOf(k.c().memo).substr(0, 200));
  EXPECT_TRUE(TextOf(k.c().edit1) == files + kTrickyName) << Narrow(TextOf(k.c().edit1));
  auto expected = Expected(files, kTrickyName, k.c().memo);
  ASSERT_TRUE(expected.has_value());
  EXPECT_TRUE(*listing == *expected) << "the memo is not the tool's listing of the file";
}

TEST(WaysIn, ASecondStartHandsItsFileToTheFirst) {
  Scratch scratch("handover");
  const std::wstring files = scratch.Dir(L"files");
  const std::wstring chosen = files + L"version.dll";
  ASSERT_TRUE(WriteBytes(chosen, VersionDll()));
  Kestrova first(scratch);
  ASSERT_EQ(first.Start(), "");
  Kestrova second(scratch);
  second.Launch(L"\"" + chosen + L"\"");
  bool sawWindow = false;
  EXPECT_TRUE(WaitUntil(Ms(30000), [&] {
    if (!TopWindows(second.process().pid(), L"").empty()) sawWindow = true;
    return !second.process().Running();
  }, Ms(2))) << "the second copy still runs";
  EXPECT_FALSE(sawWindow) << "the second copy showed a window";
  auto listing = first.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value()) << "the first window shows no listing";
  EXPECT_TRUE(TextOf(first.c().edit1) == chosen);
  auto expected = Expected(files, L"version.dll", first.c().memo);
  ASSERT_TRUE(expected.has_value());
  EXPECT_TRUE(*listing == *expected);
}

TEST(Find, CtrlFFindsNearTheEndF3TheNextAndSaysWhatIsNotThere) {
  Scratch scratch("find");
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(), "");
  // A listing of about 3 M characters with one name twice near its end.
  std::wstring text;
  for (int i = 0; text.size() < 3000000; ++i) {
    wchar_t line[80];
    std::swprintf(line, 80, L"  %6d  %08X  Export_%06d_Entry\r\n", i, 0x1000 + i * 16, i);
    text += line;
  }
  const size_t first = text.size() - 4000, second = text.size() - 400;
  text.insert(second, L"NearTheEnd ");
  text.insert(first, L"NearTheEnd ");
  // Too long for a message between processes: it goes in by the clipboard.
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
  memcpy(GlobalLock(mem), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(mem);
  SetClipboardData(CF_UNICODETEXT, mem);
  CloseClipboard();
  SendBounded(k.c().memo, WM_PASTE, 0, 0, nullptr, Ms(120000));
  ASSERT_TRUE(WaitUntil(Ms(120000), [&] {
    DWORD_PTR len = 0;
    return SendBounded(k.c().memo, WM_GETTEXTLENGTH, 0, 0, &len, Ms(10000)) && len == text.size();
  })) << "the long text did not reach the memo";
  SendBounded(k.c().memo, EM_SETSEL, 0, 0, nullptr, Ms(10000));

  ASSERT_TRUE(PressKey(k.c().memo, 'F', true));
  HWND dlg = WaitOwnedDialog(k);
  ASSERT_NE(dlg, nullptr) << "Ctrl+F showed no Find dialog";
  HWND what = GetDlgItem(dlg, 0x480);  // edt1
  ASSERT_NE(what, nullptr);
  const std::wstring name = L"NearTheEnd";
  SendBounded(what, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()), nullptr, Ms(5000));
  // The step's own time: the click returns once the search has run.
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(SendBounded(GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0, nullptr, Ms(30000)));
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("[ figure ] one Find step over %zu characters: %.0f ms\n", text.size(), ms);
  EXPECT_LT(ms, 1000) << "a step over the long listing";
  // EM_GETSEL's result holds the ends' low 16 bits; the line settles the rest.
  auto selectionIs = [&](size_t at) {
    DWORD_PTR sel = 0;
    SendBounded(k.c().memo, EM_GETSEL, 0, 0, &sel, Ms(10000));
    return LOWORD(sel) == (at & 0xFFFF) && HIWORD(sel) == ((at + name.size()) & 0xFFFF);
  };
  EXPECT_TRUE(selectionIs(first)) << "the selection is the first match";
  DWORD_PTR line = 0;
  SendBounded(k.c().memo, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0, &line, Ms(10000));
  DWORD_PTR firstLine = 0, secondLine = 0;
  SendBounded(k.c().memo, EM_LINEFROMCHAR, first, 0, &firstLine, Ms(10000));
  SendBounded(k.c().memo, EM_LINEFROMCHAR, second + name.size() + 1, 0, &secondLine, Ms(10000));
  EXPECT_EQ(line, firstLine) << "the first match is selected";

  ASSERT_TRUE(PressKey(k.c().memo, VK_F3));
  EXPECT_TRUE(WaitUntil(Ms(15000), [&] {
    SendBounded(k.c().memo, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0, &line, Ms(10000));
    return line == secondLine;
  })) << "F3 went on to the second match";
  EXPECT_TRUE(selectionIs(second + name.size() + 1));

  const std::wstring missing = L"NoSuchNameAnywhere";
  SendBounded(what, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(missing.c_str()), nullptr, Ms(5000));
  PostMessageW(GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0);
  HWND box = k.WaitBox(kTitle, Ms(15000));
  ASSERT_NE(box, nullptr) << "no message for a name that is not there";
  EXPECT_TRUE(ReadBox(box).text == L"找不到“" + missing + L"”。") << Narrow(ReadBox(box).text);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST(Save, CtrlSWritesTheMemoAsUtf8AndAMissingFolderFails) {
  Scratch scratch("save");
  const std::wstring files = scratch.Dir(L"files");
  const std::wstring chosen = files + L"version.dll";
  ASSERT_TRUE(WriteBytes(chosen, VersionDll()));
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(L"\"" + chosen + L"\""), "");
  auto listing = k.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value());

  const std::wstring out = scratch.Dir(L"out");
  ASSERT_TRUE(PressKey(k.c().memo, 'S', true));
  std::wstring proposed;
  ASSERT_EQ(k.AnswerFileDialog(out + L"保存.txt", &proposed), "");
  EXPECT_TRUE(proposed == L"version.dll.txt") << Narrow(proposed);
  ASSERT_TRUE(WaitUntil(Ms(15000), [&] { return ListDir(out).size() == 1; }));
  EXPECT_TRUE(WaitUntil(Ms(15000), [&] {
    return ReadBytes(out + L"保存.txt") == std::optional<std::string>("\xEF\xBB\xBF" + Utf8(*listing));
  })) << "the file is not the BOM and the memo's text in UTF-8";

  ASSERT_TRUE(PressKey(k.c().memo, 'S', true));
  ASSERT_EQ(k.AnswerFileDialog(out + L"no such folder\\x.txt"), "");
  HWND box = k.WaitBox(kTitle, Ms(15000));
  ASSERT_NE(box, nullptr) << "no error box";
  EXPECT_EQ(ReadBox(box).text.rfind(L"Cannot create file", 0), 0u) << Narrow(ReadBox(box).text);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(ListDir(out), std::vector<std::wstring>{L"保存.txt"}) << "something else was written";
}

// The second file type writes the .def of the file on show, made by the tool
// carried inside, under the proposed name with the type's extension, and
// leaves nothing in the work area.
TEST(Save, TheDefTypeWritesTheModuleDefinitionOfTheFileShown) {
  Scratch scratch("savedef");
  const std::wstring files = scratch.Dir(L"files");
  const std::wstring chosen = files + L"version.dll";
  ASSERT_TRUE(WriteBytes(chosen, VersionDll()));
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(L"\"" + chosen + L"\""), "");
  ASSERT_TRUE(k.WaitListing(Ms(60000)).has_value());

  const std::wstring out = scratch.Dir(L"out");
  ASSERT_TRUE(PressKey(k.c().memo, 'S', true));
  std::vector<std::wstring> types;
  ASSERT_EQ(k.AnswerFileDialog(out + L"version.dll.txt", nullptr, 2, &types), "");
  ASSERT_EQ(types.size(), 2u);
  EXPECT_TRUE(types[0] == L"文本文件 (*.txt)" && types[1] == L"模块定义文件 (*.def)") << Narrow(types[1]);
  std::optional<std::string> def;
  EXPECT_TRUE(WaitUntil(Ms(60000), [&] { return (def = ReadBytes(out + L"version.dll.def")).has_value(); }));
  ASSERT_TRUE(def.has_value()) << "no .def written";
  EXPECT_EQ(def->rfind("LIBRARY \"version.dll\"\r\nEXPORTS\r\n", 0), 0u) << def->substr(0, 200);
  EXPECT_NE(def->find("\r\nGetFileVersionInfoW @"), std::string::npos) << *def;
  EXPECT_EQ(ListDir(out), std::vector<std::wstring>{L"version.dll.def"});
  for (const std::wstring& area : k.WorkAreas()) EXPECT_TRUE(ListDir(area).empty()) << Narrow(area);
}

// The window's listing is Chinese, its first screen fits the memo (a long value
// goes on under the value column, never at the left edge), and Ctrl+G takes the
// reader to a part: its title becomes the memo's top line.
TEST(Language, ChineseTitlesAFirstScreenThatFitsAndCtrlGToAPart) {
  Scratch scratch("lang");
  const std::wstring files = scratch.Dir(L"files");
  const std::wstring chosen = files + L"version.dll";
  ASSERT_TRUE(WriteBytes(chosen, VersionDll()));
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(L"\"" + chosen + L"\""), "");
  auto listing = k.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value()) << "no listing";
  const std::size_t glance = listing->find(L"\r\n== 概览 ==\r\n");
  const std::size_t exports = listing->find(L"\r\n== 导出表 ==\r\n");
  ASSERT_NE(glance, std::wstring::npos) << Narrow(listing->substr(0, 400));
  ASSERT_NE(exports, std::wstring::npos);
  const std::size_t glanceEnd = listing->find(L"\r\n\r\n", glance + 2);

  // Every line the memo shows of the first part starts a line of the listing.
  HWND memo = k.c().memo;
  DWORD_PTR lines = 0;
  ASSERT_TRUE(SendBounded(memo, EM_GETLINECOUNT, 0, 0, &lines, Ms(10000)));
  for (DWORD_PTR i = 0; i < lines; ++i) {
    DWORD_PTR at = 0;
    ASSERT_TRUE(SendBounded(memo, EM_LINEINDEX, i, 0, &at, Ms(10000)));
    if (at <= glance) continue;
    if (at > glanceEnd) break;
    EXPECT_EQ((*listing)[at - 1], L'\n') << "the memo wraps a line at its left edge: "
                                         << Narrow(listing->substr(at, 80));
  }

  ASSERT_TRUE(PressKey(memo, 'G', true));
  HWND dlg = WaitOwnedDialog(k);
  ASSERT_NE(dlg, nullptr) << "Ctrl+G showed no list of parts";
  EXPECT_TRUE(TextOf(dlg) == L"转到部分") << Narrow(TextOf(dlg));
  HWND list = GetDlgItem(dlg, 100);
  ASSERT_NE(list, nullptr);
  DWORD_PTR count = 0, found = static_cast<DWORD_PTR>(LB_ERR);
  ASSERT_TRUE(SendBounded(list, LB_GETCOUNT, 0, 0, &count, Ms(5000)));
  for (DWORD_PTR i = 0; i < count && found == static_cast<DWORD_PTR>(LB_ERR); ++i) {
    wchar_t item[256] = {};
    DWORD_PTR len = 0;
    if (SendBounded(list, LB_GETTEXTLEN, i, 0, &len, Ms(5000)) && len < 256 &&
        SendBounded(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item), &len, Ms(5000)) &&
        std::wstring(item).rfind(L"导出表\t", 0) == 0)
      found = i;
  }
  ASSERT_NE(found, static_cast<DWORD_PTR>(LB_ERR)) << "导出表 is not in the list of " << count << " parts";
  SendBounded(list, LB_SETCURSEL, found, 0, nullptr, Ms(5000));
  ASSERT_TRUE(SendBounded(GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0, nullptr, Ms(10000)));
  EXPECT_TRUE(WaitUntil(Ms(10000), [&] { return !IsWindow(dlg); }));
  DWORD_PTR top = 0, at = 0;
  ASSERT_TRUE(SendBounded(memo, EM_GETFIRSTVISIBLELINE, 0, 0, &top, Ms(10000)));
  ASSERT_TRUE(SendBounded(memo, EM_LINEINDEX, top, 0, &at, Ms(10000)));
  EXPECT_EQ(at, exports + 2) << "the memo's top line: " << Narrow(listing->substr(at, 60));
}


// Ctrl+D asks for a second file and shows the two compared, under the names the
// user chose, and leaves nothing staged behind.
TEST(Compare, CtrlDComparesTheFileShownWithASecondOne) {
  Scratch scratch("compare");
  const std::wstring files = scratch.Dir(L"files");
  const std::wstring chosen = files + L"version.dll", other = files + L"新 版本.dll";
  ASSERT_TRUE(WriteBytes(chosen, VersionDll()));
  ASSERT_TRUE(WriteBytes(other, VersionDll()));
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(L"\"" + chosen + L"\""), "");
  auto listing = k.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value());

  ASSERT_TRUE(PressKey(k.c().memo, 'D', true));
  ASSERT_EQ(k.AnswerFileDialog(other), "");
  std::wstring shown;
  EXPECT_TRUE(WaitUntil(Ms(60000), [&] {
    shown = TextOf(k.c().memo);
    return shown.find(L"结论") != std::wstring::npos && shown.find(L"新 版本.dll") != std::wstring::npos;
  })) << "the memo shows no comparison: " << Narrow(shown.substr(0, 400));
  EXPECT_NE(shown.find(L"相同"), std::wstring::npos) << Narrow(shown.substr(0, 400));
  EXPECT_EQ(ReadBytes(other), std::optional<std::string>(VersionDll())) << "the user's file changed";
  EXPECT_TRUE(WaitUntil(Ms(15000), [&] {
    for (const std::wstring& area : k.WorkAreas())
      if (!ListDir(area).empty()) return false;
    return true;
  })) << "the comparison left files staged";
}

}  // namespace kestrova::e2e
