// COFF objects: headers, section table, symbol and string tables, relocations.
#include "dumper/coff/Object.h"

#include <string>

#include "dumper/io/Format.h"

namespace kestrova::dumper::coff {

using io::Hex;

namespace {

constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kBigHeaderSize = 56;

// The identifier a big object carries after its signature.
constexpr std::uint8_t kBigObjectClass[16] = {0xC7, 0xA1, 0xBA, 0xD1, 0xEE, 0xBA, 0xA9, 0x4B,
                                              0xAF, 0x20, 0xFA, 0xF6, 0x6A, 0xA4, 0xDC, 0xB8};

// The identifier a /GL object carries after its signature.
constexpr std::uint8_t kLtcgClass[16] = {0x38, 0xFE, 0xB3, 0x0C, 0xA5, 0xD9, 0xAB, 0x4D,
                                         0xAC, 0x9B, 0xD6, 0xB6, 0x22, 0x26, 0x53, 0xC2};

bool HasClass(const io::Reader& file, const std::uint8_t (&cls)[16]) {
  for (std::uint64_t i = 0; i < 16; ++i)
    if (file.U8(12 + i) != cls[i]) return false;
  return true;
}

// A string-table offset written as "/123" or, past seven digits, "//" and base 64.
std::optional<std::uint64_t> LongNameOffset(std::string_view raw) {
  if (raw.size() < 2 || raw[0] != '/') return std::nullopt;
  std::uint64_t v = 0;
  if (raw[1] == '/') {
    for (char c : raw.substr(2)) {
      int d = c >= 'A' && c <= 'Z' ? c - 'A' : c >= 'a' && c <= 'z' ? c - 'a' + 26 : c >= '0' && c <= '9' ? c - '0' + 52
              : c == '+' ? 62 : c == '/' ? 63 : -1;
      if (d < 0) return std::nullopt;
      v = v * 64 + static_cast<std::uint64_t>(d);
    }
    return raw.size() > 2 ? std::optional<std::uint64_t>(v) : std::nullopt;
  }
  for (char c : raw.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

// A name in the string table; nothing when the offset is outside it.
std::optional<io::CString> StringAt(const Object& o, std::uint64_t off) {
  if (off < 4 || off >= o.strings.Size()) return std::nullopt;
  return o.strings.String(off, pe::kMaxName);
}

}  // namespace

bool IsBigObject(const io::Reader& file) {
  if (file.U16(0) != 0 || file.U16(2) != 0xFFFF || !file.Has(0, kBigHeaderSize)) return false;
  if (file.U16(4).value_or(0) < 2) return false;
  return HasClass(file, kBigObjectClass);
}

bool IsLtcgObject(const io::Reader& file) {
  // Version 0 is an import header; /GL objects have been seen with version 1.
  return file.U16(0) == 0 && file.U16(2) == 0xFFFF && file.U16(4).value_or(0) >= 1 && HasClass(file, kLtcgClass);
}

LtcgHeader ReadLtcgHeader(const io::Reader& file) {
  LtcgHeader h;
  if (!IsLtcgObject(file)) return h;
  io::Cursor c(file, 4);
  h.version = c.U16();
  h.machine = c.U16();
  h.timeDateStamp = c.U32();
  h.present = c.ok();
  return h;
}

Object ParseObject(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, pe::Area area, lang::Lang lang) {
  namespace M = lang::M;
  Object o;
  o.area = area;
  o.lang = lang;
  o.file = file;
  std::uint64_t sectionTable = 0;
  if (IsBigObject(file)) {
    io::Cursor c(file, 4);
    o.h.bigObject = true;
    o.h.bigVersion = c.U16();
    o.h.machine = c.U16();
    o.h.timeDateStamp = c.U32();
    c.Skip(16 + 4 * 4);  // class, size of data, flags, metadata size and offset
    o.h.numberOfSections = c.U32();
    o.h.pointerToSymbolTable = c.U32();
    o.h.numberOfSymbols = c.U32();
    o.symbolSize = 20;
    sectionTable = kBigHeaderSize;
  } else {
    io::Cursor c(file, 0);
    o.h.machine = c.U16();
    o.h.numberOfSections = c.U16();
    o.h.timeDateStamp = c.U32();
    o.h.pointerToSymbolTable = c.U32();
    o.h.numberOfSymbols = c.U32();
    o.h.sizeOfOptionalHeader = c.U16();
    o.h.characteristics = c.U16();
    if (!c.ok()) {
      an.AtOffset(o.area, file.Base(), lang::Say(lang, M::ObHeaderCut));
      return o;
    }
    sectionTable = 20 + std::uint64_t{o.h.sizeOfOptionalHeader};
  }
  o.present = true;

  // The symbol and string tables first: long section names live there.
  if (o.h.pointerToSymbolTable != 0 || o.h.numberOfSymbols != 0) {
    std::uint64_t want = std::uint64_t{o.h.numberOfSymbols} * o.symbolSize;
    std::uint64_t at = o.h.pointerToSymbolTable;
    if (at > file.Size()) {
      an.AtOffset(o.area, file.Base() + at, lang::Say(lang, M::ObSymTablePast));
    } else {
      std::uint64_t have = (file.Size() - at) / o.symbolSize;
      if (have < o.h.numberOfSymbols) {
        an.AtOffset(o.area, file.Base() + at,
                    lang::Say(lang, M::ObSymTableClaims, {o.h.numberOfSymbols, have}));
        o.symbolCount = static_cast<std::uint32_t>(have);
      } else {
        o.symbolCount = o.h.numberOfSymbols;
      }
      o.symbols = *file.Sub(at, std::uint64_t{o.symbolCount} * o.symbolSize);
      if (have >= o.h.numberOfSymbols) {
        std::uint64_t strAt = at + want;
        if (auto size = file.U32(strAt)) {
          std::uint64_t len = *size < 4 ? 4 : *size;
          if (!file.Has(strAt, len)) {
            an.AtOffset(o.area, file.Base() + strAt, lang::Say(lang, M::ObStringTableSize, {Hex(*size)}));
            len = file.Size() - strAt;
          }
          o.strings = *file.Sub(strAt, len);
        }
      }
    }
  }

  std::uint64_t room = sectionTable <= file.Size() ? (file.Size() - sectionTable) / kSectionHeaderSize : 0;
  std::uint64_t count = o.h.numberOfSections;
  if (count > room) {
    an.AtOffset(o.area, file.Base() + sectionTable,
                lang::Say(lang, M::ObSectionTableClaims, {count, room}));
    count = room;
  }
  if (!budget.Take(count)) {
    an.AtOffset(o.area, file.Base() + sectionTable, lang::Say(lang, M::ObSectionBudget));
    count = 0;
  }
  o.sections.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t at = sectionTable + i * kSectionHeaderSize;
    Section s;
    s.number = static_cast<std::uint32_t>(i + 1);
    s.headerOffset = file.Base() + at;
    s.rawName = file.Fixed(at, 8);
    s.name = s.rawName;
    if (auto off = LongNameOffset(s.rawName)) {
      if (auto str = StringAt(o, *off)) {
        s.name = str->text;
        if (!str->terminated) an.AtOffset(o.area, s.headerOffset, lang::Say(lang, M::ObLongNameNoNul, {s.number}));
      } else {
        an.AtOffset(o.area, s.headerOffset, lang::Say(lang, M::ObLongNameOutside, {s.number, *off}));
      }
    }
    io::Cursor c(file, at + 8);
    s.virtualSize = c.U32();
    s.virtualAddress = c.U32();
    s.sizeOfRawData = c.U32();
    s.pointerToRawData = c.U32();
    s.pointerToRelocations = c.U32();
    s.pointerToLinenumbers = c.U32();
    s.numberOfRelocations = c.U16();
    s.numberOfLinenumbers = c.U16();
    s.characteristics = c.U32();
    if (s.sizeOfRawData != 0 && s.pointerToRawData != 0 && !file.Has(s.pointerToRawData, s.sizeOfRawData))
      an.AtOffset(o.area, s.headerOffset, lang::Say(lang, M::ObRawPast, {s.number}));
    if ((s.characteristics & kScnRelocOverflow) != 0 && s.numberOfRelocations == 0xFFFF) {
      if (auto real = file.U32(s.pointerToRelocations)) {
        s.relocOverflow = true;
        s.numberOfRelocations = *real;
      }
    }
    if (s.numberOfRelocations != 0) {
      auto bytes = io::CheckedMul(s.numberOfRelocations, 10);
      if (!bytes || !file.Has(s.pointerToRelocations, *bytes))
        an.AtOffset(o.area, s.headerOffset, lang::Say(lang, M::ObRelocsPast, {s.number, s.numberOfRelocations}));
    }
    o.sections.push_back(s);
  }
  return o;
}

std::optional<Symbol> SymbolAt(const Object& o, std::uint32_t index, pe::Anomalies& an) {
  if (index >= o.symbolCount) return std::nullopt;
  std::uint64_t at = std::uint64_t{index} * o.symbolSize;
  Symbol s;
  s.index = index;
  s.offset = o.symbols.Base() + at;
  io::Cursor c(o.symbols, at + 8);
  s.value = c.U32();
  if (o.h.bigObject) s.section = static_cast<std::int32_t>(c.U32());
  else s.section = static_cast<std::int16_t>(c.U16());
  s.type = c.U16();
  s.storageClass = c.U8();
  s.auxCount = c.U8();
  if (o.symbols.U32(at) == 0) {
    std::uint32_t off = o.symbols.U32(at + 4).value_or(0);
    auto str = StringAt(o, off);
    if (!str) {
      s.nameOk = false;
      an.AtOffset(o.area, s.offset, lang::Say(o.lang, lang::M::ObSymbolNameOutside, {index, off}));
    } else {
      s.name = str->text;
      if (!str->terminated) {
        s.nameOk = false;
        an.AtOffset(o.area, s.offset, lang::Say(o.lang, lang::M::ObSymbolNameNoNul, {index}));
      }
    }
  } else {
    s.name = o.symbols.Fixed(at, 8);
  }
  return s;
}

SymbolRole RoleOf(const Symbol& s) {
  switch (s.storageClass) {
    case kClassExternal:
      if (s.section > 0 || s.section == kSectionAbsolute) return SymbolRole::Defined;
      if (s.section == kSectionUndefined) return s.value != 0 ? SymbolRole::Common : SymbolRole::Undefined;
      return SymbolRole::Other;
    case kClassWeakExternal:
      return SymbolRole::Weak;
    case kClassStatic:
    case kClassLabel:
      return SymbolRole::Local;
    default:
      return SymbolRole::Other;
  }
}

AuxKind AuxKindOf(const Symbol& s) {
  if (s.auxCount == 0) return AuxKind::None;
  switch (s.storageClass) {
    case kClassFile: return AuxKind::FileName;
    case kClassWeakExternal: return AuxKind::WeakExternal;
    case kClassClrToken: return AuxKind::ClrToken;
    case kClassStatic:
      if (s.section > 0 && s.value == 0) return AuxKind::SectionDefinition;
      return AuxKind::Other;
    case kClassExternal:
      if ((s.type >> 4) == 2 && s.section > 0) return AuxKind::FunctionDefinition;
      return AuxKind::Other;
    default: return AuxKind::Other;
  }
}

namespace {
io::Cursor AuxCursor(const Object& o, const Symbol& s) {
  return io::Cursor(o.symbols, (std::uint64_t{s.index} + 1) * o.symbolSize);
}
}  // namespace

AuxSection ReadAuxSection(const Object& o, const Symbol& s) {
  AuxSection a;
  io::Cursor c = AuxCursor(o, s);
  a.length = c.U32();
  a.relocations = c.U16();
  a.linenumbers = c.U16();
  a.checksum = c.U32();
  a.number = c.U16();
  a.selection = c.U8();
  c.Skip(1);
  if (o.h.bigObject) a.number |= std::uint32_t{c.U16()} << 16;
  return a;
}

AuxFunction ReadAuxFunction(const Object& o, const Symbol& s) {
  io::Cursor c = AuxCursor(o, s);
  AuxFunction a;
  a.tagIndex = c.U32();
  a.totalSize = c.U32();
  a.pointerToLinenumber = c.U32();
  a.pointerToNextFunction = c.U32();
  return a;
}

AuxWeak ReadAuxWeak(const Object& o, const Symbol& s) {
  io::Cursor c = AuxCursor(o, s);
  AuxWeak a;
  a.tagIndex = c.U32();
  a.characteristics = c.U32();
  return a;
}

AuxClr ReadAuxClr(const Object& o, const Symbol& s) {
  io::Cursor c = AuxCursor(o, s);
  AuxClr a;
  a.auxType = c.U8();
  c.Skip(1);
  a.symbolIndex = c.U32();
  return a;
}

std::string_view AuxFileName(const Object& o, const Symbol& s) {
  std::uint64_t at = (std::uint64_t{s.index} + 1) * o.symbolSize;
  std::uint64_t len = std::uint64_t{s.auxCount} * o.symbolSize;
  if (at >= o.symbols.Size()) return {};
  if (len > o.symbols.Size() - at) len = o.symbols.Size() - at;
  return o.symbols.Fixed(at, static_cast<std::size_t>(len));
}

io::Reader SectionData(const Object& o, const Section& s) {
  if (s.pointerToRawData == 0 || s.sizeOfRawData == 0) return io::Reader({}, o.file.Base());
  if (auto r = o.file.Sub(s.pointerToRawData, s.sizeOfRawData)) return *r;
  return io::Reader({}, o.file.Base() + s.pointerToRawData);
}

const Section* FindSection(const Object& o, std::string_view name) {
  for (const Section& s : o.sections)
    if (s.name == name) return &s;
  return nullptr;
}

io::Reader Relocations(const Object& o, const Section& s) {
  std::uint64_t first = s.relocOverflow ? 1 : 0;
  if (s.numberOfRelocations <= first) return {};
  std::uint64_t n = s.numberOfRelocations - first;
  std::uint64_t at = std::uint64_t{s.pointerToRelocations} + first * 10;
  if (at > o.file.Size()) return {};
  std::uint64_t have = (o.file.Size() - at) / 10;
  if (n > have) n = have;
  return *o.file.Sub(at, n * 10);
}

std::optional<Relocation> RelocationAt(const io::Reader& relocs, std::uint64_t i) {
  auto at = io::CheckedMul(i, 10);
  if (!at || !relocs.Has(*at, 10)) return std::nullopt;
  io::Cursor c(relocs, *at);
  Relocation r;
  r.virtualAddress = c.U32();
  r.symbolIndex = c.U32();
  r.type = c.U16();
  return r;
}

CompileRecord FindCompileRecord(const Object& o, pe::Budget& budget) {
  constexpr std::uint32_t kSymbols = 0xF1;
  constexpr std::uint16_t kCompile2 = 0x1116, kCompile3 = 0x113C;
  CompileRecord found;
  pe::Anomalies quiet;  // the Object part reports the subsections' damage
  for (const Section& s : o.sections) {
    if (found.present || s.name != ".debug$S") continue;
    io::Reader data = SectionData(o, s);
    ForEachDebugSubsection(data, budget, quiet, o.area, o.lang, [&](std::uint32_t kind, std::uint64_t at, std::uint32_t len) {
      if (found.present || kind != kSymbols) return;
      io::Reader records = *data.Sub(at + 8, len);
      // Records: a 16-bit length (of what follows it), a 16-bit kind, the body.
      for (std::uint64_t p = 0; records.Has(p, 4) && !found.present;) {
        if (!budget.Take()) return;
        std::uint16_t size = *records.U16(p), rec = *records.U16(p + 2);
        if (size < 2 || !records.Has(p + 2, size)) return;
        if (rec == kCompile3 || rec == kCompile2) {
          io::Reader body = *records.Sub(p + 4, size - 2u);
          // Flags and machine, then the front end's and the back end's versions:
          // four numbers each in the newer record, three in the older.
          const std::uint64_t text = rec == kCompile3 ? 6 + 16 : 6 + 12;
          found.present = body.Has(0, text);
          found.major = body.U16(6).value_or(0);
          found.minor = body.U16(8).value_or(0);
          found.build = body.U16(10).value_or(0);
          if (text < body.Size()) found.version = body.String(text, pe::kMaxName).text;
        }
        p += 2u + size;
      }
    });
  }
  return found;
}

std::optional<Relocation> RelocationFor(const Object& o, const Section& s, std::uint32_t at, pe::Budget& budget) {
  io::Reader relocs = Relocations(o, s);
  for (std::uint64_t i = 0; i * 10 < relocs.Size(); ++i) {
    if (!budget.Take()) return std::nullopt;
    auto r = RelocationAt(relocs, i);
    if (r && r->virtualAddress == at) return r;
  }
  return std::nullopt;
}

}  // namespace kestrova::dumper::coff
