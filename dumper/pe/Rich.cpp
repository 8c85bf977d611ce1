// Finds the Rich header from its end marker backwards and checks its checksum.
#include "dumper/pe/Rich.h"

#include <algorithm>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Facts.h"
#include "dumper/lang/catalog/Rich.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

constexpr std::uint32_t kRich = 0x68636952;  // "Rich"
constexpr std::uint32_t kDanS = 0x536E6144;  // "DanS"
constexpr std::uint64_t kDosHeaderSize = 0x40;
// Linkers put the record right after a short stub; anything farther is not one.
constexpr std::uint64_t kSearchLimit = 0x10000;

// Product ids of the Visual Studio 2015 and later tool set (still current), and the
// two ids older than any tool set.
constexpr Named kProducts[] = {
    {0x0000, "Unmarked", Gloss(M::RichUnmarked)},
    {0x0001, "Import0", Gloss(M::RichImport0)},
    {0x00FF, "Cvtres1400", Gloss(M::RichCvtres)},
    {0x0100, "Export1400", Gloss(M::RichExport)},
    {0x0101, "Implib1400", Gloss(M::RichImplib)},
    {0x0102, "Linker1400", Gloss(M::RichLinker)},
    {0x0103, "Masm1400", Gloss(M::RichMasm)},
    {0x0104, "Utc1900_C", Gloss(M::RichCCompiler)},
    {0x0105, "Utc1900_CPP", Gloss(M::RichCppCompiler)},
};

std::uint32_t Rol(std::uint32_t v, unsigned n) {
  n &= 31;
  return n == 0 ? v : (v << n) | (v >> (32 - n));
}

}  // namespace

std::span<const Named> RichProducts() { return kProducts; }

RichEntry RichEntryAt(const RichHeader& r, std::uint32_t i) {
  RichEntry e;
  std::uint32_t id = r.entries.U32(8 * std::uint64_t{i}).value_or(r.key) ^ r.key;
  e.product = static_cast<std::uint16_t>(id >> 16);
  e.build = static_cast<std::uint16_t>(id);
  e.uses = r.entries.U32(8 * std::uint64_t{i} + 4).value_or(r.key) ^ r.key;
  return e;
}

RichHeader ParseRich(const Context& ctx) {
  RichHeader r;
  const lang::Lang l = ctx.options.lang;
  if (!ctx.h.hasDos || ctx.h.kind != FileKind::Pe) return r;
  const io::Reader& f = ctx.file;
  // The record lies between the DOS header and the PE header.
  std::uint64_t end = std::min<std::uint64_t>({ctx.h.dos.lfanew, f.Size(), kSearchLimit});
  if (end <= kDosHeaderSize) return r;
  std::uint64_t at = end & ~std::uint64_t{3};
  bool found = false;
  while (at >= kDosHeaderSize + 4) {
    at -= 4;
    if (f.U32(at).value_or(0) == kRich) {
      found = true;
      break;
    }
  }
  if (!found) return r;
  r.present = true;
  r.richAt = at;
  auto key = f.U32(at + 4);
  if (!key || at + 8 > end) {
    ctx.an.AtOffset(Area::Rich, at + 4, lang::Say(l, M::RichKeyCut));
    return r;
  }
  r.key = *key;
  // Back from the end marker, eight bytes at a time, to the masked start marker.
  std::uint64_t s = at;
  while (s >= kDosHeaderSize + 16) {
    s -= 8;
    if ((f.U32(s).value_or(0) ^ r.key) == kDanS) {
      r.whole = true;
      break;
    }
  }
  if (!r.whole) {
    ctx.an.AtOffset(Area::Rich, at, lang::Say(l, M::RichNoStart));
    return r;
  }
  r.start = s;
  // Three masked zero words pad the start marker.
  for (std::uint64_t k = 1; k <= 3; ++k)
    if ((f.U32(s + 4 * k).value_or(0) ^ r.key) != 0) {
      ctx.an.AtOffset(Area::Rich, s + 4 * k, lang::Say(l, M::RichPaddingNotZero));
      break;
    }
  std::uint64_t first = s + 16;
  if (first > at) {
    ctx.an.AtOffset(Area::Rich, s, lang::Say(l, M::RichStartOverlaps));
    r.whole = false;
    return r;
  }
  r.count = static_cast<std::uint32_t>((at - first) / 8);
  r.entries = *f.Sub(first, at - first);
  // The checksum: the start offset, every byte before the record (the e_lfanew field
  // left out) rotated by its offset, and every entry's id rotated by its use count.
  std::uint32_t sum = static_cast<std::uint32_t>(s);
  for (std::uint64_t i = 0; i < s; ++i) {
    if (i >= 0x3C && i < 0x40) continue;
    sum += Rol(f.U8(i).value_or(0), static_cast<unsigned>(i));
  }
  for (std::uint32_t i = 0; i < r.count; ++i) {
    RichEntry e = RichEntryAt(r, i);
    sum += Rol((std::uint32_t{e.product} << 16) | e.build, e.uses);
  }
  r.computed = sum;
  if (sum != r.key)
    ctx.an.AtOffset(Area::Rich, at + 4, lang::Say(l, M::RichChecksumMismatch, {Hex(sum, 8), Hex(r.key, 8)}));
  if (ctx.facts) NoteRich(ctx.facts->marks, r);
  return r;
}

}  // namespace kestrova::dumper::pe
