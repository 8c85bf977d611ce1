// NE executables: header and tables.
#include "dumper/ne/Ne.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Ne.h"

namespace kestrova::dumper::ne {

using io::Hex;

namespace {

// A length-prefixed string at `off`; nothing when its bytes are not all there.
std::optional<std::string_view> Pascal(const io::Reader& r, std::uint64_t off) {
  auto len = r.U8(off);
  if (!len) return std::nullopt;
  if (*len == 0) return std::string_view{};
  if (!io::Fits(off + 1, *len, r.Bytes().size())) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(r.Bytes().data() + off + 1), *len);
}

// A resident or non-resident name table: (length, name, ordinal) until a zero length.
void ReadNames(const io::Reader& file, std::uint64_t at, std::uint64_t end, lang::Msg what, std::vector<Name>& out,
               pe::Budget& budget, pe::Anomalies& an, lang::Lang l) {
  namespace M = lang::M;
  const std::string_view name = lang::Text(what, l);
  while (true) {
    if (at >= end) {
      an.AtOffset(kArea, file.Base() + at, lang::Say(l, M::NeNamesNoEnd, {name}));
      return;
    }
    auto len = file.U8(at);
    if (!len) {
      an.AtOffset(kArea, file.Base() + at, lang::Say(l, M::NeNamesPastFile, {name}));
      return;
    }
    if (*len == 0) return;
    if (!budget.Take()) {
      an.AtOffset(kArea, file.Base() + at, lang::Say(l, M::NeNamesBudget, {name}));
      return;
    }
    auto text = Pascal(file, at);
    auto ordinal = file.U16(at + 1 + *len);
    if (!text || !ordinal) {
      an.AtOffset(kArea, file.Base() + at, lang::Say(l, M::NeNameEntryPast, {name}));
      return;
    }
    out.push_back({*text, *ordinal});
    at += 3 + std::uint64_t{*len};
  }
}

}  // namespace

lang::Msg OsName(std::uint8_t os) {
  namespace M = lang::M;
  switch (os) {
    case 0: return M::NeOsUnknown;
    case 1: return M::NeOsOs2;
    case 2: return M::NeOsWindows;
    case 3: return M::NeOsDos4;
    case 4: return M::NeOsWindows386;
    case 5: return M::NeOsBoss;
    default: return M::NeOsOther;
  }
}

std::string_view ModuleName(const Module& m, std::uint16_t index, std::uint64_t at, pe::Anomalies& an) {
  if (index == 0 || index > m.moduleRefs.size()) {
    an.AtOffset(kArea, at, lang::Say(m.lang, lang::M::NeRelocModule, {index, m.moduleRefs.size()}));
    return {};
  }
  return m.moduleRefs[index - 1u];
}

std::string_view ImportedName(const Module& m, std::uint16_t offset, std::uint64_t at, pe::Anomalies& an) {
  auto s = Pascal(m.importedNames, offset);
  if (!s) {
    an.AtOffset(kArea, at, lang::Say(m.lang, lang::M::NeImportedNameOutside, {Hex(offset)}));
    return {};
  }
  return *s;
}

Module ParseNe(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, lang::Lang lang) {
  namespace M = lang::M;
  Module m;
  m.lang = lang;
  m.file = file;
  auto lfanew = file.U32(0x3C);
  if (!lfanew || file.U16(*lfanew) != 0x454E) return m;
  const std::uint64_t base = *lfanew;
  Header& h = m.h;
  h.offset = base;
  io::Cursor c(file, base + 2);
  h.linkerVersion = c.U8();
  h.linkerRevision = c.U8();
  h.entryTableOffset = c.U16();
  h.entryTableLength = c.U16();
  h.crc = c.U32();
  h.flags = c.U16();
  h.autoDataSegment = c.U16();
  h.heapSize = c.U16();
  h.stackSize = c.U16();
  h.ip = c.U16();
  h.cs = c.U16();
  h.sp = c.U16();
  h.ss = c.U16();
  h.segmentCount = c.U16();
  h.moduleRefCount = c.U16();
  h.nonResidentSize = c.U16();
  h.segmentTableOffset = c.U16();
  h.resourceTableOffset = c.U16();
  h.residentNamesOffset = c.U16();
  h.moduleRefOffset = c.U16();
  h.importedNamesOffset = c.U16();
  h.nonResidentOffset = c.U32();
  h.movableEntries = c.U16();
  h.alignmentShift = c.U16();
  h.resourceSegments = c.U16();
  h.targetOs = c.U8();
  h.otherFlags = c.U8();
  h.fastLoadOffset = c.U16();
  h.fastLoadLength = c.U16();
  h.minCodeSwap = c.U16();
  h.expectedWindows = c.U16();
  if (!c.ok()) {
    an.AtOffset(kArea, file.Base() + base, lang::Say(lang, M::NeHeaderCut));
    return m;
  }
  m.present = true;
  // A shift of 0 means the old default of 512-byte sectors; past 16 no offset fits.
  std::uint32_t shift = h.alignmentShift == 0 ? 9 : h.alignmentShift;
  if (shift > 16) {
    an.AtOffset(kArea, file.Base() + base + 0x32, lang::Say(lang, M::NeAlignShift, {h.alignmentShift}));
    shift = 16;
  }

  // Segments.
  std::uint64_t at = base + h.segmentTableOffset;
  for (std::uint32_t i = 0; i < h.segmentCount; ++i, at += 8) {
    io::Cursor s(file, at);
    Segment seg;
    seg.number = i + 1;
    std::uint16_t sector = s.U16(), length = s.U16();
    seg.flags = s.U16();
    std::uint16_t minAlloc = s.U16();
    if (!s.ok()) {
      an.AtOffset(kArea, file.Base() + at, lang::Say(lang, M::NeSegTablePast, {seg.number}));
      break;
    }
    if (!budget.Take()) break;
    seg.fileOffset = std::uint64_t{sector} << shift;
    seg.length = sector != 0 && length == 0 ? 0x10000u : length;
    seg.minAlloc = minAlloc == 0 ? 0x10000u : minAlloc;
    if (seg.fileOffset != 0 && !file.Has(seg.fileOffset, seg.length))
      an.AtOffset(kArea, file.Base() + at, lang::Say(lang, M::NeSegDataPast, {seg.number}));
    m.segments.push_back(seg);
  }

  // Resources (none when the table would be empty: it then sits where the resident names start).
  if (h.resourceTableOffset != h.residentNamesOffset) {
    const std::uint64_t rt = base + h.resourceTableOffset;
    io::Reader table = file.From(rt);
    m.resourceShift = table.U16(0).value_or(0);
    if (m.resourceShift > 16) {
      an.AtOffset(kArea, file.Base() + rt, lang::Say(lang, M::NeResAlignShift, {m.resourceShift}));
      m.resourceShift = 16;
    }
    auto nameOf = [&](std::uint16_t id, std::uint64_t where, std::uint16_t& number) -> std::string_view {
      if (id & 0x8000) {
        number = id & 0x7FFF;
        return {};
      }
      number = 0;
      auto s = Pascal(table, id);
      if (!s) an.AtOffset(kArea, file.Base() + where, lang::Say(lang, M::NeResNameOutside, {Hex(id)}));
      return s.value_or(std::string_view{});
    };
    std::uint64_t p = 2;
    while (true) {
      auto type = table.U16(p);
      if (!type) {
        an.AtOffset(kArea, file.Base() + rt + p, lang::Say(lang, M::NeResTablePast));
        break;
      }
      if (*type == 0) break;
      auto count = table.U16(p + 2);
      if (!count || !table.Has(p + 8, std::uint64_t{*count} * 12)) {
        an.AtOffset(kArea, file.Base() + rt + p, lang::Say(lang, M::NeResTypeEntriesPast, {count.value_or(0)}));
        break;
      }
      if (!budget.Take(std::uint64_t{*count} + 1)) {
        an.AtOffset(kArea, file.Base() + rt + p, lang::Say(lang, M::NeResBudget));
        break;
      }
      ResourceType t;
      t.name = nameOf(*type, rt + p, t.id);
      p += 8;
      for (std::uint32_t i = 0; i < *count; ++i, p += 12) {
        io::Cursor r(table, p);
        Resource res;
        res.fileOffset = std::uint64_t{r.U16()} << m.resourceShift;
        res.length = std::uint32_t{r.U16()} << m.resourceShift;
        res.flags = r.U16();
        std::uint16_t id = r.U16();
        res.name = nameOf(id, rt + p + 6, res.id);
        if (!file.Has(res.fileOffset, res.length))
          an.AtOffset(kArea, file.Base() + rt + p, lang::Say(lang, M::NeResDataPast));
        t.resources.push_back(res);
      }
      m.resourceTypes.push_back(std::move(t));
    }
  }

  // Names: the resident ones run to a zero length; the non-resident ones are also bounded by their size.
  ReadNames(file, base + h.residentNamesOffset, file.Size(), M::NeWhatResident, m.residentNames, budget, an, lang);
  if (h.nonResidentOffset != 0)
    ReadNames(file, h.nonResidentOffset, std::uint64_t{h.nonResidentOffset} + h.nonResidentSize, M::NeWhatNonResident,
              m.nonResidentNames, budget, an, lang);

  // Module references: offsets into the imported-names table.
  m.importedNames = file.From(base + h.importedNamesOffset);
  for (std::uint32_t i = 0; i < h.moduleRefCount; ++i) {
    std::uint64_t where = base + h.moduleRefOffset + std::uint64_t{i} * 2;
    auto off = file.U16(where);
    if (!off) {
      an.AtOffset(kArea, file.Base() + where, lang::Say(lang, M::NeModRefTablePast));
      break;
    }
    auto name = Pascal(m.importedNames, *off);
    if (!name) an.AtOffset(kArea, file.Base() + where, lang::Say(lang, M::NeModRefNameOutside, {i + 1}));
    m.moduleRefs.push_back(name.value_or(std::string_view{}));
  }

  // Entry table: bundles of entries of one kind, numbered by ordinal from 1.
  const std::uint64_t et = base + h.entryTableOffset;
  const std::uint64_t etEnd = et + h.entryTableLength;
  std::uint64_t p = et;
  std::uint32_t ordinal = 1;
  while (true) {
    auto count = file.U8(p);
    if (!count) {
      an.AtOffset(kArea, file.Base() + p, lang::Say(lang, M::NeEntryTablePast));
      break;
    }
    if (*count == 0) break;
    if (h.entryTableLength != 0 && p >= etEnd) {
      an.AtOffset(kArea, file.Base() + p, lang::Say(lang, M::NeEntryTableNoEnd));
      break;
    }
    auto type = file.U8(p + 1);
    if (!type) break;
    p += 2;
    if (*type == 0) {  // unused ordinals
      ordinal += *count;
      continue;
    }
    const bool movable = *type == 0xFF;
    const std::uint64_t size = movable ? 6 : 3;
    if (!file.Has(p, size * *count)) {
      an.AtOffset(kArea, file.Base() + p, lang::Say(lang, M::NeEntryBundlePast));
      break;
    }
    if (!budget.Take(*count)) {
      an.AtOffset(kArea, file.Base() + p, lang::Say(lang, M::NeEntriesBudget));
      break;
    }
    for (std::uint32_t i = 0; i < *count; ++i, p += size, ++ordinal) {
      io::Cursor e(file, p);
      Entry en;
      en.ordinal = static_cast<std::uint16_t>(ordinal);
      en.movable = movable;
      en.flags = e.U8();
      if (movable) {
        e.Skip(2);  // int 3Fh
        en.segment = e.U8();
      } else {
        en.segment = *type;
      }
      en.offset = e.U16();
      m.entries.push_back(en);
    }
    if (ordinal > 0xFFFF) {
      an.AtOffset(kArea, file.Base() + p, lang::Say(lang, M::NeEntryOrdinals));
      break;
    }
  }
  return m;
}

}  // namespace kestrova::dumper::ne
