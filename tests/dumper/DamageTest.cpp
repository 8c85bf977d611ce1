// One listing per kind of damage: the tool must say what is wrong, where,
// and keep going with what still validates.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

TEST(GoldenDamage, TruncatedHeaders) {
  std::vector<std::uint8_t> f = Pe32PlusLibrary().Build();
  f.resize(PeBuilder::kOptional + 70);  // inside the optional header, after CheckSum's start
  ExpectGolden("damage_truncated_headers", Dump(f, "cut.dll"));
}

TEST(GoldenDamage, LfanewOutOfRange) {
  std::vector<std::uint8_t> f = Pe32Program().Build();
  Put32(f, 0x3C, 0xFFFFFFF0);
  ExpectGolden("damage_lfanew", Dump(f, "far.exe"));
}

TEST(GoldenDamage, SectionTablePastEndAndCountsTooLarge) {
  std::vector<std::uint8_t> f = Pe32Program().Build();
  Put16(f, PeBuilder::kCoff + 2, 0xFFFF);
  Put32(f, PeBuilder::kOptional + 92, 0x7FFFFFFF);  // NumberOfRvaAndSizes
  ExpectGolden("damage_section_table", Dump(f, "many.exe"));
}

TEST(GoldenDamage, ExportCountsTooLargeAndNameOutside) {
  PeBuilder pe = Pe32PlusLibrary();
  std::vector<std::uint8_t> f = pe.Build();
  std::uint32_t dir = pe.dirs[0][0] - pe.sections[1].va + PeBuilder::kHeaders + 0x200;
  Put32(f, dir + 20, 0x40000000);  // NumberOfFunctions
  Put32(f, dir + 24, 0x40000000);  // NumberOfNames
  ExpectGolden("damage_export_counts", Dump(f, "counts.dll"));
  f = pe.Build();
  std::uint32_t names = 0;
  for (int i = 0; i < 4; ++i) names |= std::uint32_t{f[dir + 32 + static_cast<std::size_t>(i)]} << (8 * i);
  Put32(f, names - pe.sections[1].va + PeBuilder::kHeaders + 0x200 + 4, 0x7FFFFFF0);  // second name
  ExpectGolden("damage_export_name_outside", Dump(f, "names.dll"));
}

TEST(GoldenDamage, DirectoryOutsideEverySection) {
  PeBuilder pe = Pe32Program();
  pe.dirs[1] = {0x00F00000, 40};
  pe.dirs[0] = {0x00E00000, 40};
  ExpectGolden("damage_rva_outside", Dump(pe.Build(), "lost.exe"));
}

// A last section whose raw data ends inside a name or a thunk list: the walk
// must stop at the end of the file and say where.
// The section fills its last page, so no zero fill follows: the name and the
// lookup table really run off the end of the image.
TEST(GoldenDamage, UnterminatedNameAndThunkListOffTheEnd) {
  PeBuilder pe(false);
  pe.Add(".text", kCode).data.Zeros(0x10);
  PeBuilder::Section& s = pe.Add(".idata", kData);
  Blob& d = s.data;
  d.Zeros(40);                          // descriptor + null descriptor
  d.Put32(0, s.va + 0x1000 - 20);        // lookup table: two entries, then the name's bytes
  d.Put32(12, s.va + 0x1000 - 12);       // name: the last 12 bytes, no NUL
  d.Put32(16, s.va + 0x1000 - 20);
  d.U16(7).Str("Hinted");               // a good hint/name entry at RVA va + 40
  d.Zeros(0x1000 - 20 - d.Size());
  d.U32(s.va + 40).U32(s.va + 40);
  d.Str("UNTERMINATED", false);         // 12 bytes up to the end of the file and of the image
  pe.dirs[1] = {s.va, 40};
  std::vector<std::uint8_t> f = pe.Build();
  ASSERT_EQ(f.size(), PeBuilder::kHeaders + 0x200 + 0x1000);
  ExpectGolden("damage_unterminated", Dump(f, "runoff.dll"));
}

// Descriptors that all share one long lookup table: the total work is capped
// by what the file could hold, not multiplied by the reuse.
TEST(Damage, ReusedTablesStopAtTheBudget) {
  PeBuilder pe(true);
  pe.Add(".text", kCode).data.Zeros(0x10);
  PeBuilder::Section& s = pe.Add(".idata", kData);
  const std::uint32_t descriptors = 400, thunks = 600;
  Blob& d = s.data;
  d.Zeros(20 * (descriptors + 1));
  std::uint32_t table = s.Rva();
  for (std::uint32_t i = 0; i < thunks; ++i) d.U64(0x8000000000000001ull);
  d.U64(0);
  std::uint32_t name = s.Rva();
  d.Str("LOOP.dll");
  for (std::uint32_t i = 0; i < descriptors; ++i) {
    d.Put32(20 * i, table);
    d.Put32(20 * i + 12, name);
    d.Put32(20 * i + 16, table);
  }
  pe.dirs[1] = {s.va, 20 * descriptors};
  std::vector<std::uint8_t> f = pe.Build();
  std::string listing = Dump(f, "loop.dll");
  EXPECT_NE(listing.find("more import entries than the file can hold"), std::string::npos);
  EXPECT_LT(listing.size(), (4u << 20) + 16 * f.size() + 4096);
  EXPECT_NE(listing.find("== Anomalies =="), std::string::npos);
}

// Every prefix of a full image and every single-byte change of its headers
// and tables gives a complete listing (banner first, summary last).
TEST(Damage, EveryTruncationAndByteFlipStillLists) {
  std::vector<std::uint8_t> full = Pe32PlusLibrary().Build();
  auto complete = [](const std::string& s) {
    return s.rfind("Kestrova Dump", 0) == 0 && s.find("== Anomalies ==") != std::string::npos;
  };
  for (std::size_t n = 0; n <= full.size(); n += 3) {
    std::vector<std::uint8_t> f(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    ASSERT_TRUE(complete(Dump(f, "t.dll"))) << "prefix " << n;
  }
  for (std::size_t at = 0; at < full.size(); ++at) {
    for (std::uint8_t v : {std::uint8_t{0xFF}, std::uint8_t{0x00}, std::uint8_t{0x7F}}) {
      std::vector<std::uint8_t> f = full;
      if (f[at] == v) continue;
      f[at] = v;
      ASSERT_TRUE(complete(Dump(f, "f.dll"))) << "byte " << at << " = " << int{v};
    }
  }
}

}  // namespace
}  // namespace kestrova::dumper::testing

namespace kestrova::dumper::testing {
namespace {

bool Has(const std::string& listing, const std::string& text) { return listing.find(text) != std::string::npos; }

TEST(Damage, BoundImportsAndCertificateOutOfPlace) {
  PeBuilder pe = Pe32PlusLibrary();
  // The module claims 3000 forwarder references; the directory holds none of them.
  pe.headerExtra.Put16(6, 3000);
  pe.headerExtra.Put16(4, 0x7000);  // its name: far outside the directory
  pe.dirs[4] = {0x100000, 0x200};   // certificate: a file offset past the end
  std::string listing = Dump(pe.Build(), "bound.dll");
  EXPECT_TRUE(Has(listing, "forwarder references run off the end of the bound import data; stopped"));
  EXPECT_TRUE(Has(listing, "bound import name is not a terminated string inside the directory (file offset 0x71F0)"));
  EXPECT_TRUE(Has(listing, "certificate table (0x200 bytes) lies outside the file (file offset 0x100000)"));
  EXPECT_TRUE(Has(listing, "file offset, outside the file"));
}

TEST(Damage, OverlappingSectionsAndRawDataPastTheEnd) {
  PeBuilder pe = Pe32Program();
  std::vector<std::uint8_t> f = pe.Build();
  const std::size_t second = pe.SectionTable() + 40;
  Put32(f, second + 12, 0x1000);      // .idata's VirtualAddress onto .text
  Put32(f, second + 16, 0x10000);     // SizeOfRawData far past the file
  std::string listing = Dump(f, "overlap.exe");
  EXPECT_TRUE(Has(listing, "section 2 starts inside or before section 1"));
  EXPECT_TRUE(Has(listing, "section 2 raw data runs past the end of the file (0x10000 bytes wanted, 0x200 there)"));
  EXPECT_TRUE(Has(listing, "== Anomalies =="));
}

}  // namespace
}  // namespace kestrova::dumper::testing
