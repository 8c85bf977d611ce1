// Archives: the signature, member headers, the linker members and long names.
#include "dumper/archive/Archive.h"

#include <algorithm>

#include "dumper/coff/Detect.h"
#include "dumper/coff/Object.h"
#include "dumper/io/Format.h"

namespace kestrova::dumper::archive {


namespace M = lang::M;

lang::Msg KindName(MemberKind k) {
  switch (k) {
    case MemberKind::FirstLinker: return M::ArKindFirstLinker;
    case MemberKind::SecondLinker: return M::ArKindSecondLinker;
    case MemberKind::LongNames: return M::ArKindLongNames;
    case MemberKind::EcSymbols: return M::ArKindEcSymbols;
    case MemberKind::ShortImport: return M::ArKindShortImport;
    case MemberKind::Object: return M::ArKindObject;
    case MemberKind::BigObject: return M::ArKindBigObject;
    case MemberKind::LtcgObject: return M::ArKindLtcgObject;
    case MemberKind::Other: break;
  }
  return M::ArKindOther;
}

namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A decimal header field; nothing when it holds anything but digits and trailing blanks.
std::optional<std::uint64_t> Decimal(std::string_view s) {
  s = TrimBlanks(s);
  if (s.empty() || s.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

// Reads a linker member's tables as views; damage is reported and the
// counts cut to what the member holds.
LinkerIndex ReadIndex(const Member& m, bool second, bool wide, pe::Anomalies& an, pe::Area area, lang::Lang l) {
  LinkerIndex ix;
  ix.present = true;
  ix.offset = m.headerOffset;
  ix.second = second;
  ix.wide = wide;
  const io::Reader& d = m.data;
  if (second) {
    auto members = d.U32(0);
    std::uint64_t at = 4;
    if (!members || !d.Has(at, std::uint64_t{*members} * 4 + 4)) {
      an.AtOffset(area, m.dataOffset, lang::Say(l, M::ArSecondMemberCount, {members.value_or(0)}));
      ix.present = false;
      return ix;
    }
    ix.memberCount = *members;
    ix.memberOffsets = *d.Sub(at, std::uint64_t{*members} * 4);
    at += std::uint64_t{*members} * 4;
    std::uint32_t symbols = *d.U32(at);
    at += 4;
    if (!d.Has(at, std::uint64_t{symbols} * 2)) {
      an.AtOffset(area, m.dataOffset + at - 4, lang::Say(l, M::ArSecondSymbolCount, {symbols}));
      symbols = static_cast<std::uint32_t>((d.Size() - at) / 2);
    }
    ix.symbolCount = symbols;
    ix.offsets = *d.Sub(at, std::uint64_t{symbols} * 2);
    ix.names = d.From(at + std::uint64_t{symbols} * 2);
    return ix;
  }
  const int w = wide ? 8 : 4;
  auto count = ReadBigEndian(d, 0, w);
  if (!count || *count / static_cast<std::uint64_t>(w) > d.Size() || !d.Has(static_cast<std::uint64_t>(w), *count * static_cast<std::uint64_t>(w))) {
    an.AtOffset(area, m.dataOffset, lang::Say(l, M::ArFirstSymbolCount, {count.value_or(0)}));
    std::uint64_t fit = d.Size() > static_cast<std::uint64_t>(w) ? (d.Size() - static_cast<std::uint64_t>(w)) / static_cast<std::uint64_t>(w) : 0;
    count = fit;
  }
  ix.symbolCount = static_cast<std::uint32_t>(*count > UINT32_MAX ? UINT32_MAX : *count);
  ix.offsets = *d.Sub(static_cast<std::uint64_t>(w), std::uint64_t{ix.symbolCount} * static_cast<std::uint64_t>(w));
  ix.names = d.From(static_cast<std::uint64_t>(w) + std::uint64_t{ix.symbolCount} * static_cast<std::uint64_t>(w));
  return ix;
}

}  // namespace

std::optional<std::uint64_t> ReadBigEndian(const io::Reader& r, std::uint64_t off, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    auto b = r.U8(off + static_cast<std::uint64_t>(i));
    if (!b) return std::nullopt;
    v = (v << 8) | *b;
  }
  return v;
}

bool LooksLikeMember(const Archive& a, std::uint64_t offset) {
  return a.file.U8(offset + 58) == '`' && a.file.U8(offset + 59) == '\n';
}

std::optional<Member> MemberAt(const Archive& a, std::uint64_t offset, pe::Anomalies& an) {
  const io::Reader& f = a.file;
  if (offset >= f.Size()) return std::nullopt;
  const std::uint64_t at = f.Base() + offset;
  if (!f.Has(offset, kMemberHeaderSize)) {
    // A lone newline pads some archives' last member.
    if (f.Size() - offset == 1 && f.U8(offset) == '\n') return std::nullopt;
    an.AtOffset(a.area, at, lang::Say(a.lang, M::ArHeaderCut));
    return std::nullopt;
  }
  if (!LooksLikeMember(a, offset)) {
    an.AtOffset(a.area, at, lang::Say(a.lang, M::ArHeaderNoEnd));
    return std::nullopt;
  }
  Member m;
  m.headerOffset = offset;
  auto field = [&](std::uint64_t o, std::size_t n) { return TrimBlanks(f.Fixed(offset + o, n)); };
  m.rawName = field(0, 16);
  m.date = field(16, 12);
  m.uid = field(28, 6);
  m.gid = field(34, 6);
  m.mode = field(40, 8);
  auto size = Decimal(field(48, 10));
  if (!size) {
    an.AtOffset(a.area, at + 48, lang::Say(a.lang, M::ArSizeNotNumber, {field(48, 10)}));
    return std::nullopt;
  }
  m.size = *size;
  m.dataOffset = offset + kMemberHeaderSize;
  if (!f.Has(m.dataOffset, m.size))
    an.AtOffset(a.area, at + 48, lang::Say(a.lang, M::ArMemberPastEnd, {m.size}));
  m.data = f.Sub(m.dataOffset, m.size).value_or(f.From(m.dataOffset));

  // Names: "/" and "//" and "/<...>/" are special; "/123" is a long name; "name/" GNU and Microsoft short.
  std::string_view n = m.rawName;
  if (n == "/" || n == "/SYM64/") {
    m.name = n;
    // The first "/" is the first linker member; a second "/" after it is the Microsoft second one.
    bool second = n == "/" && a.first.present && a.first.offset != offset;
    m.kind = second ? MemberKind::SecondLinker : MemberKind::FirstLinker;
  } else if (n == "//") {
    m.name = n;
    m.kind = MemberKind::LongNames;
  } else if (n == "/<ECSYMBOLS>/") {
    m.name = n;
    m.kind = MemberKind::EcSymbols;
  } else if (n.size() > 1 && n[0] == '/' && n[1] >= '0' && n[1] <= '9') {
    auto off = Decimal(n.substr(1));
    if (!off || *off >= a.longNames.Size()) {
      m.nameOk = false;
      m.name = n;
      an.AtOffset(a.area, at, lang::Say(a.lang, M::ArLongNameOutside, {n}));
    } else {
      // Microsoft ends a long name with a NUL, GNU with "/\n".
      io::CString s = a.longNames.String(*off, pe::kMaxName);
      std::string_view t = s.text;
      std::size_t nl = t.find('\n');
      if (nl != std::string_view::npos) t = t.substr(0, nl);
      else if (!s.terminated) {
        m.nameOk = false;
        an.AtOffset(a.area, a.longNames.Base() + *off, lang::Say(a.lang, M::ArLongNameNoEnd));
      }
      if (!t.empty() && t.back() == '/') t.remove_suffix(1);
      m.name = t;
    }
  } else if (n.size() > 3 && n.substr(0, 3) == "#1/") {
    // BSD: the name leads the data.
    auto len = Decimal(n.substr(3));
    if (!len || *len > m.data.Size()) {
      m.nameOk = false;
      m.name = n;
      an.AtOffset(a.area, at, lang::Say(a.lang, M::ArNameLengthPast, {n}));
    } else {
      m.name = m.data.Fixed(0, static_cast<std::size_t>(*len));
      m.data = m.data.From(*len);
    }
  } else {
    m.name = (!n.empty() && n.back() == '/') ? n.substr(0, n.size() - 1) : n;
  }

  if (m.kind == MemberKind::Other) {
    if (coff::IsBigObject(m.data)) m.kind = MemberKind::BigObject;
    else if (coff::IsLtcgObject(m.data)) m.kind = MemberKind::LtcgObject;
    else if (IsShortImport(m.data)) m.kind = MemberKind::ShortImport;
    else if (coff::LooksLikeObject(m.data)) m.kind = MemberKind::Object;
  }
  return m;
}

std::uint64_t NextMember(const Member& m) {
  auto end = io::CheckedAdd(m.dataOffset, m.size);
  if (!end) return 0;
  return *end + (*end & 1);
}

Archive ParseArchive(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, pe::Area area, lang::Lang lang) {
  Archive a;
  a.area = area;
  a.lang = lang;
  a.file = file;
  if (!file.Has(0, 8) || file.Fixed(0, 8) != "!<arch>\n") return a;
  a.present = true;
  // The special members come first; stop at the first ordinary one.
  std::uint64_t at = 8;
  for (int i = 0; i < 4 && at < file.Size(); ++i) {
    if (!budget.Take()) break;
    auto m = MemberAt(a, at, an);
    if (!m) break;
    if (m->kind == MemberKind::FirstLinker && !a.first.present) {
      a.first = ReadIndex(*m, false, m->rawName == "/SYM64/", an, area, lang);
    } else if (m->kind == MemberKind::SecondLinker && !a.second.present) {
      a.second = ReadIndex(*m, true, false, an, area, lang);
      a.microsoftLayout = true;
    } else if (m->kind == MemberKind::LongNames) {
      a.longNamesOffset = m->headerOffset;
      a.longNames = m->data;
    } else if (m->kind == MemberKind::EcSymbols) {
      // Same layout as the second member's symbol half: a count, u16 indices, names.
      LinkerIndex ix;
      ix.present = true;
      ix.offset = m->headerOffset;
      ix.second = true;
      ix.memberCount = a.second.memberCount;
      ix.memberOffsets = a.second.memberOffsets;
      std::uint32_t n = m->data.U32(0).value_or(0);
      if (!m->data.Has(4, std::uint64_t{n} * 2)) {
        an.AtOffset(area, m->dataOffset, lang::Say(lang, M::ArEcSymbolCount, {n}));
        n = static_cast<std::uint32_t>(m->data.Size() > 4 ? (m->data.Size() - 4) / 2 : 0);
      }
      ix.symbolCount = n;
      ix.offsets = *m->data.Sub(4, std::uint64_t{n} * 2);
      ix.names = m->data.From(4 + std::uint64_t{n} * 2);
      a.ecSymbols = ix;
    } else {
      break;
    }
    std::uint64_t next = NextMember(*m);
    if (next <= at) break;
    at = next;
  }
  return a;
}

Tally TallyMembers(const Archive& a, pe::Budget& budget) {
  Tally t;
  // The Archive part's own walk reports the damage; this one only counts.
  pe::Anomalies quiet;
  auto machine = [&](std::uint16_t m) {
    if (m != 0 && std::find(t.machines.begin(), t.machines.end(), m) == t.machines.end()) t.machines.push_back(m);
  };
  std::uint64_t end = 8;
  ForEachMember(a, budget, quiet, [&](const Member& m) {
    end = NextMember(m);
    switch (m.kind) {
      case MemberKind::FirstLinker:
      case MemberKind::SecondLinker:
      case MemberKind::LongNames:
      case MemberKind::EcSymbols:
        return true;
      case MemberKind::ShortImport:
        ++t.shortImports;
        machine(m.data.U16(6).value_or(0));
        break;
      case MemberKind::LtcgObject:
        ++t.ltcgObjects;
        machine(coff::ReadLtcgHeader(m.data).machine);
        break;
      case MemberKind::Object:
      case MemberKind::BigObject: {
        coff::Object o = coff::ParseObject(m.data, budget, quiet, a.area, a.lang);
        machine(o.h.machine);
        bool imports = false;
        for (const coff::Section& s : o.sections) imports = imports || s.name.starts_with(".idata$");
        if (imports) {
          ++t.importObjects;
          break;
        }
        ++t.objects;
        coff::ForEachSymbol(o, budget, quiet, [&](const coff::Symbol& s) {
          auto role = coff::RoleOf(s);
          if (role == coff::SymbolRole::Defined || role == coff::SymbolRole::Common) ++t.defined;
        });
        break;
      }
      case MemberKind::Other:
        ++t.others;
        break;
    }
    ++t.members;
    return true;
  });
  // A walk that stopped before the end of the file left members uncounted.
  t.complete = quiet.List().empty() || end >= a.file.Size();
  return t;
}

}  // namespace kestrova::dumper::archive
