// Browse, Analyze and the poll against the fake platform: the state table, its
// transitions, the failures and what each leaves behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/workflow/Fakes.h"
#include "workflow/Workflow.h"

namespace kestrova::workflow {
namespace {

using testing::FakePlatform;
using testing::FakeState;
using testing::RunLastScript;
using testing::ToBytes;

const std::u16string kUserDir = u"D:\\Work\\";
const std::u16string kWaiting = std::u16string(kWaitingLine) + u"\r\n";
const std::string kListing = "\xEF\xBB\xBFlisting\nline 2\n";
const std::u16string kShown = u"listing\r\nline 2\r\n";

class WorkflowTest : public ::testing::Test {
 protected:
  WorkflowTest() {
    platform.AddDirectory(u"D:");
    platform.AddDirectory(u"D:\\Work");
  }

  std::u16string UserFile(const std::u16string& name, std::string_view content = "MZ user") {
    platform.AddFile(kUserDir + name, ToBytes(content));
    return kUserDir + name;
  }
  std::u16string Area() const { return flow.WorkArea(); }
  std::vector<std::u16string> Staged() const {
    auto files = platform.FilesUnder(Area());
    std::sort(files.begin(), files.end());
    return files;
  }
  // Browse, Analyze, the dumper's run, one tick.
  void RunThrough(const std::u16string& path) {
    flow.Browse(path);
    flow.Analyze();
    ASSERT_TRUE(RunLastScript(platform, kListing));
    flow.Tick();
  }

  FakeState state;
  FakePlatform platform;
  Workflow flow{state, platform};
};

TEST_F(WorkflowTest, FreshStateTicksWithoutTouchingAnything) {
  EXPECT_FALSE(state.analyze);
  EXPECT_TRUE(state.poll);
  flow.Tick();
  flow.Browse(std::nullopt);  // cancelled
  flow.Browse(u"");
  EXPECT_EQ(state.path, u"");
  EXPECT_FALSE(state.analyze);
  EXPECT_EQ(state.listing, u"");
  EXPECT_TRUE(platform.written.empty());
  EXPECT_EQ(flow.WorkArea(), u"");
}

TEST_F(WorkflowTest, BrowseStagesInAPrivateWorkArea) {
  const auto path = UserFile(u"demo.dll");
  state.poll = false;
  state.listing = u"earlier";
  flow.Browse(path);

  EXPECT_EQ(Area().rfind(platform.temp + u"Kestrova-4242-", 0), 0u);
  EXPECT_EQ(Area().back(), u'\\');
  EXPECT_EQ(state.path, path);
  EXPECT_TRUE(state.analyze);
  EXPECT_FALSE(state.poll);  // Browse leaves the poll and the listing alone
  EXPECT_EQ(state.listing, u"earlier");
  EXPECT_EQ(Staged(), (std::vector<std::u16string>{u"DEMO.DLL", u"TDUMP.BAT", u"TDUMP.EXE"}));
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.exe"), ToBytes("MZ payload dumper"));
  EXPECT_EQ(platform.FileBytes(Area() + u"demo.dll"), ToBytes("MZ user"));
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe demo.dll > demo.dll.txt\r\n"));
  for (const auto& w : platform.written) EXPECT_EQ(w.rfind(Area(), 0), 0u);
}

TEST_F(WorkflowTest, BrowseAgainRestagesButKeepsTheDumper) {
  flow.Browse(UserFile(u"one.dll"));
  platform.AddFile(Area() + u"tdump.exe", ToBytes("already here"));
  flow.Browse(UserFile(u"two.exe"));
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.exe"), ToBytes("already here"));
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe two.exe > two.exe.txt\r\n"));
  EXPECT_EQ(Staged(), (std::vector<std::u16string>{u"TDUMP.BAT", u"TDUMP.EXE", u"TWO.EXE"}));
}

TEST_F(WorkflowTest, WorkAreaSkipsTakenNamesAndReportsOtherFailures) {
  // Every name of this process taken for a while: the workflow moves on.
  for (char i = '0'; i <= '9'; ++i) {
    for (char j = '0'; j <= '9'; ++j) {
      platform.AddDirectory(platform.temp + u"Kestrova-4242-" + char16_t(i) + char16_t(j));
    }
    platform.AddDirectory(platform.temp + u"Kestrova-4242-" + char16_t(i));
  }
  flow.Browse(UserFile(u"a.dll"));
  EXPECT_TRUE(platform.HasDirectory(Area()));

  FakeState s2;
  FakePlatform p2;
  p2.temp = u"C:\\NoSuchDir\\";
  Workflow other(s2, p2);
  try {
    other.Browse(u"C:\\x.dll");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message().rfind(u"Cannot create file \"C:\\NoSuchDir\\Kestrova-4242-", 0), 0u);
    EXPECT_NE(e.message().find(u"\". The path was not found."), std::u16string::npos);
  }
  EXPECT_EQ(s2.path, u"C:\\x.dll");
  EXPECT_FALSE(s2.analyze);

  p2.temp.clear();
  Workflow third(s2, p2);
  EXPECT_THROW(third.Browse(u"C:\\x.dll"), Error);
  EXPECT_EQ(third.WorkArea(), u"");
}

TEST_F(WorkflowTest, AnalyzeShowsWaitingLineAndRunsScriptHidden) {
  flow.Browse(UserFile(u"demo.dll"));
  state.poll = false;
  std::u16string seenWhilePumping;
  state.onPump = [&] { seenWhilePumping = state.listing; };
  flow.Analyze();
  EXPECT_EQ(seenWhilePumping, kWaiting);  // painted before the script starts
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_EQ(platform.cwd, Area());
  ASSERT_EQ(platform.shell.size(), 1u);
  EXPECT_EQ(platform.shell[0].file, Area() + u"tdump.bat");
  EXPECT_EQ(platform.shell[0].params, u"run");
  EXPECT_EQ(platform.shell[0].show, 0);
  EXPECT_EQ(platform.childEnvironment[u"KESTROVA_APP_DIR"], kUserDir);  // where the user's file lies
  // The listing is made in the window's language and to the memo's width.
  EXPECT_EQ(platform.childEnvironment[u"KESTROVA_LANG"], u"zh-CN");
  EXPECT_EQ(platform.childEnvironment[u"KESTROVA_WIDTH"], u"118");
  EXPECT_TRUE(state.poll);
  EXPECT_TRUE(state.analyze);
  flow.Analyze();  // again while waiting: runs the script again
  EXPECT_EQ(platform.shell.size(), 2u);
}

TEST_F(WorkflowTest, AnalyzeWithoutScriptIsSilent) {
  flow.Browse(UserFile(u"demo.dll"));
  platform.Erase(Area() + u"tdump.bat");
  flow.Analyze();
  EXPECT_TRUE(platform.shell.empty());
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_TRUE(state.poll);
  flow.Tick();
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_TRUE(state.poll);
}

TEST_F(WorkflowTest, AnalyzeFindsScriptInAWorkAreaWithoutAnsiForm) {
  platform.ansi = 1252;
  platform.oem = 437;
  platform.temp = u"C:\\Users\\\u5f20\\Temp\\";
  platform.AddDirectory(u"C:\\Users");
  platform.AddDirectory(u"C:\\Users\\\u5f20");
  platform.AddDirectory(u"C:\\Users\\\u5f20\\Temp");
  RunThrough(UserFile(u"demo.dll"));
  EXPECT_EQ(platform.shell.size(), 1u);
  EXPECT_EQ(state.listing, kShown);
}

TEST_F(WorkflowTest, TickThatFindsTheListingShowsItAndCleansUp) {
  const auto path = UserFile(u"demo.dll");
  RunThrough(path);
  EXPECT_EQ(state.listing, kShown);
  EXPECT_FALSE(state.analyze);
  EXPECT_FALSE(state.poll);
  EXPECT_TRUE(Staged().empty());
  EXPECT_EQ(platform.FileBytes(path), ToBytes("MZ user"));
  EXPECT_EQ(state.path, path);

  // Shown: the poll stays off, so a listing made later is not picked up...
  platform.AddFile(Area() + u"demo.dll.txt", ToBytes("late"));
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
  // ...until Browse and Analyze run again.
  RunThrough(path);
  EXPECT_EQ(state.listing, kShown);
}

TEST_F(WorkflowTest, EmptyListingIsAListingToo) {
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, ""));
  flow.Tick();
  EXPECT_EQ(state.listing, u"");
  EXPECT_FALSE(state.poll);
  EXPECT_TRUE(Staged().empty());
}

TEST_F(WorkflowTest, ListingStillBeingWrittenIsWaitedForSilently) {
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  const auto listing = Area() + u"demo.dll.txt";
  platform.busy.insert(listing);
  flow.Tick();
  flow.Tick();
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_TRUE(state.poll);
  EXPECT_TRUE(state.analyze);
  platform.busy.clear();
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
}

TEST_F(WorkflowTest, UnopenableListingIsReportedAndRetried) {
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  const auto listing = Area() + u"demo.dll.txt";
  platform.unreadable.insert(listing);
  try {
    flow.Tick();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), u"Cannot open file \"" + listing + u"\". Access is denied.");
  }
  EXPECT_EQ(state.listing, u"");
  EXPECT_TRUE(state.analyze);
  EXPECT_TRUE(state.poll);
  EXPECT_EQ(Staged().size(), 4u);
  platform.unreadable.clear();
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
}

TEST_F(WorkflowTest, ListingTooLongForTheMemoLeavesThePollOn) {
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  state.capacity = 4;
  try {
    flow.Tick();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), u"Text exceeds memo capacity");
  }
  EXPECT_EQ(state.listing, u"");
  EXPECT_TRUE(state.poll);
  EXPECT_TRUE(state.analyze);
}

TEST_F(WorkflowTest, TicksDoNotNestWhileAFailureIsReported) {
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  platform.unreadable.insert(Area() + u"demo.dll.txt");
  int reports = 0;
  const auto report = [&](const Error&) {
    ++reports;
    // Timer messages reaching the open error box.
    flow.Tick();
    flow.Tick([&](const Error&) { ++reports; });
  };
  flow.Tick(report);
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(platform.reads, 1);
  flow.Tick(report);  // the box closed: the next tick runs
  EXPECT_EQ(reports, 2);
  EXPECT_EQ(platform.reads, 2);
}

TEST_F(WorkflowTest, MissingPayloadFailsBrowseAndDisarmsAnalyze) {
  flow.Browse(UserFile(u"one.dll"));
  platform.Erase(Area() + u"tdump.exe");
  platform.resourceMissing = true;
  try {
    flow.Browse(UserFile(u"two.dll"));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), u"Resource tdump not found");
  }
  EXPECT_EQ(state.path, kUserDir + u"two.dll");
  EXPECT_FALSE(state.analyze);
  // The earlier script is gone, so nothing can run against one.dll.
  EXPECT_TRUE(Staged().empty());
  flow.Analyze();
  EXPECT_TRUE(platform.shell.empty());
}

TEST_F(WorkflowTest, ScriptThatCannotBeCreatedIsReportedWithItsPath) {
  flow.Browse(UserFile(u"one.dll"));
  const auto script = Area() + u"tdump.bat";
  platform.cannotCreate.insert(script);
  try {
    flow.Browse(UserFile(u"two.dll"));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), u"Cannot create file \"" + script + u"\". Access is denied.");
  }
  EXPECT_FALSE(state.analyze);
  EXPECT_FALSE(platform.HasFile(script));
}

TEST_F(WorkflowTest, PartialPayloadIsNotLeftForTheNextBrowse) {
  flow.Browse(UserFile(u"one.dll"));
  const auto dumper = Area() + u"tdump.exe";
  platform.Erase(dumper);
  platform.writeLimit[dumper] = 3;
  try {
    flow.Browse(UserFile(u"two.dll"));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), u"Stream write error");
  }
  EXPECT_FALSE(platform.HasFile(dumper));
  EXPECT_FALSE(state.analyze);
  platform.writeLimit.clear();
  flow.Browse(UserFile(u"two.dll"));
  EXPECT_EQ(platform.FileBytes(dumper), ToBytes("MZ payload dumper"));
  EXPECT_TRUE(state.analyze);
}

TEST_F(WorkflowTest, CopyThatFailsIsSilent) {
  flow.Browse(kUserDir + u"typed-but-missing.dll");
  EXPECT_TRUE(state.analyze);
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe typed-but-missing.dll > typed-but-missing.dll.txt\r\n"));
}

TEST_F(WorkflowTest, NameThatNeedsQuotingLandsUnderItsOwnName) {
  const std::u16string name = u"my file & (1)%x%!;,=^'.dll";
  const auto path = UserFile(name);
  flow.Browse(path);
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe input.dll > listing.txt\r\n"));
  EXPECT_EQ(platform.FileBytes(Area() + u"input.dll"), ToBytes("MZ user"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));

  // cmd still holds its output: the rename waits, silently.
  platform.busy.insert(Area() + u"listing.txt");
  flow.Tick();
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_FALSE(platform.HasFile(Area() + name + u".txt"));
  platform.busy.clear();

  // The listing is renamed before it is read; stop reading there to see it.
  platform.unreadable.insert(Area() + name + u".txt");
  EXPECT_THROW(flow.Tick(), Error);
  EXPECT_TRUE(platform.HasFile(Area() + name + u".txt"));
  platform.unreadable.clear();
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
  EXPECT_TRUE(Staged().empty());
  EXPECT_EQ(platform.FileBytes(path), ToBytes("MZ user"));

  // Where the dumper names its argument the user reads the real name, once.
  flow.Browse(path);
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, "File: input.dll\nImports input.dll\n"));
  flow.Tick();
  EXPECT_EQ(state.listing, u"File: " + name + u"\r\nImports input.dll\r\n");
}

TEST_F(WorkflowTest, EarlierRunStillHoldingItsAliasesIsNotMistakenForTheNewOne) {
  flow.Browse(UserFile(u"first one.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, "first"));
  // Still dumping when the user picks another file.
  platform.busy = {Area() + u"input.dll", Area() + u"listing.txt"};
  const auto second = UserFile(u"second one.dll", "MZ second");
  flow.Browse(second);
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe input-1.dll > listing-1.txt\r\n"));
  EXPECT_EQ(platform.FileBytes(Area() + u"input-1.dll"), ToBytes("MZ second"));
  platform.busy.clear();  // the first run ends
  flow.Tick();
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_TRUE(state.poll);
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, "second"));
  flow.Tick();
  EXPECT_EQ(state.listing, u"second");
  EXPECT_FALSE(platform.HasFile(Area() + u"input-1.dll"));
  EXPECT_FALSE(platform.HasFile(Area() + u"listing-1.txt"));
}

TEST_F(WorkflowTest, UnusableListingNameIsReadUnderItsAlias) {
  // "/" is no separator to the workflow, but it is to the file system.
  flow.Browse(kUserDir + u"sub/x.dll");
  flow.Analyze();
  RunLastScript(platform, kListing);
  ASSERT_TRUE(platform.HasFile(Area() + u"listing.txt"));
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
  EXPECT_TRUE(Staged().empty());
}

TEST_F(WorkflowTest, ChosenFileNamedLikeTheDumperIsNeverRun) {
  const auto path = UserFile(u"TDUMP.EXE", "MZ not the dumper");
  flow.Browse(path);
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.exe"), ToBytes("MZ payload dumper"));
  EXPECT_EQ(platform.FileBytes(Area() + u"input.exe"), ToBytes("MZ not the dumper"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
  EXPECT_TRUE(Staged().empty());
  EXPECT_EQ(platform.FileBytes(path), ToBytes("MZ not the dumper"));

  const auto bat = UserFile(u"tdump.bat", "@echo owned");
  flow.Browse(bat);
  EXPECT_EQ(platform.FileBytes(Area() + u"tdump.bat"),
            ToBytes("tdump.exe input.bat > listing.txt\r\n"));
}

TEST_F(WorkflowTest, FileInTheProgramDirectoryIsLeftAlone) {
  const std::u16string programDir = u"C:\\Program Files\\Kestrova\\";
  platform.AddFile(programDir + u"demo.dll", ToBytes("MZ beside the program"));
  platform.AddFile(programDir + u"demo.dll.txt", ToBytes("the user's notes"));
  RunThrough(programDir + u"demo.dll");
  EXPECT_EQ(state.listing, kShown);
  EXPECT_EQ(platform.FileBytes(programDir + u"demo.dll"), ToBytes("MZ beside the program"));
  EXPECT_EQ(platform.FileBytes(programDir + u"demo.dll.txt"), ToBytes("the user's notes"));
  EXPECT_EQ(platform.FilesUnder(u"C:\\Program Files\\Kestrova").size(), 3u);
  for (const auto& w : platform.written) EXPECT_EQ(w.rfind(Area(), 0), 0u);
}

TEST_F(WorkflowTest, ListingInTheAnsiCodePageAndInUtf16) {
  platform.ansi = 1252;
  platform.oem = 437;
  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, "caf\xE9\n"));
  flow.Tick();
  EXPECT_EQ(state.listing, u"café\r\n");

  flow.Browse(UserFile(u"demo.dll"));
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, std::string("\xFF\xFE\xE9\x00\r\x00", 6)));
  flow.Tick();
  EXPECT_EQ(state.listing, u"é\r\n");
}

// Save as .def: what the dumper's --def run would leave, one pause after the shell was asked.
// Ctrl+D: the file on show against a second one, staged under our own names,
// shown by the poll with the user's names, and nothing left behind.
TEST_F(WorkflowTest, CompareStagesBothRunsHiddenAndShowsTheUsersNames) {
  EXPECT_THROW(flow.Compare(UserFile(u"new.dll")), Error);  // nothing on show yet
  const auto older = UserFile(u"demo.dll", "MZ old");
  RunThrough(older);
  ASSERT_TRUE(Staged().empty());
  flow.Compare(std::nullopt);  // the dialog cancelled
  EXPECT_EQ(platform.shell.size(), 1u);

  const auto newer = UserFile(u"my file & (2).dll", "MZ new");
  flow.Compare(newer);
  EXPECT_EQ(state.listing, kWaiting);
  EXPECT_TRUE(state.poll);
  ASSERT_EQ(platform.shell.size(), 2u);
  EXPECT_EQ(platform.shell[1].file, Area() + u"comparison.bat");
  EXPECT_EQ(platform.shell[1].show, 0);
  EXPECT_EQ(platform.FileBytes(Area() + u"comparison.bat"),
            ToBytes("tdump.exe --diff compare-old.dll compare-new.dll > comparison.txt\r\n"));
  EXPECT_EQ(platform.FileBytes(Area() + u"compare-old.dll"), ToBytes("MZ old"));
  EXPECT_EQ(platform.FileBytes(Area() + u"compare-new.dll"), ToBytes("MZ new"));
  EXPECT_EQ(platform.childEnvironment[u"KESTROVA_LANG"], u"zh-CN");

  flow.Tick();  // not written yet
  EXPECT_EQ(state.listing, kWaiting);
  platform.AddFile(Area() + u"comparison.txt", ToBytes("old: compare-old.dll\nnew: compare-new.dll\n"));
  flow.Tick();
  EXPECT_EQ(state.listing, u"old: " + older + u"\r\nnew: " + newer + u"\r\n");
  EXPECT_FALSE(state.poll);
  EXPECT_TRUE(Staged().empty());
  EXPECT_EQ(platform.FileBytes(newer), ToBytes("MZ new"));

  // A Browse while a comparison runs: the poll waits for the new listing instead.
  flow.Compare(newer);
  flow.Browse(newer);
  flow.Analyze();
  ASSERT_TRUE(RunLastScript(platform, kListing));
  flow.Tick();
  EXPECT_EQ(state.listing, kShown);
}

class DefinitionTest : public WorkflowTest {
 protected:
  void DumperWrites(std::string output, unsigned heldForPauses = 1) {
    platform.onPause = [this, output, heldForPauses, pauses = 0u]() mutable {
      ASSERT_FALSE(platform.shell.empty());
      const std::u16string out = Area() + u"definition.def";
      if (pauses++ == 0) {
        EXPECT_EQ(platform.FileBytes(Area() + u"definition.bat"),
                  ToBytes("tdump.exe --def definition.dll > definition.def\r\n"));
        EXPECT_EQ(platform.FileBytes(Area() + u"definition.dll"), ToBytes("MZ user"));
        platform.AddFile(out, ToBytes(output));
        platform.busy.insert(out);
      }
      if (pauses > heldForPauses) platform.busy.erase(out);
    };
  }
  std::string Made() {
    const Bytes b = flow.ModuleDefinition();
    return std::string(b.begin(), b.end());
  }
  std::u16string Failure() {
    try {
      flow.ModuleDefinition();
    } catch (const Error& e) {
      return e.message();
    }
    return u"no failure";
  }
};

TEST_F(DefinitionTest, SaveAsDefRunsTheDumperOnAFreshCopyAndLeavesNothing) {
  const auto path = UserFile(u"demo.dll");
  RunThrough(path);
  ASSERT_TRUE(Staged().empty());
  DumperWrites("\xEF\xBB\xBF; Module-definition file of definition.dll, written by tdump\r\n"
               "LIBRARY \"demo.dll\"\r\nEXPORTS\r\n  f @1\r\n", 3);
  EXPECT_EQ(Made(), "LIBRARY \"demo.dll\"\r\nEXPORTS\r\n  f @1\r\n");
  ASSERT_EQ(platform.shell.size(), 2u);
  EXPECT_EQ(platform.shell[1].file, Area() + u"definition.bat");
  EXPECT_EQ(platform.shell[1].show, 0);
  EXPECT_EQ(platform.childEnvironment[u"KESTROVA_APP_DIR"], kUserDir);
  EXPECT_TRUE(Staged().empty());  // the dumper it had to bring back included
  EXPECT_EQ(platform.FileBytes(path), ToBytes("MZ user"));
  EXPECT_EQ(state.listing, kShown);
  EXPECT_FALSE(state.poll);

  // A DLL that does not name itself takes the user's file name, not the copy's.
  DumperWrites("LIBRARY \"definition.dll\"\r\nEXPORTS\r\n");
  EXPECT_EQ(Made(), "LIBRARY \"demo.dll\"\r\nEXPORTS\r\n");

  const auto other = UserFile(u"数据.dll");
  state.path = other;
  DumperWrites("LIBRARY \"definition.dll\"\r\nEXPORTS\r\n");
  EXPECT_EQ(Made(), "LIBRARY \"unknown.dll\"\r\nEXPORTS\r\n");
  state.path = path;

  // While an analysis is staged, its dumper is used and stays for it.
  flow.Browse(path);
  DumperWrites("LIBRARY \"demo.dll\"\r\nEXPORTS\r\n");
  Made();
  EXPECT_TRUE(platform.IsFile(Area() + u"tdump.exe"));
  EXPECT_TRUE(platform.IsFile(Area() + u"tdump.bat"));
  EXPECT_TRUE(state.analyze);
}

TEST_F(DefinitionTest, FailuresAreToldAndLeaveNothing) {
  const auto path = UserFile(u"demo.dll");
  RunThrough(path);
  DumperWrites("\xEF\xBB\xBFtdump: \"definition.dll\" is not an image: no PE signature\r\n");
  EXPECT_EQ(Failure(), u"无法生成模块定义文件：分析工具报告：tdump: \"demo.dll\" is not an image: no PE signature");
  EXPECT_TRUE(Staged().empty());

  DumperWrites("");
  EXPECT_EQ(Failure(), u"无法生成模块定义文件：分析工具没有输出。");

  // A run that never starts is waited for a bounded time.
  platform.onPause = nullptr;
  platform.paused = 0;
  EXPECT_NE(Failure().find(u"秒内没有完成"), std::u16string::npos);
  EXPECT_GE(platform.paused, kDefinitionWaitMs);
  EXPECT_LE(platform.paused, kDefinitionWaitMs + 1000);
  EXPECT_TRUE(Staged().empty());

  platform.Erase(path);  // gone since it was shown
  EXPECT_EQ(Failure(), u"无法生成模块定义文件：读不到文件“" + path + u"”。");
  state.path.clear();
  EXPECT_NE(Failure().find(u"尚未选择文件"), std::u16string::npos);
  EXPECT_TRUE(Staged().empty());
}

TEST(WorkflowLifetime, DestroyingTheWorkflowRemovesTheWorkArea) {
  FakeState state;
  FakePlatform platform;
  platform.AddDirectory(u"D:");
  platform.AddFile(u"D:\\one.dll", ToBytes("1"));
  platform.AddFile(u"D:\\two words.dll", ToBytes("2"));
  std::u16string area;
  {
    Workflow flow(state, platform);
    flow.Browse(u"D:\\one.dll");
    flow.Analyze();
    area = flow.WorkArea();
    flow.Browse(u"D:\\two words.dll");
    flow.Analyze();
    ASSERT_TRUE(RunLastScript(platform, "x"));  // left unread
    ASSERT_FALSE(platform.FilesUnder(area).empty());
  }
  EXPECT_TRUE(platform.FilesUnder(area).empty());
  EXPECT_FALSE(platform.HasDirectory(area));
  EXPECT_EQ(platform.FileBytes(u"D:\\one.dll"), ToBytes("1"));
  EXPECT_EQ(platform.FileBytes(u"D:\\two words.dll"), ToBytes("2"));
}

TEST(WorkflowLifetime, FilesStillHeldAtExitAreWaitedForAWhile) {
  FakeState state;
  FakePlatform platform;
  platform.AddFile(u"C:\\a.dll", ToBytes("a"));
  std::u16string area;
  int pauses = 0;  // outlives the workflow, whose destructor pauses
  {
    Workflow flow(state, platform);
    flow.Browse(u"C:\\a.dll");
    area = flow.WorkArea();
    platform.busy.insert(area + u"tdump.bat");
    platform.onPause = [&] {
      if (++pauses == 3) platform.busy.clear();  // cmd ends
    };
  }
  EXPECT_EQ(platform.paused, 300u);
  EXPECT_FALSE(platform.HasDirectory(area));

  // One that never lets go is left behind, after a bounded wait.
  {
    Workflow flow(state, platform);
    flow.Browse(u"C:\\a.dll");
    area = flow.WorkArea();
    platform.busy = {area + u"a.dll"};
    platform.onPause = nullptr;
    platform.paused = 0;
  }
  EXPECT_GT(platform.paused, 0u);
  EXPECT_LE(platform.paused, 5000u);
  EXPECT_TRUE(platform.HasDirectory(area));
}

TEST(WorkflowLifetime, TwoWorkflowsGetTwoWorkAreas) {
  FakeState s1, s2;
  FakePlatform platform;
  platform.AddFile(u"C:\\a.dll", ToBytes("a"));
  Workflow one(s1, platform), two(s2, platform);
  one.Browse(u"C:\\a.dll");
  two.Browse(u"C:\\a.dll");
  EXPECT_NE(one.WorkArea(), two.WorkArea());
}

TEST(UpdatePage, OneShellRequestPerClickAndNoStateChange) {
  FakePlatform platform;
  OpenUpdatePage(platform, u"Kestrova", u"1.0");
  OpenUpdatePage(platform, u"Kestrova", u"1.0");
  ASSERT_EQ(platform.shell.size(), 2u);
  EXPECT_EQ(platform.shell[1].file, UpdateAddress(u"Kestrova", u"1.0"));
  EXPECT_EQ(platform.shell[1].params, u"");
  EXPECT_EQ(platform.shell[1].show, 1);
  EXPECT_TRUE(platform.written.empty());
}

}  // namespace
}  // namespace kestrova::workflow
