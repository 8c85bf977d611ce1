// Import libraries: short import members, and the long form that GNU tools and
// older Microsoft tools write as small objects with .idata$N sections.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "dumper/archive/Archive.h"
#include "dumper/coff/Object.h"
#include "dumper/io/Format.h"

namespace kestrova::dumper::archive {


namespace M = lang::M;

lang::Msg ImportTypeName(std::uint8_t t) {
  switch (t) {
    case 0: return M::ArTypeCode;
    case 1: return M::ArTypeData;
    case 2: return M::ArTypeConst;
    default: return M::ArTypeUnknown;
  }
}

lang::Msg NameTypeName(std::uint8_t t) {
  switch (t) {
    case 0: return M::ArNameOrdinal;
    case 1: return M::ArNameName;
    case 2: return M::ArNameNoPrefix;
    case 3: return M::ArNameUndecorate;
    case 4: return M::ArNameExportAs;
    default: return M::ArNameUnknown;
  }
}

bool IsShortImport(const io::Reader& data) {
  // Version 0 tells the import header from the anonymous objects (/GL, big objects) that share its signature.
  return data.U16(0) == 0 && data.U16(2) == 0xFFFF && data.U16(4) == 0;
}

ShortImport ParseShortImport(const io::Reader& data, pe::Anomalies& an, pe::Area area, lang::Lang lang) {
  ShortImport s;
  io::Cursor c(data, 4);
  s.version = c.U16();
  s.machine = c.U16();
  s.timeDateStamp = c.U32();
  s.sizeOfData = c.U32();
  s.ordinalOrHint = c.U16();
  std::uint16_t bits = c.U16();
  if (!c.ok()) {
    an.AtOffset(area, data.Base(), lang::Say(lang, M::ArImportHeaderCut));
    return s;
  }
  s.present = true;
  s.type = static_cast<std::uint8_t>(bits & 3);
  s.nameType = static_cast<std::uint8_t>((bits >> 2) & 7);
  s.reserved = static_cast<std::uint16_t>(bits >> 5);
  if (s.type > 2) an.AtOffset(area, data.Base() + 18, lang::Say(lang, M::ArImportType, {s.type}));
  if (s.nameType > 4) an.AtOffset(area, data.Base() + 18, lang::Say(lang, M::ArImportNameType, {s.nameType}));
  io::Reader names = data.Sub(20, s.sizeOfData).value_or(data.From(20));
  if (names.Size() < s.sizeOfData)
    an.AtOffset(area, data.Base() + 12, lang::Say(lang, M::ArImportDataPast, {s.sizeOfData}));
  std::uint64_t at = 0;
  auto next = [&](lang::Msg what) {
    io::CString str = names.String(at, pe::kMaxName);
    if (!str.terminated) {
      an.AtOffset(area, names.Base() + at, lang::Say(lang, M::ArImportNoNul, {lang::Text(what, lang)}));
      at = names.Size();
    } else {
      at += str.text.size() + 1;
    }
    return str.text;
  };
  s.symbol = next(M::ArWhatSymbolName);
  s.dll = next(M::ArWhatDllName);
  if (s.nameType == static_cast<std::uint8_t>(NameType::ExportAs)) s.exportAs = next(M::ArWhatExportAsName);
  return s;
}

std::string_view ImportName(const ShortImport& s) {
  auto skipPrefix = [](std::string_view n) {
    if (!n.empty() && (n[0] == '?' || n[0] == '@' || n[0] == '_')) n.remove_prefix(1);
    return n;
  };
  switch (static_cast<NameType>(s.nameType)) {
    case NameType::Ordinal: return {};
    case NameType::Name: return s.symbol;
    case NameType::NoPrefix: return skipPrefix(s.symbol);
    case NameType::Undecorate: {
      std::string_view n = skipPrefix(s.symbol);
      return n.substr(0, n.find('@'));
    }
    case NameType::ExportAs: return s.exportAs;
  }
  return s.symbol;
}

namespace {

// The string at `off` of a section's data, or nothing.
std::optional<std::string_view> SectionString(const coff::Object& o, std::int32_t section, std::uint64_t off) {
  if (section <= 0 || static_cast<std::uint64_t>(section) > o.sections.size()) return std::nullopt;
  io::Reader d = coff::SectionData(o, o.sections[static_cast<std::size_t>(section - 1)]);
  io::CString s = d.String(off, pe::kMaxName);
  if (!s.terminated) return std::nullopt;
  return s.text;
}

// What a long-form member adds to the maps that lead a function to its DLL.
struct LongForm {
  // Symbols a function member refers to (its descriptor's) -> the DLL, or the
  // symbol of the tail member that holds the DLL's name.
  std::unordered_map<std::string_view, std::string_view> descriptorDll, descriptorIname;
  std::unordered_map<std::string_view, std::string_view> tailDll;  // iname symbol -> DLL

  std::string_view Resolve(std::string_view sym) const {
    if (auto d = descriptorDll.find(sym); d != descriptorDll.end()) return d->second;
    if (auto i = descriptorIname.find(sym); i != descriptorIname.end())
      if (auto t = tailDll.find(i->second); t != tailDll.end()) return t->second;
    return {};
  }
};

void ScanDescriptorOrTail(const coff::Object& o, LongForm& lf, pe::Budget& budget, pe::Anomalies& an, pe::Anomalies& noise, pe::Area area,
                          lang::Lang lang) {
  const coff::Section* desc = coff::FindSection(o, ".idata$2");
  const coff::Section* i7 = coff::FindSection(o, ".idata$7");
  if (desc != nullptr) {
    // The descriptor's Name field (offset 12) is relocated to the DLL's name.
    auto r = coff::RelocationFor(o, *desc, 12, budget);
    if (!r) return;
    auto target = coff::SymbolAt(o, r->symbolIndex, noise);
    if (!target) {
      an.AtOffset(area, o.file.Base(), lang::Say(lang, M::ArDescriptorReloc, {r->symbolIndex}));
      return;
    }
    std::string_view dll, iname;
    if (target->section > 0) {
      // The name sits in this object: the relocated field holds its offset from the symbol.
      std::uint32_t addend = coff::SectionData(o, *desc).U32(12).value_or(0);
      dll = SectionString(o, target->section, std::uint64_t{target->value} + addend).value_or(std::string_view{});
    } else {
      iname = target->name;
    }
    coff::ForEachSymbol(o, budget, noise, [&](const coff::Symbol& s) {
      if (coff::RoleOf(s) != coff::SymbolRole::Defined) return;
      if (!dll.empty()) lf.descriptorDll.emplace(s.name, dll);
      else lf.descriptorIname.emplace(s.name, iname);
    });
    return;
  }
  if (i7 != nullptr && i7->numberOfRelocations == 0 && i7->sizeOfRawData > 0) {
    // A tail member: its .idata$7 is the DLL's name under a defined symbol.
    coff::ForEachSymbol(o, budget, noise, [&](const coff::Symbol& s) {
      if (coff::RoleOf(s) != coff::SymbolRole::Defined || s.section != static_cast<std::int32_t>(i7->number)) return;
      if (auto name = SectionString(o, s.section, s.value)) lf.tailDll.emplace(s.name, *name);
    });
  }
}

// A long-form function member: an import lookup entry in .idata$4 (or $5),
// by ordinal or through .idata$6's hint and name.
// The symbols it needs are added to `needs`, to find its descriptor once every member has been seen.
std::optional<ImportEntry> LongFunction(const coff::Object& o, std::vector<std::string_view>& needs, std::uint64_t memberOffset,
                                        pe::Budget& budget, pe::Anomalies& an, pe::Anomalies& noise, pe::Area area,
                                        lang::Lang lang) {
  if (coff::FindSection(o, ".idata$2") != nullptr) return std::nullopt;
  const coff::Section* slot = coff::FindSection(o, ".idata$4");
  if (slot == nullptr || slot->sizeOfRawData == 0) slot = coff::FindSection(o, ".idata$5");
  if (slot == nullptr || (slot->sizeOfRawData != 4 && slot->sizeOfRawData != 8)) return std::nullopt;
  const coff::Section* i6 = coff::FindSection(o, ".idata$6");
  io::Reader slotData = coff::SectionData(o, *slot);
  bool wide = slot->sizeOfRawData == 8;
  std::uint64_t v = wide ? slotData.U64(0).value_or(0) : slotData.U32(0).value_or(0);
  bool byOrdinal = (v >> (wide ? 63 : 31)) != 0;
  // A tail's terminating zero entry has neither an ordinal nor a name.
  if (!byOrdinal && (i6 == nullptr || i6->sizeOfRawData < 3)) return std::nullopt;

  ImportEntry e;
  e.longForm = true;
  e.memberOffset = memberOffset;
  e.byOrdinal = byOrdinal;
  e.nameType = byOrdinal ? 0 : 1;
  if (byOrdinal) {
    e.ordinalOrHint = static_cast<std::uint16_t>(v & 0xFFFF);
  } else {
    io::Reader hn = coff::SectionData(o, *i6);
    e.ordinalOrHint = hn.U16(0).value_or(0);
    io::CString name = hn.String(2, pe::kMaxName);
    if (!name.terminated) an.AtOffset(area, hn.Base() + 2, lang::Say(lang, M::ArIdata6NoNul));
    e.name = name.text;
  }
  const coff::Section* text = coff::FindSection(o, ".text");
  const coff::Section* iat = coff::FindSection(o, ".idata$5");
  e.type = text != nullptr && text->sizeOfRawData != 0 ? 0 : 1;
  coff::ForEachSymbol(o, budget, noise, [&](const coff::Symbol& s) {
    auto role = coff::RoleOf(s);
    // The symbol the linker resolves is the import address slot's (__imp_...).
    if (role == coff::SymbolRole::Defined && iat != nullptr && s.section == static_cast<std::int32_t>(iat->number) && e.symbol.empty())
      e.symbol = s.name;
    if (role == coff::SymbolRole::Undefined) needs.push_back(s.name);
  });
  return e;
}

}  // namespace

ImportLibrary ParseImportLibrary(const Archive& a, pe::Budget& budget, pe::Anomalies& an, pe::Area area) {
  ImportLibrary lib;
  LongForm lf;
  // The archive's and its objects' own damage is reported where they are listed, not twice.
  pe::Anomalies structure;
  // Long-form functions: their entry's index and the symbols they need. Their
  // descriptor may come after them, so they are tied to it after the walk.
  std::vector<std::pair<std::size_t, std::string_view>> pending;
  std::vector<std::string_view> needs;
  ForEachMember(a, budget, structure, [&](const Member& m) {
    if (m.kind == MemberKind::ShortImport) {
      ShortImport s = ParseShortImport(m.data, an, area, a.lang);
      if (!s.present) return true;
      ImportEntry e;
      e.dll = s.dll;
      e.symbol = s.symbol;
      e.name = ImportName(s);
      e.byOrdinal = s.nameType == static_cast<std::uint8_t>(NameType::Ordinal);
      e.ordinalOrHint = s.ordinalOrHint;
      e.type = s.type;
      e.nameType = s.nameType;
      e.memberOffset = m.headerOffset;
      lib.entries.push_back(e);
      ++lib.shortMembers;
    } else if (m.kind == MemberKind::Object) {
      coff::Object o = coff::ParseObject(m.data, budget, structure, pe::Area::Object, a.lang);
      if (!o.present) return true;
      ScanDescriptorOrTail(o, lf, budget, an, structure, area, a.lang);
      needs.clear();
      if (auto e = LongFunction(o, needs, m.headerOffset, budget, an, structure, area, a.lang)) {
        for (std::string_view n : needs) pending.emplace_back(lib.entries.size(), n);
        if (needs.empty()) pending.emplace_back(lib.entries.size(), std::string_view{});
        lib.entries.push_back(*e);
        ++lib.longMembers;
      }
    }
    return true;
  });
  for (const auto& [index, sym] : pending) {
    ImportEntry& e = lib.entries[index];
    if (e.dll.empty() && !sym.empty()) e.dll = lf.Resolve(sym);
  }
  for (const ImportEntry& e : lib.entries) {
    if (!e.longForm || !e.dll.empty()) continue;
    an.AtOffset(area, e.memberOffset, e.byOrdinal ? lang::Say(a.lang, M::ArNoDescriptorOrdinal, {e.ordinalOrHint})
                                                  : lang::Say(a.lang, M::ArNoDescriptorName, {e.name}));
  }
  // One table per DLL, DLLs in the order the library first names them.
  std::unordered_map<std::string_view, std::uint32_t> order;
  for (ImportEntry& e : lib.entries) e.group = order.emplace(e.dll, static_cast<std::uint32_t>(order.size())).first->second;
  if (order.size() > 1)
    std::stable_sort(lib.entries.begin(), lib.entries.end(),
                     [](const ImportEntry& x, const ImportEntry& y) { return x.group < y.group; });
  lib.present = !lib.entries.empty();
  return lib;
}

}  // namespace kestrova::dumper::archive
