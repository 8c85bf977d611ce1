// One listing per feature, compared with its expected text.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

TEST(GoldenFeatures, Pe32ProgramWithImportsByNameAndOrdinal) {
  ExpectGolden("pe32_program", Dump(Pe32Program().Build(), "prog.exe"));
}

TEST(GoldenFeatures, Pe32PlusLibraryWithAllTables) {
  ExpectGolden("pe32plus_library", Dump(Pe32PlusLibrary().Build(), "sample.dll"));
}

// The same image in JSON: headers, sections, directories, every kind of import and export row.
TEST(GoldenJson, HeadersImportsAndExports) {
  ExpectGolden("headers_imports_exports.json", DumpJson(Pe32PlusLibrary().Build(), "sample.dll"));
}

TEST(GoldenFeatures, NotAnExecutableAndPlainDos) {
  std::vector<std::uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
  ExpectGolden("not_executable", Dump(text, "notes.txt"));
  std::vector<std::uint8_t> dos = Pe32Program().Build();
  dos.resize(0x80);
  Put32(dos, 0x3C, 0);  // no new header at all
  ExpectGolden("dos_program", Dump(dos, "old.exe"));
}

TEST(GoldenFeatures, EveryMachineAndFlagHasAName) {
  // A listing that names all header enumerations at once: a 64-bit image for
  // ARM64EC with every characteristic bit set, in every DLL flag, and ARMNT/ARM64X machines.
  for (auto [machine, name] : {std::pair<std::uint16_t, const char*>{0xA641, "ARM64EC"},
                               {0xA64E, "ARM64X"}, {0x01C4, "ARMNT"}, {0xAA64, "ARM64"}, {0x6264, "LOONGARCH64"}}) {
    PeBuilder pe(true);
    pe.Add(".text", kCode).data.Zeros(0x10);
    pe.machine = machine;
    std::string listing = Dump(pe.Build(), "m.dll");
    EXPECT_NE(listing.find(std::string("machine ") + name + "\n"), std::string::npos) << name;
  }
  PeBuilder pe(true);
  pe.Add(".text", 0xFFFFFFFF).data.Zeros(0x10);
  pe.characteristics = 0xFFFF;
  pe.dllCharacteristics = 0xFFFF;
  pe.subsystem = 16;
  ExpectGolden("all_flags", Dump(pe.Build(), "flags.dll"));
}

}  // namespace
}  // namespace kestrova::dumper::testing

namespace kestrova::dumper::testing {
namespace {

bool Has(const std::string& listing, const std::string& line) { return listing.find(line) != std::string::npos; }

// The early delay-load form stores virtual addresses, not RVAs: the names
// are only found when the image base is taken off.
TEST(Features, OldDelayLoadFormHoldsAddresses) {
  PeBuilder pe(false);
  pe.Add(".text", kCode).data.Zeros(0x10);
  PeBuilder::Section& s = pe.Add(".didat", kData);
  std::uint32_t dir = WriteImports(pe, s, {{"OLD.dll", {{"Legacy", 9}}, 0}}, nullptr, true);
  std::uint32_t at = dir - s.va;
  const std::uint32_t base = static_cast<std::uint32_t>(pe.imageBase);
  s.data.Put32(at, 0);  // attributes: addresses
  std::uint32_t names = s.data.Get32(at + 16) - s.va;
  for (std::uint32_t field : {4u, 8u, 12u, 16u}) s.data.Put32(at + field, s.data.Get32(at + field) + base);
  s.data.Put32(names, s.data.Get32(names) + base);  // the lookup entry too
  pe.dirs[13] = {dir, 64};
  std::string listing = Dump(pe.Build(), "old.exe");
  EXPECT_TRUE(Has(listing, "  DLL OLD.dll\n")) << listing;
  EXPECT_TRUE(Has(listing, "attributes 00000000 (addresses, old form)"));
  EXPECT_TRUE(Has(listing, "      9  Legacy\n"));
  EXPECT_TRUE(Has(listing, "  none found\n"));
}

// Names from the file never break the listing: control bytes, broken
// UTF-8 and direction overrides come out escaped; good UTF-8 stays.
TEST(Features, HostileNamesAreEscapedAndTheListingStaysUtf8) {
  PeBuilder pe(true);
  pe.Add(".text", kCode).data.Zeros(0x10);
  PeBuilder::Section& r = pe.Add(".rdata", kRData);
  ExportPlan e;
  e.dll = "evil\x1B[2J.dll";
  e.functions = {{0x1000, ""}, {0x1004, ""}, {0x1008, ""}};
  e.names = {{"Ok\xE5\x90\x8D", 0}, {"bad\xFF\xFE", 1}, {"rtl\xE2\x80\xAEtxt.exe", 2}};
  auto ex = WriteExports(r, e);
  pe.dirs[0] = {ex[0], ex[1]};
  std::string listing = Dump(pe.Build(), "names\n.dll");
  EXPECT_TRUE(Has(listing, "evil\\x1B[2J.dll"));
  EXPECT_TRUE(Has(listing, "Ok\xE5\x90\x8D\n"));
  EXPECT_TRUE(Has(listing, "bad\\xFF\\xFE\n"));
  EXPECT_TRUE(Has(listing, "rtl\\u{202E}txt.exe\n"));
  EXPECT_TRUE(Has(listing, "names\\x0A.dll\n"));
  EXPECT_FALSE(Has(listing, "\x1B"));
}

// Long section names ("/4") come from the COFF string table.
TEST(Features, LongSectionNamesFromTheStringTable) {
  PeBuilder pe(true);
  pe.Add(".text", kCode).data.Zeros(0x10);
  pe.Add("/4", kRData).data.Zeros(0x10);
  std::vector<std::uint8_t> f = pe.Build();
  std::uint32_t table = static_cast<std::uint32_t>(f.size());
  Put32(f, PeBuilder::kCoff + 8, table);  // PointerToSymbolTable, no symbols
  Blob strings;
  strings.U32(0).Str(".debug_info");
  Put32(strings.b, 0, strings.Size());
  f.insert(f.end(), strings.b.begin(), strings.b.end());
  std::string listing = Dump(f, "long.dll");
  EXPECT_TRUE(Has(listing, "   2  .debug_info  ")) << listing;
  EXPECT_TRUE(Has(listing, "name field /4\n"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
