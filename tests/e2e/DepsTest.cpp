// "Will it load here?" (能否加载) on the window's first screen: a program whose DLL is not
// in its folder, opened from the command line, shows the verdict without scrolling.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/e2e/Harness.h"

namespace kestrova::e2e {
namespace {

// Built beside this driver (tests/e2e/CMakeLists.txt); its DLL is not copied.
std::wstring BesideMe(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return DirectoryOf(std::wstring(self, n)) + name;
}

}  // namespace

TEST(Dependencies, AMissingDllShowsOnTheFirstScreen) {
  const auto program = ReadBytes(BesideMe(L"e2e_needs_absent.exe"));
  ASSERT_TRUE(program.has_value()) << "e2e_needs_absent.exe is not beside the driver";
  Scratch scratch("deps");
  const std::wstring files = scratch.Dir(L"files");
  ASSERT_TRUE(WriteBytes(files + L"needs_absent.exe", *program));
  Kestrova k(scratch);
  ASSERT_EQ(k.Start(L"\"" + files + L"needs_absent.exe\""), "");
  auto listing = k.WaitListing(Ms(60000));
  ASSERT_TRUE(listing.has_value()) << "no listing; memo: " << Narrow(TextOf(k.c().memo).substr(0, 200));

  // The summary's line, then the part's own verdict further down.
  const std::size_t at = listing->find(L"能否加载");
  ASSERT_NE(at, std::wstring::npos) << Narrow(listing->substr(0, 600));
  const std::wstring line = listing->substr(at, listing->find(L'\r', at) - at);
  EXPECT_NE(line.find(L"否：缺失 1 个 DLL"), std::wstring::npos) << Narrow(line);
  EXPECT_NE(listing->find(L"无法加载：缺失 1 个 DLL"), std::wstring::npos);
  EXPECT_NE(listing->find(L"kestrova_absent.dll"), std::wstring::npos);

  // On the first screen: the memo shows its top, and the line lies inside it.
  DWORD_PTR first = 1, pos = 0;
  ASSERT_TRUE(SendBounded(k.c().memo, EM_GETFIRSTVISIBLELINE, 0, 0, &first, Ms(10000)));
  EXPECT_EQ(first, 0u);
  ASSERT_TRUE(SendBounded(k.c().memo, EM_POSFROMCHAR, at, 0, &pos, Ms(10000)));
  RECT client{};
  GetClientRect(k.c().memo, &client);
  const int y = static_cast<short>(HIWORD(pos));
  EXPECT_TRUE(pos != static_cast<DWORD_PTR>(-1) && y >= 0 && y + 12 <= client.bottom)
      << "the verdict stands at y " << y << ", the memo shows " << client.bottom << " pixels";
  EXPECT_TRUE(k.Close());
}

}  // namespace kestrova::e2e
