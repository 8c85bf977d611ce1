// The function table: x64 unwind information with handlers and chains, the
// ARM64 and ARMNT forms, and the damage a table can carry.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

// x64 unwind information: header, `codes` two-byte codes (padded to even), then `tail`.
std::uint32_t Unwind(PeBuilder::Section& s, std::uint8_t flags, std::uint8_t prolog, std::uint8_t codes,
                     std::uint8_t frame, const std::vector<std::uint32_t>& tail) {
  Blob& d = s.data;
  d.Align(4);
  std::uint32_t at = s.Rva();
  d.U8(static_cast<std::uint8_t>(1 | (flags << 3))).U8(prolog).U8(codes).U8(frame);
  for (unsigned i = 0; i < codes; ++i) d.U8(prolog).U8(0x42);  // ALLOC_SMALL at the prolog's end
  if (codes % 2) d.U16(0);
  for (std::uint32_t v : tail) d.U32(v);
  return at;
}

struct Fn {
  std::uint32_t begin, end, unwind;
};

// A 64-bit image with .text, .xdata and a .pdata built by `fill`, its table at `at` in .pdata.
template <class Fill>
PeBuilder X64Image(Fill fill, std::uint32_t at = 0) {
  PeBuilder pe(true);
  pe.Add(".text", kCode).data.Zeros(0x200);
  pe.Add(".xdata", kRData);
  pe.Add(".pdata", kRData);
  PeBuilder::Section& x = pe.sections[1];
  PeBuilder::Section& p = pe.sections[2];
  std::vector<Fn> fns = fill(x, p.va);
  p.data.Zeros(at);
  for (const Fn& f : fns) p.data.U32(f.begin).U32(f.end).U32(f.unwind);
  pe.dirs[3] = {p.va + at, 12 * static_cast<std::uint32_t>(fns.size())};
  return pe;
}

// Plain, framed with both handlers, chained once and twice, and an entry that shares another's unwind data.
PeBuilder X64Samples() {
  return X64Image([](PeBuilder::Section& x, std::uint32_t pdata) {
    std::uint32_t plain = Unwind(x, 0, 4, 1, 0, {});
    std::uint32_t guarded = Unwind(x, 3, 8, 3, 0x25, {0x1100, 0xABCD});  // RBP + 0x20, both handlers
    std::uint32_t chained = Unwind(x, 4, 2, 1, 0, {0x1020, 0x1080, guarded});
    std::uint32_t twice = Unwind(x, 4, 0, 0, 0, {0x1080, 0x1090, chained});
    return std::vector<Fn>{{0x1000, 0x1020, plain}, {0x1020, 0x1080, guarded}, {0x1080, 0x1090, chained},
                           {0x1090, 0x10A0, twice}, {0x10A0, 0x10B0, pdata | 1}};
  });
}

TEST(GoldenException, X64HandlersChainsAndFrames) {
  ExpectGolden("exception_x64", Dump(X64Samples().Build(), "unwind.dll"));
}

TEST(GoldenException, X64InJson) {
  ExpectGolden("exception.json", PartJson(DumpJson(X64Samples().Build(), "unwind.dll"), "Exception") + "\n");
}

TEST(GoldenException, Arm64AndArmNtPackedAndRecords) {
  for (bool a64 : {true, false}) {
    PeBuilder pe(a64);
    pe.machine = a64 ? 0xAA64 : 0x01C4;
    pe.Add(".text", kCode).data.Zeros(0x200);
    pe.Add(".xdata", kRData);
    pe.Add(".pdata", kRData);
    PeBuilder::Section& x = pe.sections[1];
    PeBuilder::Section& p = pe.sections[2];
    // A record with a handler after one epilog scope and two code words, and one
    // whose counts overflow into the extension word.
    std::uint32_t withHandler = x.Rva();
    std::uint32_t word = a64 ? (0x18 | (1u << 20) | (1u << 22) | (2u << 27)) : (0x30 | (1u << 20) | (1u << 23) | (2u << 28));
    x.data.U32(word).U32(0x00000010).U32(0xE4E3E3E3).U32(0xE4E4E4E4).U32(0x1180);
    std::uint32_t extended = x.Rva();
    x.data.U32(0x20).U32(0x00200021);  // 33 epilog scopes, 32 code words, no handler
    std::uint32_t packed = a64 ? (1u | (0x10u << 2) | (2u << 13) | (3u << 16) | (1u << 20) | (2u << 21) | (5u << 23))
                               : (1u | (0x10u << 2) | (1u << 13) | (1u << 15) | (3u << 16) | (1u << 21) | (4u << 22));
    std::uint32_t thumb = a64 ? 0 : 1;
    p.data.U32(0x1000 | thumb).U32(packed).U32(0x1040 | thumb).U32(withHandler);
    p.data.U32(0x1080 | thumb).U32(extended).U32(0x1100 | thumb).U32(packed | 3u);
    pe.dirs[3] = {p.va, 32};
    ExpectGolden(a64 ? "exception_arm64" : "exception_armnt", Dump(pe.Build(), "arm.dll"));
  }
}

TEST(GoldenDamage, ExceptionTableCutAndPointingOutside) {
  // The table and one unwind record sit at the end of their sections as mapped.
  PeBuilder pe = X64Image(
      [](PeBuilder::Section& x, std::uint32_t) {
        std::uint32_t outsideHandler = Unwind(x, 1, 4, 1, 0, {0x00F00000});
        std::uint32_t cutCodes = x.va + 0x1000 - 6;  // 4 codes, room for 1
        x.data.Zeros(0x1000 - 6 - x.data.Size());
        x.data.U8(1).U8(4).U8(4).U8(0).U16(0);
        return std::vector<Fn>{{0x1040, 0x1050, outsideHandler}, {0x1000, 0x1040, 0x00E00000},
                               {0x1050, 0x1050, cutCodes}, {0x00D00000, 0x00D00010, outsideHandler}};
      },
      0x1000 - 48);
  pe.dirs[3][1] = 12 * 45 + 5;  // more entries than the section holds, and a ragged size
  ExpectGolden("damage_exception_outside", Dump(pe.Build(), "bad.dll"));
}

TEST(GoldenDamage, ExceptionChainThatLoops) {
  PeBuilder pe = X64Image([](PeBuilder::Section& x, std::uint32_t) {
    std::uint32_t self = x.Rva() + 4;  // the Align below leaves it here
    x.data.U32(0);
    Unwind(x, 4, 0, 0, 0, {0x1000, 0x1010, self});
    return std::vector<Fn>{{0x1000, 0x1010, self}};
  });
  ExpectGolden("damage_exception_chain_loop", Dump(pe.Build(), "loop.dll"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
