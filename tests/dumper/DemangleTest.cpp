// The demanglers by hand: the '@' scheme has no peer to check against, so each
// rule of the grammar at the top of Borland.cpp has a case here, and so does
// every kind of name that must stay raw. The other schemes are checked against
// their peers over real names by tests/corpus/demangle_crosscheck.py.
#include <gtest/gtest.h>

#include <string>

#include "dumper/demangle/Demangle.h"

namespace kestrova::dumper::demangle {
namespace {

std::string B(std::string_view name) { return DemangleBorland(name).value_or("(raw)"); }

TEST(Borland, DecodesWhatTheGrammarDescribes) {
  struct Case {
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      // scope* member $q convention params; 'p' pointer, 'v' void
      {"@Classes@TList@Add$qqrpv", "__fastcall Classes::TList::Add(void *)"},
      // unit-level procedure without parameters
      {"@System@Finalization$qqrv", "__fastcall System::Finalization()"},
      // constructor and destructor take the last scope's name
      {"@Classes@TList@$bctr$qqrv", "__fastcall Classes::TList::TList()"},
      {"@Classes@TList@$bdtr$qqrv", "__fastcall Classes::TList::~TList()"},
      // 'x' const; length-prefixed class names with their own scopes; 'i' int
      {"@Sysutils@Format$qqrx17System@AnsiStringpx14System@TVarReci",
       "__fastcall Sysutils::Format(const System::AnsiString, const System::TVarRec *, int)"},
      // no convention letters: __cdecl; 'e' a trailing ellipsis
      {"@Io@Print$qpxce", "__cdecl Io::Print(const char *, ...)"},
      // 'qs' __stdcall; 'u' unsigned; 't' repeats parameter 1
      {"@Win@Move$qqsuiuct1", "__stdcall Win::Move(unsigned int, unsigned char, unsigned int)"},
      // '$b' operators; 'r' reference
      {"@Vec@$basg$qqrrx3Vec", "__fastcall Vec::operator =(const Vec &)"},
      {"@Vec@$bsubs$qqri", "__fastcall Vec::operator [](int)"},
      // '$o' conversion operator
      {"@Vec@$oi$qqrv", "__fastcall Vec::operator int()"},
      // 'pp' pointer to pointer, 'zc' signed char, 'w' volatile
      {"@A@F$qppzcwi", "__cdecl A::F(signed char **, volatile int)"},
      // a pointer that is itself const
      {"@A@G$qxpc", "__cdecl A::G(char * const)"},
      // variables have no '$q'
      {"@Forms@Application", "Forms::Application"},
      // type descriptors
      {"@$xp$14System@TObject", "type descriptor of System::TObject *"},
      {"@$xt$6Io@Buf", "type descriptor of Io::Buf"},
  };
  for (const Case& c : cases) EXPECT_EQ(B(c.name), c.text) << c.name;
}

TEST(Borland, LeavesRawWhatItIsNotSureOf) {
  const char* raw[] = {
      "@Unit@F$qqrz",               // unknown type code
      "@Unit@F$qqrp",               // pointer to nothing
      "@%Vec$i%@Push$qqri",         // templates are not decoded
      "@Unit@F$qqrv$",              // something left over
      "@Unit@F$qqrvi",              // 'v' then more parameters
      "@Unit@F$qqr99System@X",      // class name runs past the end
      "@Unit@F$qqrt1",              // repeat of a parameter not yet seen
      "@Unit@F$qqr3A@@",            // empty scope inside a class name
      "@Unit@$bxyz$qv",             // unknown operator
      "@$bctr$qqrv",                // constructor of no class
      "@System@@LStrClr$qqrpv",     // compiler helper with an empty scope
      "@Unit@F$qqx",                // unknown convention
      "@Unit@",                     // trailing scope
  };
  for (const char* r : raw) EXPECT_EQ(B(r), "(raw)") << r;
}

TEST(Demangle, PicksTheSchemeByTheFirstCharacters) {
  Result ms = Demangle("?Open@CFile@@UAEHPBDI@Z", false);
  EXPECT_EQ(ms.scheme, Scheme::Microsoft);
  EXPECT_EQ(ms.text, "public: virtual int __thiscall CFile::Open(char const *, unsigned int)");
  Result it = Demangle("_ZN4Kest4OpenEPKcj", false);
  EXPECT_EQ(it.scheme, Scheme::Itanium);
  EXPECT_EQ(it.text, "Kest::Open(char const*, unsigned int)");
  EXPECT_EQ(Demangle("@Classes@TList@Add$qqrpv", false).scheme, Scheme::Borland);
  EXPECT_EQ(Demangle("GetProcAddress", true).scheme, Scheme::None);
  EXPECT_EQ(Demangle("?Open@CFile@@UAEHPBDI", false).scheme, Scheme::None);  // cut short
}

TEST(Demangle, CDecorationsOnlyWhereTheyMeanSomething) {
  EXPECT_EQ(Demangle("_Sleep@4", true).text, "__stdcall Sleep (4 bytes of arguments)");
  EXPECT_EQ(Demangle("@Add@8", true).text, "__fastcall Add (8 bytes of arguments)");
  EXPECT_EQ(Demangle("Sleep@4", true).text, "__stdcall Sleep (4 bytes of arguments)");
  EXPECT_EQ(Demangle("Dot@@16", false).text, "__vectorcall Dot (16 bytes of arguments)");
  // mingw's decorated C++ functions: the GNU name inside.
  Result st = Demangle("_ZN5outer7StdcallEii@8", true);
  EXPECT_EQ(st.scheme, Scheme::Itanium);
  EXPECT_EQ(st.text, "__stdcall outer::Stdcall(int, int) (8 bytes of arguments)");
  EXPECT_EQ(Demangle("@_ZN5outer8FastcallEii@8", true).text, "__fastcall outer::Fastcall(int, int) (8 bytes of arguments)");
  EXPECT_EQ(Demangle("_Sleep@4", false).scheme, Scheme::None);  // a 64-bit image has no such convention
  EXPECT_EQ(Demangle("_Sleep@3", true).scheme, Scheme::None);   // not a whole number of slots
  EXPECT_EQ(Demangle("_Sleep@", true).scheme, Scheme::None);
}

TEST(Demangle, HostileNamesStayRawAndCheap) {
  // Deep nesting: pointers to pointers, templates in templates.
  std::string deep = "?x@@3" + std::string(3000, 'P') + "AHA";
  EXPECT_EQ(Demangle(deep, false).scheme, Scheme::None);
  std::string nest = "?x@@3V";
  for (int i = 0; i < 500; ++i) nest += "?$A@V";
  EXPECT_EQ(Demangle(nest, false).scheme, Scheme::None);
  // Back-references that double the text at every step.
  std::string dbl = "?f@@YAXV?$A@H@@";
  for (int i = 0; i < 9; ++i) dbl += "V?$A@V" + std::to_string(i) + "@" + std::to_string(i) + "@@";
  dbl += "@Z";
  EXPECT_EQ(Demangle(dbl, false).scheme, Scheme::None);
  // A conversion operator that is not a function has no name to show.
  EXPECT_EQ(Demangle("??B?$_8?$ba@@@7B?$bsii@@@@", false).scheme, Scheme::None);
  // Over the input cap.
  EXPECT_EQ(Demangle("?" + std::string(kMaxInput, 'a') + "@@3HA", false).scheme, Scheme::None);
  EXPECT_EQ(Demangle("_Z" + std::string(kMaxInput, 'N'), false).scheme, Scheme::None);
  std::string bor = "@A@F$q";
  for (int i = 0; i < 2000; ++i) bor += 'p';
  EXPECT_EQ(Demangle(bor + "i", false).scheme, Scheme::None);
}

}  // namespace
}  // namespace kestrova::dumper::demangle

#include "dumper/Cli.h"
#include "dumper/Dump.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

// A 32-bit DLL that exports and imports a name of every scheme and a broken
// one of each: the readable form follows the raw name, and the summary counts them.
std::vector<std::uint8_t> MangledLibrary() {
  PeBuilder pe(false);
  PeBuilder::Section& text = pe.Add(".text", kCode);
  text.data.Zeros(0x40).U8(0xC3);
  PeBuilder::Section& rdata = pe.Add(".rdata", kRData);
  ExportPlan e;
  e.dll = "mangled.dll";
  const char* names[] = {
      "?Open@CFile@@UAEHPBDI",    "?Open@CFile@@UAEHPBDI@Z", "@Add@8",
      "@Classes@TList@Add$qqrpv", "@Classes@TList@Add$qqrz", "Plain",
      "_Sleep@4",                 "_ZN4Kest4Open",           "_ZN4Kest4OpenEPKcj",
  };
  for (std::uint16_t i = 0; i < std::size(names); ++i) {
    e.functions.push_back({static_cast<std::uint32_t>(0x1000 + 4 * i), ""});
    e.names.push_back({names[i], i});
  }
  auto ex = WriteExports(rdata, e);
  pe.dirs[0] = {ex[0], ex[1]};
  PeBuilder::Section& idata = pe.Add(".idata", kData);
  std::vector<DllPlan> dlls = {{"msvcp140.dll", {{"??0exception@std@@QAE@ABQBD@Z", 1}, {"??0exception@std@@QAE@ABQ", 2}}},
                               {"libstdc++-6.dll", {{"_ZdlPv", 3}, {"_ZdlP", 4}}},
                               {"rtl.bpl", {{"@System@Finalization$qqrv", 5}, {"@System@@Halt0$qqrv", 6}}}};
  std::vector<std::uint32_t> iats;
  pe.dirs[1] = {WriteImports(pe, idata, dlls, &iats), 80};
  return pe.Build();
}

TEST(GoldenFeatures, MangledNamesOfEverySchemeReadableBesideTheRawOnes) {
  ExpectGolden("mangled_names", Dump(MangledLibrary(), "mangled.dll"));
}

TEST(Features, RawListingShowsNoReadableForms) {
  Options raw;
  raw.demangle = false;
  std::string listing = DumpToString(MangledLibrary(), "mangled.dll", raw);
  EXPECT_EQ(listing.find("  = "), std::string::npos);
  EXPECT_EQ(listing.find("Demangled names"), std::string::npos);
  EXPECT_NE(listing.find("?Open@CFile@@UAEHPBDI@Z  args unknown\n"), std::string::npos);
}

TEST(Cli, RawAndNoDemangleTurnTheReadableFormsOff) {
  struct Files final : FileSource {
    bool Read(std::size_t, std::vector<std::uint8_t>& bytes, std::string&) override {
      bytes = MangledLibrary();
      return true;
    }
  } files;
  struct Text final : Sink {
    void Write(std::string_view t) override { s.append(t); }
    std::string s;
  };
  for (const char* flag : {"--raw", "--no-demangle", ""}) {
    Text out;
    std::vector<std::string> args = {"mangled.dll"};
    if (*flag) args.insert(args.begin(), flag);
    EXPECT_EQ(RunCli(args, files, out), 0);
    EXPECT_EQ(out.s.find("  = public: virtual int") == std::string::npos, *flag != 0) << flag;
  }
}

}  // namespace
}  // namespace kestrova::dumper::testing
