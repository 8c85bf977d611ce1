#pragma once
// 16-bit NE executables (Windows 3.x and OS/2 1.x programs and DLLs): the NE
// header, its tables and each segment's relocations. Names stay views into
// the file; the tables are small (16-bit counts), so their entries are kept,
// while the relocations are walked one record at a time.
#include <cstdint>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"
#include "dumper/lang/catalog/Ne.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::ne {

inline constexpr pe::Area kArea = pe::Area::Ne;

struct Header {
  std::uint64_t offset = 0;  // of "NE" in the file
  std::uint8_t linkerVersion = 0, linkerRevision = 0;
  std::uint16_t entryTableOffset = 0, entryTableLength = 0;
  std::uint32_t crc = 0;
  std::uint16_t flags = 0, autoDataSegment = 0, heapSize = 0, stackSize = 0;
  std::uint16_t ip = 0, cs = 0, sp = 0, ss = 0;
  std::uint16_t segmentCount = 0, moduleRefCount = 0, nonResidentSize = 0;
  std::uint16_t segmentTableOffset = 0, resourceTableOffset = 0, residentNamesOffset = 0;
  std::uint16_t moduleRefOffset = 0, importedNamesOffset = 0;
  std::uint32_t nonResidentOffset = 0;  // from the start of the file, unlike the others
  std::uint16_t movableEntries = 0, alignmentShift = 0, resourceSegments = 0;
  std::uint8_t targetOs = 0, otherFlags = 0;
  std::uint16_t fastLoadOffset = 0, fastLoadLength = 0, minCodeSwap = 0, expectedWindows = 0;
};

inline constexpr std::uint16_t kSegData = 0x0001;
inline constexpr std::uint16_t kSegHasRelocs = 0x0100;

struct Segment {
  std::uint32_t number = 0;  // 1-based
  std::uint64_t fileOffset = 0;  // 0: no data in the file
  std::uint32_t length = 0;  // in the file; 0 in the table means 64 KiB
  std::uint16_t flags = 0;
  std::uint32_t minAlloc = 0;
};

struct Name {
  std::string_view text;
  std::uint16_t ordinal = 0;
};

struct Entry {
  std::uint16_t ordinal = 0;
  std::uint8_t segment = 0;  // 0xFE: a constant
  std::uint16_t offset = 0;
  std::uint8_t flags = 0;    // 1 exported, 2 shared data
  bool movable = false;
  // A bundle of type 0xFE exports values, not addresses (Windows' __AHSHIFT, __0040H...).
  bool Constant() const { return !movable && segment == 0xFE; }
};

struct Resource {
  std::uint16_t id = 0;        // with the high bit cleared; meaningful when name is empty
  std::string_view name;
  std::uint64_t fileOffset = 0;
  std::uint32_t length = 0;
  std::uint16_t flags = 0;
};
struct ResourceType {
  std::uint16_t id = 0;
  std::string_view name;
  std::vector<Resource> resources;
};

struct Module {
  bool present = false;
  lang::Lang lang = lang::Lang::En;  // of its problems
  io::Reader file;
  Header h;
  std::vector<Segment> segments;
  std::vector<ResourceType> resourceTypes;
  std::uint16_t resourceShift = 0;
  std::vector<Name> residentNames;     // the first is the module's name
  std::vector<Name> nonResidentNames;  // the first is the description
  std::vector<std::string_view> moduleRefs;
  io::Reader importedNames;
  std::vector<Entry> entries;
};

// The system the header's target byte names, in our words.
lang::Msg OsName(std::uint8_t os);

// Reads the NE header the MZ header points at, and every table but the relocations.
Module ParseNe(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, lang::Lang lang = lang::Lang::En);

enum class RelocKind : std::uint8_t { Internal = 0, ImportOrdinal = 1, ImportName = 2, OsFixup = 3 };
struct Relocation {
  std::uint32_t segment = 0;
  std::uint64_t recordOffset = 0;  // of the record in the file
  std::uint8_t addressType = 0;
  RelocKind kind = RelocKind::Internal;
  bool additive = false;
  std::uint16_t offset = 0;        // in the segment
  std::uint16_t moduleIndex = 0;   // imports: 1-based into the module references
  std::string_view module;
  std::uint16_t ordinal = 0;
  std::string_view name;
  std::uint16_t target1 = 0, target2 = 0;  // the raw target words
};

// Visits the relocation records of every segment that has them, under the
// budget; bad module numbers and names are reported at the record.
template <class Fn>
void ForEachRelocation(const Module& m, pe::Budget& budget, pe::Anomalies& an, Fn fn);

// The name of the module an import names, or empty (reported) when the number lies.
std::string_view ModuleName(const Module& m, std::uint16_t index, std::uint64_t at, pe::Anomalies& an);
// A length-prefixed name in the imported-names table.
std::string_view ImportedName(const Module& m, std::uint16_t offset, std::uint64_t at, pe::Anomalies& an);

template <class Fn>
void ForEachRelocation(const Module& m, pe::Budget& budget, pe::Anomalies& an, Fn fn) {
  for (const Segment& s : m.segments) {
    if ((s.flags & kSegHasRelocs) == 0 || s.fileOffset == 0) continue;
    std::uint64_t at = s.fileOffset + s.length;
    auto count = m.file.U16(at);
    if (!count) {
      an.AtOffset(kArea, m.file.Base() + at, lang::Say(m.lang, lang::M::NeSegRelocsPastFile, {s.number}));
      continue;
    }
    at += 2;
    if (!m.file.Has(at, std::uint64_t{*count} * 8))
      an.AtOffset(kArea, m.file.Base() + at, lang::Say(m.lang, lang::M::NeSegRelocsRunPast, {s.number, *count}));
    for (std::uint32_t i = 0; i < *count && m.file.Has(at, 8); ++i, at += 8) {
      if (!budget.Take()) {
        an.AtOffset(kArea, m.file.Base() + at, lang::Say(m.lang, lang::M::NeRelocsBudget));
        return;
      }
      io::Cursor c(m.file, at);
      Relocation r;
      r.segment = s.number;
      r.recordOffset = m.file.Base() + at;
      r.addressType = c.U8();
      std::uint8_t t = c.U8();
      r.kind = static_cast<RelocKind>(t & 3);
      r.additive = (t & 4) != 0;
      r.offset = c.U16();
      r.target1 = c.U16();
      r.target2 = c.U16();
      if (r.kind == RelocKind::ImportOrdinal || r.kind == RelocKind::ImportName) {
        r.moduleIndex = r.target1;
        r.module = ModuleName(m, r.target1, r.recordOffset, an);
        if (r.kind == RelocKind::ImportOrdinal) r.ordinal = r.target2;
        else r.name = ImportedName(m, r.target2, r.recordOffset, an);
      }
      fn(r);
    }
  }
}

}  // namespace kestrova::dumper::ne
