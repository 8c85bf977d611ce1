// Whole analyses under Wine: the real shell runs the real script, which runs the
// stand-in dumper carried in this program's resources, and the poll picks up
// the listing.
#include <gtest/gtest.h>

#include "platform/win32/Win32Platform.h"
#include "tests/wine/WineTestSupport.h"
#include "workflow/PathTerms.h"
#include "workflow/Workflow.h"

namespace kestrova::winetest {
namespace {

using workflow::Workflow;

constexpr DWORD kTickMs = 200;         // quicker than the window's 1500 ms
constexpr DWORD kPatienceMs = 30000;  // Wine's first cmd of a session is slow

std::u16string Listing(const std::u16string& argument, std::size_t size) {
  std::u16string out = u"Stand-in dump of " + argument + u"\r\nSize ";
  for (const char c : std::to_string(size)) out += static_cast<char16_t>(c);
  return out + u"\r\nEnd of dump\r\n";
}

class Road : public ::testing::Test {
 protected:
  std::u16string UserFile(const std::u16string& name, const std::string& content) {
    const std::u16string path = user.path() + name;
    EXPECT_TRUE(WriteBytes(path, content));
    return path;
  }

  // Ticks until the poll goes off; true when the listing was shown in time.
  bool TickUntilShown(Workflow& flow, DWORD* elapsed = nullptr, int* busyTicks = nullptr) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kPatienceMs) {
      flow.Tick();
      if (!state.poll) {
        if (elapsed) *elapsed = GetTickCount() - start;
        return true;
      }
      if (busyTicks && platform.IsFile(flow.WorkArea() + workflow::NamePart(state.path) + u".txt")) {
        ++*busyTicks;
      }
      state.ProcessPendingMessages();
      Sleep(kTickMs);
    }
    return false;
  }

  // Browse, Analyze, ticks; checks what is left afterwards. Returns the listing text.
  std::u16string Analyse(const std::u16string& path) {
    const std::string before = ReadBytes(path);
    std::u16string area;
    {
      Workflow flow(state, platform);
      flow.Browse(path);
      area = flow.WorkArea();
      EXPECT_TRUE(state.analyze);
      script = ReadBytes(area + u"tdump.bat");
      EXPECT_FALSE(script.empty());
      flow.Analyze();
      EXPECT_EQ(state.listing, std::u16string(workflow::kWaitingLine) + u"\r\n");
      EXPECT_TRUE(TickUntilShown(flow)) << "no listing within the wait";
      EXPECT_FALSE(state.analyze);
      EXPECT_TRUE(DescribeDirectory(area).size() <= 2u) << "staged files left behind";  // . and ..
    }
    EXPECT_FALSE(DirectoryExists(area)) << "work area left behind";
    EXPECT_EQ(ReadBytes(path), before) << "the user's file changed";
    return state.listing;
  }

  platform::Win32Platform platform;
  MemoryState state;
  std::string script;  // of the last Analyse
  ScratchDir user;
};

TEST_F(Road, QuickDump) {
  EXPECT_EQ(Analyse(UserFile(u"demo.dll", "MZ quick")), Listing(u"demo.dll", 8));
}

TEST_F(Road, SlowDumperIsWaitedForWithoutFailures) {
  const auto path = UserFile(u"slow.dll", "SLOW and steady");
  Workflow flow(state, platform);
  flow.Browse(path);
  flow.Analyze();
  DWORD elapsed = 0;
  int busyTicks = 0;
  ASSERT_TRUE(TickUntilShown(flow, &elapsed, &busyTicks));  // Tick would throw on a failure
  EXPECT_GE(elapsed, 2500u);
  EXPECT_GT(busyTicks, 3) << "the listing should have stood, held open, for a while";
  EXPECT_EQ(state.listing, Listing(u"slow.dll", 15));
}

TEST_F(Road, NamesThatNeedQuoting) {
  for (const std::u16string name :
       {u"my file & (1)%PATH%!x;,=^'.dll", u"x & mkdir pwned & y.dll", u"%cd%.dll", u"-v.dll",
        u"a b.exe"}) {
    const std::string content = "MZ " + std::to_string(name.size());
    const auto listing = Analyse(UserFile(name, content));
    EXPECT_EQ(listing, Listing(name, content.size())) << "name of " << name.size();
  }
}

TEST_F(Road, NamesOutsideTheAsciiRange) {
  const bool chinese = platform.AnsiCodePage() == 936;
  // Bare where ANSI and OEM agree on them, staged under an alias elsewhere.
  // The second name's GBK bytes end in "|", "\\" and "^": cmd must decode before it parses.
  for (const std::u16string name : {u"中文测试.dll", u"亅乗乛.dll", u"café.dll"}) {
    const auto listing = Analyse(UserFile(name, "MZ"));
    EXPECT_EQ(listing, Listing(name, 2));
    EXPECT_EQ(script.find("input.dll") == std::string::npos, chinese);
  }
}

TEST_F(Road, WorkAreaUnderAFolderNamedOutsideTheCodePage) {
  // Under 1252 the folder has no ANSI form: the script must still be found and
  // run. Blanks and "&" in it, as in many a user name, must not matter either.
  const std::u16string temp = user.path() + u"用户 & co\\";
  ASSERT_TRUE(CreateDirectoryW(W(temp).c_str(), nullptr));
  wchar_t saved[2][MAX_PATH + 1] = {};
  GetEnvironmentVariableW(L"TMP", saved[0], MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", saved[1], MAX_PATH);
  SetEnvironmentVariableW(L"TMP", W(temp).c_str());
  SetEnvironmentVariableW(L"TEMP", W(temp).c_str());
  EXPECT_EQ(platform.TempFolder(), temp);
  EXPECT_EQ(Analyse(UserFile(u"demo.dll", "MZ")), Listing(u"demo.dll", 2));
  SetEnvironmentVariableW(L"TMP", saved[0][0] ? saved[0] : nullptr);
  SetEnvironmentVariableW(L"TEMP", saved[1][0] ? saved[1] : nullptr);
  RemoveDirectoryW(W(temp).c_str());
}

TEST_F(Road, ChosenFileBesideTheProgram) {
  const std::u16string own = OwnDirectory();
  // Both locales' runs share this directory, each with a wineserver of its own
  // (so process ids repeat): the code page tells them apart.
  const std::u16string name = u"beside-the-program-" + U(std::to_wstring(GetACP())) + u"-" +
                              U(std::to_wstring(GetCurrentProcessId())) + u".dll";
  const std::u16string path = own + name;
  ASSERT_TRUE(WriteBytes(path, "MZ beside"));
  // Other tests may build or run beside us: look only at what the workflow could write.
  const auto ours = [&] {
    std::vector<std::wstring> kept;
    for (const auto& entry : DescribeDirectory(own)) {
      std::wstring lower = entry;
      CharLowerW(lower.data());
      std::wstring mine = W(name);
      CharLowerW(mine.data());
      for (const std::wstring& prefix : {std::wstring(L"tdump"), mine, std::wstring(L"input."),
                                         std::wstring(L"listing")}) {
        if (lower.rfind(prefix, 0) == 0) kept.push_back(entry);
      }
    }
    return kept;
  };
  const auto before = ours();
  EXPECT_EQ(Analyse(path), Listing(name, 9));
  EXPECT_EQ(ours(), before);
  DeleteFileW(W(path).c_str());
}

TEST_F(Road, ChosenFileNamedLikeTheDumper) {
  EXPECT_EQ(Analyse(UserFile(u"TDUMP.EXE", "MZ impostor")), Listing(u"TDUMP.EXE", 11));
}

}  // namespace
}  // namespace kestrova::winetest
