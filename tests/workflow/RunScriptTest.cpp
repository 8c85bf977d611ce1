// The run script's bytes and which names may stand in it bare.
#include <gtest/gtest.h>

#include "tests/workflow/Fakes.h"
#include "workflow/RunScript.h"
#include "workflow/Workflow.h"

namespace kestrova::workflow {
namespace {

using testing::FakePlatform;
using testing::ToBytes;

Bytes ScriptFor(std::u16string_view name, FakePlatform& p) {
  return RunScript(PlanNames(name, p), p);
}

TEST(RunScript, PlainNameIsTheBareLine) {
  FakePlatform p;
  EXPECT_EQ(ScriptFor(u"a.dll", p), ToBytes("tdump.exe a.dll > a.dll.txt\r\n"));
  EXPECT_EQ(ScriptFor(u"My_Lib-2.0+x~y@z#1$[a]{b}.DLL", p),
            ToBytes("tdump.exe My_Lib-2.0+x~y@z#1$[a]{b}.DLL > My_Lib-2.0+x~y@z#1$[a]{b}.DLL.txt\r\n"));
}

TEST(RunScript, NoByteOrderMarkEvenUnderUtf8) {
  FakePlatform p;
  p.ansi = p.oem = 65001;
  EXPECT_EQ(ScriptFor(u"a.dll", p), ToBytes("tdump.exe a.dll > a.dll.txt\r\n"));
}

TEST(RunScript, ChineseNameStandsBareWhereAnsiAndOemAgree) {
  FakePlatform p;  // 936 / 936
  const auto names = PlanNames(u"中文.dll", p);
  EXPECT_FALSE(names.aliased);
  EXPECT_EQ(RunScript(names, p), ToBytes("tdump.exe \xD6\xD0\xCE\xC4.dll > \xD6\xD0\xCE\xC4.dll.txt\r\n"));
}

TEST(RunScript, NamesThatCmdWouldReadOtherwiseAreAliased) {
  FakePlatform p;
  p.ansi = 1252;
  p.oem = 437;
  for (const std::u16string name :
       {u"my file.dll", u"a&b.dll", u"a^b.dll", u"100%.dll", u"%PATH%.dll", u"(x).dll",
        u"wow!.dll", u"a,b.dll", u"a;b.dll", u"a=b.dll", u"it's.dll", u"a|b.dll", u"a<b>.dll",
        u"caf\u00e9.dll",  // in 1252 and 437, at different bytes
        u"\u4e2d.dll",     // not in 1252 at all
        u"-h.dll", u"--help", u"trailing.", u"CON", u"nul.txt", u"Com1.dll", u"LPT9", u"a/b.dll",
        u"TDUMP.EXE", u"Tdump.Bat", u"tab\t.dll", u""}) {
    const auto names = PlanNames(name, p);
    EXPECT_TRUE(names.aliased) << "name index " << name.size();
    EXPECT_EQ(names.listing, name + u".txt");
  }
  // Too long for a path in the work area.
  const std::u16string longName = std::u16string(200, u'a') + u".dll";
  EXPECT_FALSE(PlanNames(longName, p, 50).aliased);
  EXPECT_TRUE(PlanNames(longName, p, 60).aliased);
  // Devices only by their whole base: these are ordinary names.
  for (const std::u16string name : {u"console.dll", u"COM10.dll", u"LPT0.dll", u"nul-1.dll"}) {
    EXPECT_FALSE(PlanNames(name, p).aliased);
  }
}

TEST(RunScript, AliasKeepsAPlainExtension) {
  FakePlatform p;
  auto names = PlanNames(u"my file & (1)%x%.dll", p);
  EXPECT_EQ(names.copy, u"input.dll");
  EXPECT_EQ(names.output, u"listing.txt");
  EXPECT_EQ(RunScript(names, p), ToBytes("tdump.exe input.dll > listing.txt\r\n"));
  EXPECT_EQ(PlanNames(u"TDUMP.EXE", p).copy, u"input.EXE");
  EXPECT_EQ(PlanNames(u"odd name", p).copy, u"input.bin");
  EXPECT_EQ(PlanNames(u"odd.n&me", p).copy, u"input.bin");
}

TEST(UpdateAddress, HostNameAndVersionBackToBack) {
  EXPECT_EQ(UpdateAddress(u"Kestrova", u"1.0"), u"http://" KESTROVA_UPDATE_HOST u"/?v=Kestrova1.0");
  EXPECT_EQ(UpdateAddress(u"a b&c", u""), u"http://" KESTROVA_UPDATE_HOST u"/?v=a b&c");
}

}  // namespace
}  // namespace kestrova::workflow
