// The Win32 layer's operations that the workflow leans on, on a real system.
#include <gtest/gtest.h>

#include "platform/win32/Win32Platform.h"
#include "tests/wine/WineTestSupport.h"
#include "workflow/Error.h"
#include "workflow/Workflow.h"

namespace kestrova::winetest {
namespace {

using platform::Win32Platform;
using workflow::Outcome;

TEST(Win32Layer, PayloadIsFoundWhateverTheCase) {
  Win32Platform p;
  const auto lower = p.ReadResource(u"tdump", u"exe");
  const auto upper = p.ReadResource(u"TDUMP", u"EXE");
  ASSERT_TRUE(lower.has_value());
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ(*lower, *upper);
  ASSERT_GT(lower->size(), 2u);
  EXPECT_EQ((*lower)[0], 'M');
  EXPECT_EQ((*lower)[1], 'Z');
  EXPECT_FALSE(p.ReadResource(u"nosuch", u"exe").has_value());
}

TEST(Win32Layer, ExtractResourceWritesThePayloadOrSaysWhyNot) {
  Win32Platform p;
  ScratchDir dir;
  const std::u16string target = dir.path() + u"tdump.exe";
  workflow::ExtractResource(p, u"tdump", u"exe", target);
  const auto payload = p.ReadResource(u"TDUMP", u"EXE");
  EXPECT_EQ(ReadBytes(target), std::string(payload->begin(), payload->end()));

  try {
    workflow::ExtractResource(p, u"nosuch", u"exe", target);
    FAIL();
  } catch (const workflow::Error& e) {
    EXPECT_EQ(e.message(), u"Resource nosuch not found");
  }
  const std::u16string nowhere = dir.path() + u"missing\\tdump.exe";
  try {
    workflow::ExtractResource(p, u"tdump", u"exe", nowhere);
    FAIL();
  } catch (const workflow::Error& e) {
    const std::u16string head = u"Cannot create file \"" + nowhere + u"\". ";
    ASSERT_GT(e.message().size(), head.size());
    EXPECT_EQ(e.message().substr(0, head.size()), head);
    EXPECT_NE(e.message().back(), u'\n');
    EXPECT_NE(e.message().back(), u'\r');
  }
}

TEST(Win32Layer, WriterHeldFileIsASharingViolation) {
  Win32Platform p;
  ScratchDir dir;
  const std::u16string path = dir.path() + u"held.txt";
  ASSERT_TRUE(WriteBytes(path, "abc"));
  // The way cmd's redirection holds its output.
  HANDLE writer = CreateFileW(W(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(p.ReadDenyingWriters(path).outcome.status, Outcome::Status::SharingViolation);
  EXPECT_EQ(p.Rename(path, dir.path() + u"moved.txt").status, Outcome::Status::SharingViolation);
  CloseHandle(writer);

  const auto read = p.ReadDenyingWriters(path);
  ASSERT_TRUE(read.outcome.ok());
  EXPECT_EQ(std::string(read.bytes.begin(), read.bytes.end()), "abc");
  const auto missing = p.ReadDenyingWriters(dir.path() + u"none.txt");
  EXPECT_EQ(missing.outcome.status, Outcome::Status::Failed);
  EXPECT_FALSE(missing.outcome.systemText.empty());

  EXPECT_TRUE(p.Rename(path, dir.path() + u"moved.txt").ok());
  EXPECT_TRUE(p.IsFile(dir.path() + u"moved.txt"));
  EXPECT_FALSE(p.IsFile(path));
}

TEST(Win32Layer, FilesDirectoriesAndShellBasics) {
  Win32Platform p;
  ScratchDir dir;
  const std::u16string sub = dir.path() + u"sub";
  EXPECT_TRUE(p.MakeDirectory(sub).ok());
  EXPECT_EQ(p.MakeDirectory(sub).status, Outcome::Status::AlreadyExists);
  EXPECT_FALSE(p.IsFile(sub));  // a directory is no file
  EXPECT_FALSE(p.Erase(sub));
  ASSERT_TRUE(WriteBytes(sub + u"\\f", "x"));
  EXPECT_FALSE(p.RemoveEmptyDirectory(sub + u"\\"));
  EXPECT_TRUE(p.CopyReplacing(sub + u"\\f", sub + u"\\g"));
  EXPECT_TRUE(p.CopyReplacing(sub + u"\\f", sub + u"\\g"));  // replaces
  EXPECT_TRUE(p.Erase(sub + u"\\f"));
  EXPECT_TRUE(p.Erase(sub + u"\\g"));
  EXPECT_TRUE(p.RemoveEmptyDirectory(sub + u"\\"));
  EXPECT_FALSE(DirectoryExists(sub));

  const std::u16string temp = p.TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), u'\\');
  const std::u16string self = p.ModulePath();
  EXPECT_TRUE(p.IsFile(self));
  EXPECT_EQ(self.substr(self.size() - 4), u".exe");
}

TEST(Win32Layer, CodePagesReportCharactersWithoutAForm) {
  Win32Platform p;
  const unsigned ansi = p.AnsiCodePage();
  const auto chinese = p.Encode(ansi, u"中文");
  const auto accented = p.Encode(p.OemCodePage(), u"é");
  if (ansi == 936) {
    EXPECT_FALSE(chinese.lossy);
    EXPECT_EQ(chinese.bytes, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(p.Decode(936, chinese.bytes), u"中文");
  } else if (ansi == 1252) {
    EXPECT_TRUE(chinese.lossy);
    EXPECT_EQ(p.OemCodePage(), 437u);
    EXPECT_FALSE(accented.lossy);
    EXPECT_EQ(accented.bytes, "\x82");
    EXPECT_EQ(p.Encode(1252, u"é").bytes, "\xE9");
    // Best fit would have said "A" quietly.
    EXPECT_TRUE(p.Encode(1252, u"\u0100").lossy);
  } else {
    ADD_FAILURE() << "unexpected ANSI code page " << ansi;
  }
  EXPECT_EQ(p.Encode(65001, u"中").bytes, "\xE4\xB8\xAD");
  EXPECT_TRUE(p.Encode(65001, u"\xD800").lossy);
}

}  // namespace
}  // namespace kestrova::winetest
