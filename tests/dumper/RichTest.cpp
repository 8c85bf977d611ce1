// The Rich header: found between the DOS stub and the PE header, its checksum
// recomputed, its tools named; damage to it is reported.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

std::uint32_t Rol(std::uint32_t v, unsigned n) {
  n &= 31;
  return n ? (v << n) | (v >> (32 - n)) : v;
}

struct Tool {
  std::uint32_t id;  // product << 16 | build
  std::uint32_t uses;
};

// `f` with a DOS stub and a Rich header for `tools` put before its PE header,
// which moves up to make room; the key is the header's checksum.
std::vector<std::uint8_t> WithRich(const std::vector<std::uint8_t>& f, const std::vector<Tool>& tools) {
  Blob out;
  out.b.assign(f.begin(), f.begin() + 0x40);
  out.Str("stub: not a DOS program", false).Zeros(0x80 - out.Size());
  std::uint32_t key = 0x80;
  for (std::uint32_t i = 0; i < 0x80; ++i)
    if (i < 0x3C || i >= 0x40) key += Rol(out.b[i], i);
  for (const Tool& t : tools) key += Rol(t.id, t.uses);
  out.U32(0x536E6144 ^ key).U32(key).U32(key).U32(key);
  for (const Tool& t : tools) out.U32(t.id ^ key).U32(t.uses ^ key);
  out.Str("Rich", false).U32(key).Align(16);
  std::uint32_t lfanew = out.Size();
  out.b.insert(out.b.end(), f.begin() + 0x40, f.begin() + 0x400 - (lfanew - 0x40));
  out.Put32(0x3C, lfanew);
  out.b.insert(out.b.end(), f.begin() + 0x400, f.end());
  return out.b;
}

const std::vector<Tool> kTools = {{0x01030000 | 30153, 5}, {0x01050000 | 30153, 40}, {0x01040000 | 30153, 3},
                                  {0x00FF0000 | 30153, 1}, {0x01020000 | 30153, 1}, {0x00010000, 120},
                                  {0x00930000 | 30729, 7}};

TEST(GoldenRich, EntriesKeyAndMatchingChecksum) {
  ExpectGolden("rich", Dump(WithRich(Pe32Program().Build(), kTools), "rich.exe"));
}

TEST(GoldenJson, RichEntries) {
  ExpectGolden("rich.json", DumpJson(WithRich(Pe32Program().Build(), kTools), "rich.exe"));
}

TEST(GoldenDamage, RichHeaderEditedOrWithoutStart) {
  std::vector<std::uint8_t> f = WithRich(Pe32Program().Build(), kTools);
  f[0x90 + 8 * 1 + 4] ^= 0x01;  // one use count changed after linking
  ExpectGolden("damage_rich_checksum", Dump(f, "edited.exe"));
  f = WithRich(Pe32Program().Build(), kTools);
  f[0x80] ^= 0xFF;  // the start marker gone
  ExpectGolden("damage_rich_no_start", Dump(f, "nostart.exe"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
