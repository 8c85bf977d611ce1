// The base relocation directory: blocks of 16-bit entries, one block per page.
#include "dumper/pe/Relocations.h"

#include <algorithm>

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Relocations.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

constexpr std::uint64_t kHeader = 8;

bool IsArm(std::uint16_t m) { return m == 0x01C0 || m == 0x01C2 || m == 0x01C4; }
bool IsMips(std::uint16_t m) { return m == 0x0162 || m == 0x0166 || m == 0x0168 || m == 0x0169 || m == 0x0266 || m == 0x0366 || m == 0x0466; }
bool IsRiscV(std::uint16_t m) { return m == 0x5032 || m == 0x5064 || m == 0x5128; }

// Bytes the relocation patches, for the check that it lands inside the image.
unsigned Width(unsigned type) {
  switch (type) {
    case 1: case 2: case 4: return 2;
    case 10: return 8;
    default: return 4;
  }
}

}  // namespace

std::string_view RelocationTypeName(std::uint16_t machine, unsigned type) {
  switch (type) {
    case 0: return "ABSOLUTE";
    case 1: return "HIGH";
    case 2: return "LOW";
    case 3: return "HIGHLOW";
    case 4: return "HIGHADJ";
    case 5:
      if (IsArm(machine)) return "ARM_MOV32";
      if (IsMips(machine)) return "MIPS_JMPADDR";
      if (IsRiscV(machine)) return "RISCV_HIGH20";
      return {};
    case 7:
      if (IsArm(machine)) return "THUMB_MOV32";
      if (IsRiscV(machine)) return "RISCV_LOW12I";
      return {};
    case 8:
      if (IsRiscV(machine)) return "RISCV_LOW12S";
      if (machine == 0x6232) return "LOONGARCH32_MARK_LA";
      if (machine == 0x6264) return "LOONGARCH64_MARK_LA";
      return {};
    case 9:
      if (IsMips(machine)) return "MIPS_JMPADDR16";
      return {};
    case 10: return "DIR64";
    default: return {};
  }
}

RelocationTable ParseRelocations(const Context& ctx) {
  RelocationTable t;
  const lang::Lang l = ctx.options.lang;
  DirectoryView d = OpenDirectory(ctx, kDirBaseReloc, Area::Relocations, M::RelWhatDirectory);
  if (!d.backed) return t;
  t.rva = d.rva;
  t.size = d.size;
  t.present = true;
  std::uint64_t size = d.size;
  if (size > d.data.Size()) {
    ctx.an.AtRva(Area::Relocations, d.rva, lang::Say(l, M::RelPastSection, {Hex(d.size), Hex(d.data.Size())}));
    size = d.data.Size();
  }
  // Walk the block headers once, so the listing can start with the totals and the
  // blocks that follow are known to lie in the data read.
  const std::uint64_t fileEnd = d.data.Bytes().size();  // past it, the zero fill the loader maps
  std::uint64_t at = 0;
  while (at < size) {
    std::uint64_t here = d.data.Base() + at;
    if (size - at < kHeader) {
      ctx.an.AtOffset(Area::Relocations, here, lang::Say(l, M::RelEndsInHeader));
      break;
    }
    if (!ctx.budget.Take()) {
      ctx.an.AtOffset(Area::Relocations, here, lang::Say(l, M::RelBudget));
      break;
    }
    const std::uint32_t page = d.data.U32(at).value_or(0);
    std::uint32_t blockSize = d.data.U32(at + 4).value_or(0);
    if (blockSize < kHeader) {
      ctx.an.AtOffset(Area::Relocations, here, lang::Say(l, M::RelBlockTooSmall, {Hex(blockSize)}));
      break;
    }
    std::uint64_t kept = blockSize;
    if (blockSize > size - at) {
      // The loader would read on past the data; the entries before its end are listed.
      kept = size - at;
      const std::uint64_t lost = (blockSize - kHeader) / 2 - (kept - kHeader) / 2;
      std::string text = lang::Say(l, M::RelBlockPastEnd, {Hex(blockSize), Hex(kept)});
      if (lost != 0) lang::Append(text, lost == 1 ? M::RelBlockLostOne : M::RelBlockLostMany, l, {lost});
      ctx.an.AtOffset(Area::Relocations, here, std::move(text));
    }
    if (blockSize % 4 != 0)
      ctx.an.AtOffset(Area::Relocations, here, lang::Say(l, M::RelBlockNotMultiple, {Hex(blockSize)}));
    const std::uint64_t entries = (kept - kHeader) / 2;
    const std::uint64_t first = at + kHeader;
    const std::uint64_t real = fileEnd > first ? std::min(entries, (fileEnd - first) / 2) : 0;
    if (real < entries)
      ctx.an.AtRva(Area::Relocations, d.rva + first + 2 * real,
                   lang::Say(l, entries - real == 1 ? M::RelZeroFillOne : M::RelZeroFillMany,
                             {Hex(page, 8), entries - real}));
    ++t.blockCount;
    t.entryCount += entries;
    at += kept;
  }
  t.blocks = *d.data.Sub(0, at);
  return t;
}

bool RelocationWalker::Next(RelocationBlock& b) {
  if (at_ >= t_.blocks.Size()) return false;
  b = RelocationBlock{};
  b.offset = t_.blocks.Base() + at_;
  b.page = t_.blocks.U32(at_).value_or(0);
  b.size = t_.blocks.U32(at_ + 4).value_or(0);
  // A block cut short by the end of the data keeps the entries before it.
  b.entries = static_cast<std::uint32_t>((std::min<std::uint64_t>(b.size, t_.blocks.Size() - at_) - kHeader) / 2);
  const std::uint16_t machine = ctx_.h.coff.machine;
  const std::uint64_t imageEnd = ctx_.h.opt.sizeOfImage;
  std::uint32_t invalid = 0, firstInvalid = 0;
  // Entries in the section's zero fill are all type 0 (padding): they are
  // counted, not walked, so a huge block over zeros costs nothing.
  const std::uint64_t first = at_ + kHeader;
  const std::uint64_t real = t_.blocks.Bytes().size() > first ? (t_.blocks.Bytes().size() - first) / 2 : 0;
  const std::uint32_t walked = static_cast<std::uint32_t>(std::min<std::uint64_t>(b.entries, real));
  b.byType[0] += b.entries - walked;
  for (std::uint32_t i = 0; i < walked; ++i) {
    std::uint16_t e = t_.blocks.U16(first + 2 * std::uint64_t{i}).value_or(0);
    unsigned type = e >> 12;
    ++b.byType[type];
    if (type == 0) continue;  // padding
    if (RelocationTypeName(machine, type).empty()) {
      if (invalid++ == 0) firstInvalid = type;
      continue;
    }
    if (std::uint64_t{b.page} + (e & 0xFFF) + Width(type) > imageEnd) ++b.outside;
    if (type == 4) ++i;  // HIGHADJ: the next entry is its operand, not a relocation
  }
  const lang::Lang l = ctx_.options.lang;
  if (invalid != 0)
    ctx_.an.AtOffset(Area::Relocations, b.offset,
                     lang::Say(l, invalid == 1 ? M::RelInvalidTypeOne : M::RelInvalidTypeMany,
                               {Hex(b.page, 8), invalid, firstInvalid}));
  if (b.outside != 0)
    ctx_.an.AtOffset(Area::Relocations, b.offset,
                     lang::Say(l, b.outside == 1 ? M::RelOutsideOne : M::RelOutsideMany,
                               {Hex(b.page, 8), b.outside, Hex(imageEnd)}));
  at_ += b.size;
  return true;
}

}  // namespace kestrova::dumper::pe
