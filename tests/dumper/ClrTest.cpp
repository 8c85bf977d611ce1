// The .NET part on two small assemblies built with mcs (tests/dumper/clr), and
// on copies of one damaged in the ways a hostile file would.
#include <fstream>
#include <iterator>

#include "dumper/pe/Clr.h"
#include "dumper/pe/Parse.h"
#include "tests/dumper/Golden.h"

namespace kestrova::dumper::testing {
namespace {

using namespace pe::clr;

std::vector<std::uint8_t> Assembly(const char* name) {
  std::ifstream f(std::string(KESTROVA_SOURCE_DIR) + "/tests/dumper/clr/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// The part and the summary: the header parts have goldens of their own.
std::string ClrPart(const std::vector<std::uint8_t>& bytes, std::string_view name) {
  std::string listing = Dump(bytes, name);
  std::size_t at = listing.find("== .NET assembly ==");
  return at == std::string::npos ? listing : listing.substr(at);
}

// Where things are in a file, found by the reader itself, so the damage lands
// on the byte it means to hit.
struct Located {
  std::vector<std::uint8_t> bytes;
  io::Reader file;
  pe::Anomalies an;
  pe::Headers h;
  pe::AddressMap map;
  pe::Budget budget;
  pe::Options options;
  pe::Context ctx;
  pe::ClrInfo clr;
  explicit Located(std::vector<std::uint8_t> b)
      : bytes(std::move(b)), file(bytes), h(pe::ParseHeaders(file, an)), map(file, h), budget(bytes.size()),
        ctx{file, h, map, budget, an, options}, clr(pe::ParseClr(ctx)) {}
  const Metadata& md() const { return *clr.md; }
  void Put16(std::uint64_t at, std::uint16_t v) { testing::Put16(bytes, at, v); }
};

TEST(Clr, ProgramWithGenericsNestedTypesPInvokeAndEntryPoint) {
  ExpectGolden("clr_program", ClrPart(Assembly("Hello.exe"), "Hello.exe"));
}

TEST(Clr, ProgramInJson) {
  ExpectGolden("clr.json", DumpJson(Assembly("Hello.exe"), "Hello.exe"));
}

TEST(Clr, StrongNamedLibraryWithResource) {
  // The token is that of the key in test.snk (SHA-1 by Python's hashlib: ...dfc91bf004c614fe).
  std::string part = ClrPart(Assembly("Signed.dll"), "Signed.dll");
  EXPECT_NE(part.find("PublicKeyToken                    DFC91BF004C614FE\n"), std::string::npos);
  ExpectGolden("clr_library", part);
}

TEST(Clr, TypeForwarders) {
  ExpectGolden("clr_forwarders", ClrPart(Assembly("Fwd.dll"), "Fwd.dll"));
}

TEST(ClrDamage, RowCountPastTheStream) {
  Located l(Assembly("Hello.exe"));
  // TypeDef's count is the third of the counts (Module, TypeRef, TypeDef).
  Put32(l.bytes, l.md().tablesOffset + 24 + 8, 0x00FFFFFF);
  ExpectGolden("clr_damage_row_count", ClrPart(l.bytes, "Hello.exe"));
}

TEST(ClrDamage, CodedIndexWithBadTag) {
  Located l(Assembly("Hello.exe"));
  // Demo.Native extends a "table 3" of TypeDefOrRef, which has only three.
  std::uint64_t at = l.md().ColumnOffset(kTypeDef, 2, col::kTypeDefExtends);
  l.Put16(at, static_cast<std::uint16_t>(l.bytes[at] | 3));
  ExpectGolden("clr_damage_coded_tag", ClrPart(l.bytes, "Hello.exe"));
}

TEST(ClrDamage, StringIndexPastTheHeap) {
  Located l(Assembly("Hello.exe"));
  l.Put16(l.md().ColumnOffset(kTypeDef, 3, col::kTypeDefName), 0xFFF0);
  ExpectGolden("clr_damage_string_index", ClrPart(l.bytes, "Hello.exe"));
}

TEST(ClrDamage, TypeSpecThatContainsItself) {
  Located l(Assembly("Hello.exe"));
  // Each TypeSpec row made a generic instance of itself: GENERICINST CLASS <this row> 1 !0,
  // and Demo.Circle derived from the first.
  for (std::uint32_t row = 1; row <= l.md().Rows(kTypeSpec); ++row) {
    auto blob = l.md().Blob(l.md().Col(kTypeSpec, row, col::kTypeSpecSig));
    ASSERT_TRUE(blob && blob->Size() >= 5);
    std::uint64_t at = blob->Base();
    for (std::uint32_t b : {0x15u, 0x12u, row << 2 | 2, 0x01u, 0x13u}) l.bytes[at++] = static_cast<std::uint8_t>(b);
  }
  l.Put16(l.md().ColumnOffset(kTypeDef, 7, col::kTypeDefExtends), 1 << 2 | 2);
  std::string part = ClrPart(l.bytes, "Hello.exe");
  EXPECT_NE(part.find("nests too deep"), std::string::npos);
  ExpectGolden("clr_damage_recursive_signature", part);
}

}  // namespace
}  // namespace kestrova::dumper::testing
