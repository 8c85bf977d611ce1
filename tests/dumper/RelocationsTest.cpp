// Base relocations: one line per block with counts by type, and the damage a
// block list can carry.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

struct Block {
  std::uint32_t page;
  std::vector<std::uint16_t> entries;  // type << 12 | offset
  std::uint32_t size = 0;              // 0: the real size
};

PeBuilder WithRelocations(bool pe32plus, const std::vector<Block>& blocks) {
  PeBuilder pe(pe32plus);
  pe.Add(".text", kCode).data.Zeros(0x100);
  pe.Add(".data", kData).data.Zeros(0x100);
  pe.Add(".reloc", kRData);
  PeBuilder::Section& r = pe.sections[2];
  for (const Block& b : blocks) {
    r.data.U32(b.page).U32(b.size ? b.size : 8 + 2 * static_cast<std::uint32_t>(b.entries.size()));
    for (std::uint16_t e : b.entries) r.data.U16(e);
  }
  pe.dirs[5] = {r.va, r.data.Size()};
  return pe;
}

TEST(GoldenRelocations, OneLinePerBlockWithCountsByType) {
  PeBuilder pe = WithRelocations(false, {{0x1000, {0x3010, 0x3020, 0x3030, 0x0000}},
                                         {0x2000, {0x1004, 0x2008, 0x400C, 0x1234, 0x3010, 0x0000}}});
  ExpectGolden("relocations", Dump(pe.Build(), "reloc.dll"));
}

TEST(GoldenDamage, RelocationTypesInvalidAndTargetsOutside) {
  PeBuilder pe = WithRelocations(true, {{0x1000, {0xA010, 0x6020, 0x6030, 0xB040}},
                                        {0x00F00000, {0xA000, 0xA008}},
                                        {0x3000, {0xAFFC}}});  // 8 bytes from 0x3FFC pass the image's end
  ExpectGolden("damage_relocations_entries", Dump(pe.Build(), "types.dll"));
}

// The same blocks in JSON: counts by type, named or by number, and a page in no section.
TEST(GoldenJson, RelocationBlocks) {
  PeBuilder pe = WithRelocations(true, {{0x1000, {0xA010, 0x6020, 0x6030, 0xB040}},
                                        {0x00F00000, {0xA000, 0xA008}},
                                        {0x3000, {0xAFFC}}});
  ExpectGolden("relocations.json", DumpJson(pe.Build(), "types.dll"));
}

TEST(GoldenDamage, RelocationBlockSizesThatWouldLoopOrOverrun) {
  // A block claiming no bytes at all would have the walk stand still.
  PeBuilder zero = WithRelocations(true, {{0x1000, {0xA010, 0xA018}}, {0x2000, {}, 0}});
  zero.sections[2].data.Put32(16, 0);
  ExpectGolden("damage_relocations_size_zero", Dump(zero.Build(), "zero.dll"));
  PeBuilder cut = WithRelocations(true, {{0x1000, {0xA010, 0xA018}}, {0x2000, {0xA000}, 0x1800}});
  cut.dirs[5][1] = 0x2000;  // and the directory runs past its section as mapped
  ExpectGolden("damage_relocations_cut", Dump(cut.Build(), "cut.dll"));
}

TEST(GoldenDamage, RelocationBlockIntoTheZeroFill) {
  // As in corkami's fakerelocs.exe: the block is longer than its section's file
  // data, and the loader reads the zeros after it as padding entries.
  PeBuilder pe = WithRelocations(false, {{0x1000, {0x3010, 0x3020}, 0x240}});
  pe.sections[2].virtualSize = 0x400;
  pe.dirs[5][1] = 0x240;
  ExpectGolden("damage_relocations_zero_fill", Dump(pe.Build(), "fill.dll"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
