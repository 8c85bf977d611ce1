#pragma once
// .lib / .a archives ("!<arch>\n"): the linker members (the symbol index), the
// long-names member and the members, in both the GNU and the Microsoft layout.
// Nothing here copies a member: the archive record holds views, and members
// are decoded one at a time as a walk reaches them, so a library of thousands
// of members costs what its largest member costs.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"
#include "dumper/lang/catalog/Archive.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::archive {

inline constexpr std::uint64_t kMemberHeaderSize = 60;

enum class MemberKind : std::uint8_t {
  FirstLinker,   // "/" first: the symbol index, big-endian offsets
  SecondLinker,  // "/" second (Microsoft): member offsets and a sorted index
  LongNames,     // "//"
  EcSymbols,     // "/<ECSYMBOLS>/" (ARM64EC): the second index for x64 code
  ShortImport,   // an import header, Sig1 0 and Sig2 0xFFFF
  Object,        // a COFF object
  BigObject,     // a big COFF object
  LtcgObject,    // an object compiled with /GL: only the linker reads it
  Other,
};
// In our words; JSON takes the English.
lang::Msg KindName(MemberKind k);

struct Member {
  std::uint64_t headerOffset = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t size = 0;          // as the header says
  std::string_view rawName;        // the 16-byte field, blanks cut
  std::string_view name;           // resolved: the long name, without the GNU '/'
  bool nameOk = true;
  std::string_view date, uid, gid, mode;
  MemberKind kind = MemberKind::Other;
  io::Reader data;                 // the bytes of the member that are in the file
};

struct LinkerIndex {
  bool present = false;
  std::uint64_t offset = 0;        // of the member's header
  bool second = false;             // the Microsoft second member's layout
  bool wide = false;               // "/SYM64/": 64-bit offsets
  std::uint32_t memberCount = 0;   // second member only
  std::uint32_t symbolCount = 0;
  io::Reader memberOffsets;        // second: memberCount little-endian u32
  io::Reader offsets;              // first: symbolCount big-endian offsets; second: u16 member indices (1-based)
  io::Reader names;                // the NUL-terminated names, in the same order
};

struct Archive {
  bool present = false;
  pe::Area area = pe::Area::Archive;  // where its problems are reported
  lang::Lang lang = lang::Lang::En;   // and in which language
  io::Reader file;
  LinkerIndex first, second, ecSymbols;
  std::uint64_t longNamesOffset = 0;
  io::Reader longNames;
  bool microsoftLayout = false;    // both linker members
};

// Reads the signature and the special members at the front; the rest is walked.
Archive ParseArchive(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, pe::Area area = pe::Area::Archive,
                     lang::Lang lang = lang::Lang::En);

// The member whose header is at `offset`; nothing at the end of the file or
// when the header is damaged (reported at its offset).
std::optional<Member> MemberAt(const Archive& a, std::uint64_t offset, pe::Anomalies& an);
// Where the member after `m` starts (data padded to an even offset).
std::uint64_t NextMember(const Member& m);

// Visits every member after the archive's signature, the special ones
// included, under the budget; `fn(const Member&)` returns false to stop.
template <class Fn>
void ForEachMember(const Archive& a, pe::Budget& budget, pe::Anomalies& an, Fn fn) {
  std::uint64_t at = 8;
  while (at < a.file.Size()) {
    if (!budget.Take()) {
      an.AtOffset(a.area, a.file.Base() + at, lang::Say(a.lang, lang::M::ArMembersBudget));
      return;
    }
    auto m = MemberAt(a, at, an);
    if (!m) return;
    if (!fn(*m)) return;
    std::uint64_t next = NextMember(*m);
    if (next <= at) return;
    at = next;
  }
}

std::optional<std::uint64_t> ReadBigEndian(const io::Reader& r, std::uint64_t off, int bytes);
// Whether a member header (its "`" and newline end mark) is at `offset`.
bool LooksLikeMember(const Archive& a, std::uint64_t offset);

struct IndexSymbol {
  std::uint32_t number = 0;
  std::string_view name;
  std::uint64_t memberOffset = 0;  // of the member's header
};
// Visits the symbols of a linker member in order, under the budget. Offsets
// that point at no member header and names past the table are reported.
template <class Fn>
void ForEachIndexSymbol(const Archive& a, const LinkerIndex& ix, pe::Budget& budget, pe::Anomalies& an, Fn fn) {
  if (!ix.present) return;
  std::uint64_t nameAt = 0;
  for (std::uint32_t i = 0; i < ix.symbolCount; ++i) {
    if (!budget.Take()) {
      an.AtOffset(a.area, ix.offset, lang::Say(a.lang, lang::M::ArIndexBudget));
      return;
    }
    IndexSymbol s;
    s.number = i;
    auto name = ix.names.String(nameAt, pe::kMaxName);
    if (nameAt >= ix.names.Size() || !name.terminated) {
      an.AtOffset(a.area, ix.names.Base() + nameAt, lang::Say(a.lang, lang::M::ArIndexNamePast, {i}));
      return;
    }
    s.name = name.text;
    nameAt += name.text.size() + 1;
    std::optional<std::uint64_t> off;
    if (ix.second) {
      auto m = ix.offsets.U16(std::uint64_t{i} * 2);
      if (m && *m >= 1 && *m <= ix.memberCount) off = ix.memberOffsets.U32((std::uint64_t{*m} - 1) * 4);
      if (!off) an.AtOffset(a.area, ix.offsets.Base() + std::uint64_t{i} * 2,
                            lang::Say(a.lang, lang::M::ArIndexMemberNumber, {i, m.value_or(0)}));
    } else if (ix.wide) {
      off = ReadBigEndian(ix.offsets, std::uint64_t{i} * 8, 8);
    } else {
      off = ReadBigEndian(ix.offsets, std::uint64_t{i} * 4, 4);
    }
    if (off) {
      s.memberOffset = *off;
      if (!LooksLikeMember(a, *off))
        an.AtOffset(a.area, ix.offsets.Base(), lang::Say(a.lang, lang::M::ArIndexNoMember, {s.name, *off}));
    }
    fn(s);
  }
}

// Short import members: the import header and its names.
enum class ImportType : std::uint8_t { Code = 0, Data = 1, Const = 2 };
enum class NameType : std::uint8_t { Ordinal = 0, Name = 1, NoPrefix = 2, Undecorate = 3, ExportAs = 4 };
// In our words; JSON takes the English.
lang::Msg ImportTypeName(std::uint8_t t);
lang::Msg NameTypeName(std::uint8_t t);

struct ShortImport {
  bool present = false;
  std::uint16_t version = 0, machine = 0;
  std::uint32_t timeDateStamp = 0, sizeOfData = 0;
  std::uint16_t ordinalOrHint = 0;
  std::uint8_t type = 0, nameType = 0;
  std::uint16_t reserved = 0;      // the bits above the name type
  std::string_view symbol, dll, exportAs;
};
bool IsShortImport(const io::Reader& data);
// Reads the header and its names; the names must lie within SizeOfData.
ShortImport ParseShortImport(const io::Reader& data, pe::Anomalies& an, pe::Area area, lang::Lang lang = lang::Lang::En);
// The name the loader looks up, derived from the symbol as the name type says;
// empty for an import by ordinal.
std::string_view ImportName(const ShortImport& s);

// One function an import library gives, from either form of member.
struct ImportEntry {
  std::string_view dll;
  std::string_view name;           // empty for an import by ordinal
  std::string_view symbol;         // the symbol the linker resolves
  bool byOrdinal = false;
  std::uint16_t ordinalOrHint = 0;
  std::uint8_t type = 0;           // ImportType
  std::uint8_t nameType = 0;       // short form: NameType; long form: Name or Ordinal
  bool longForm = false;
  std::uint64_t memberOffset = 0;
  std::uint32_t group = 0;         // the DLL's place in the table
};

struct ImportLibrary {
  bool present = false;
  std::vector<ImportEntry> entries;  // grouped by DLL, DLLs in first-seen order, members in file order
  std::uint32_t shortMembers = 0, longMembers = 0;
};

// What the members are, counted in one walk of their headers and symbol
// tables, for the summary that opens the listing.
struct Tally {
  std::uint64_t members = 0;        // ordinary members: not the symbol indexes or the long names
  std::uint64_t shortImports = 0;
  std::uint64_t importObjects = 0;  // the long form's members: objects of .idata$ sections
  std::uint64_t objects = 0;        // objects of code or data, big objects too
  std::uint64_t ltcgObjects = 0;
  std::uint64_t others = 0;
  std::uint64_t defined = 0;        // external symbols the objects of code or data define
  std::vector<std::uint16_t> machines;  // distinct and named (not 0), first seen first
  bool complete = true;             // false: damage or the budget stopped the walk
};
Tally TallyMembers(const Archive& a, pe::Budget& budget);

// The imports of every member: short import members directly, and the
// long form (.idata$2 .. .idata$7 objects) through the descriptor and the
// tail member that name the DLL. Problems of the imports go to `area`, in the
// archive's language; those of the archive's structure are the archive listing's to report.
ImportLibrary ParseImportLibrary(const Archive& a, pe::Budget& budget, pe::Anomalies& an, pe::Area area);

}  // namespace kestrova::dumper::archive
