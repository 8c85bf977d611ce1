#pragma once
// COFF objects (.obj / .o) and their big-object form (/bigobj, -mbig-obj).
// The section table is copied (it is small and every other read needs it);
// the symbol table, the string table and the relocations stay views that are
// decoded one entry at a time, so an object costs no copy of its tables.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"
#include "dumper/lang/catalog/Object.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::coff {


// Storage classes the listing tells apart.
inline constexpr std::uint8_t kClassExternal = 2;
inline constexpr std::uint8_t kClassStatic = 3;
inline constexpr std::uint8_t kClassLabel = 6;
inline constexpr std::uint8_t kClassFunction = 101;
inline constexpr std::uint8_t kClassFile = 103;
inline constexpr std::uint8_t kClassSection = 104;
inline constexpr std::uint8_t kClassWeakExternal = 105;
inline constexpr std::uint8_t kClassClrToken = 107;

// Section numbers below 1 that mean something.
inline constexpr std::int32_t kSectionUndefined = 0;
inline constexpr std::int32_t kSectionAbsolute = -1;
inline constexpr std::int32_t kSectionDebug = -2;

inline constexpr std::uint32_t kScnRelocOverflow = 0x01000000;

struct FileHeader {
  bool bigObject = false;
  std::uint16_t bigVersion = 0;  // big objects only
  std::uint16_t machine = 0;
  std::uint32_t numberOfSections = 0;
  std::uint32_t timeDateStamp = 0;
  std::uint32_t pointerToSymbolTable = 0;
  std::uint32_t numberOfSymbols = 0;
  std::uint16_t sizeOfOptionalHeader = 0;
  std::uint16_t characteristics = 0;
};

struct Section {
  std::uint32_t number = 0;      // 1-based, as symbols name it
  std::uint64_t headerOffset = 0;
  std::string_view rawName;      // the eight bytes as written ("/4" for a long name)
  std::string_view name;         // the long name from the string table when there is one
  std::uint32_t virtualSize = 0, virtualAddress = 0, sizeOfRawData = 0, pointerToRawData = 0;
  std::uint32_t pointerToRelocations = 0, pointerToLinenumbers = 0;
  std::uint32_t numberOfRelocations = 0;  // the real count when the field overflowed
  bool relocOverflow = false;
  std::uint16_t numberOfLinenumbers = 0;
  std::uint32_t characteristics = 0;
};

struct Object {
  bool present = false;
  pe::Area area = pe::Area::Object;  // where its problems are reported
  lang::Lang lang = lang::Lang::En;  // and in which language
  io::Reader file;
  FileHeader h;
  std::vector<Section> sections;
  io::Reader symbols;            // whole records only
  std::uint32_t symbolSize = 18; // 20 in a big object
  std::uint32_t symbolCount = 0; // the records that are really in the file
  io::Reader strings;            // from its size field on; empty when there is none
};

// Whether the bytes start with a big object's header (signature, version 2 or later, its class).
bool IsBigObject(const io::Reader& file);

// An object Visual C++ wrote under /GL (link-time code generation): an
// anonymous object header of its own class, then the compiler's intermediate
// code, which only the linker reads. Its header is all there is to show.
struct LtcgHeader {
  bool present = false;
  std::uint16_t version = 0, machine = 0;
  std::uint32_t timeDateStamp = 0;
};
bool IsLtcgObject(const io::Reader& file);
LtcgHeader ReadLtcgHeader(const io::Reader& file);

// Reads the headers, the section table and locates the symbol and string
// tables; what does not fit the file is reported and left out.
Object ParseObject(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, pe::Area area = pe::Area::Object,
                   lang::Lang lang = lang::Lang::En);

struct Symbol {
  std::uint32_t index = 0;
  std::uint64_t offset = 0;  // of the record in the file
  std::string_view name;
  bool nameOk = true;        // false: the string-table offset lies or the name has no NUL
  std::uint32_t value = 0;
  std::int32_t section = 0;
  std::uint16_t type = 0;
  std::uint8_t storageClass = 0;
  std::uint8_t auxCount = 0;
};

// Record `index` of the symbol table; nothing past its end. Names that lie are
// reported at the record's offset.
std::optional<Symbol> SymbolAt(const Object& o, std::uint32_t index, pe::Anomalies& an);

// Visits every symbol (auxiliary records are skipped over, not visited) under
// the budget; `fn(const Symbol&)`. A count of auxiliary records that runs past
// the table is reported.
template <class Fn>
void ForEachSymbol(const Object& o, pe::Budget& budget, pe::Anomalies& an, Fn fn) {
  for (std::uint64_t i = 0; i < o.symbolCount;) {
    if (!budget.Take()) {
      an.AtOffset(o.area, o.symbols.Base() + i * o.symbolSize, lang::Say(o.lang, lang::M::ObSymbolsBudget));
      return;
    }
    auto s = SymbolAt(o, static_cast<std::uint32_t>(i), an);
    if (!s) return;
    if (i + 1 + s->auxCount > o.symbolCount)
      an.AtOffset(o.area, s->offset, lang::Say(o.lang, lang::M::ObAuxPast));
    fn(*s);
    i += 1 + std::uint64_t{s->auxCount};
  }
}

enum class SymbolRole : std::uint8_t { Defined, Undefined, Common, Weak, Local, Other };
// What a symbol means for the link: defined here, needed from elsewhere, ...
SymbolRole RoleOf(const Symbol& s);

// What the auxiliary records after a symbol hold, by the symbol's form.
enum class AuxKind : std::uint8_t { None, SectionDefinition, FunctionDefinition, WeakExternal, FileName, ClrToken, Other };
AuxKind AuxKindOf(const Symbol& s);

struct AuxSection {
  std::uint32_t length = 0;
  std::uint16_t relocations = 0, linenumbers = 0;
  std::uint32_t checksum = 0;
  std::uint32_t number = 0;  // the associated section (COMDAT associative)
  std::uint8_t selection = 0;
};
struct AuxFunction {
  std::uint32_t tagIndex = 0, totalSize = 0, pointerToLinenumber = 0, pointerToNextFunction = 0;
};
struct AuxWeak {
  std::uint32_t tagIndex = 0, characteristics = 0;
};
struct AuxClr {
  std::uint8_t auxType = 0;
  std::uint32_t symbolIndex = 0;
};

// The first auxiliary record of `s`, decoded as its form says.
AuxSection ReadAuxSection(const Object& o, const Symbol& s);
AuxFunction ReadAuxFunction(const Object& o, const Symbol& s);
AuxWeak ReadAuxWeak(const Object& o, const Symbol& s);
AuxClr ReadAuxClr(const Object& o, const Symbol& s);
// A file symbol's name spans its auxiliary records, padded with NULs.
std::string_view AuxFileName(const Object& o, const Symbol& s);

// The raw data of a section; empty for uninitialised data or data the file lacks.
io::Reader SectionData(const Object& o, const Section& s);
const Section* FindSection(const Object& o, std::string_view name);

struct Relocation {
  std::uint32_t virtualAddress = 0;
  std::uint32_t symbolIndex = 0;
  std::uint16_t type = 0;
};
// The relocation records of a section, whole records only (the overflow
// record, when there is one, is skipped).
io::Reader Relocations(const Object& o, const Section& s);
std::optional<Relocation> RelocationAt(const io::Reader& relocs, std::uint64_t i);
// The relocation that patches `at` in the section, if any.
std::optional<Relocation> RelocationFor(const Object& o, const Section& s, std::uint32_t at, pe::Budget& budget);

// What compiled the object, as its CodeView compile record says (S_COMPILE3
// or S_COMPILE2 in a .debug$S section): the compiler's own words and its
// front end's version.
struct CompileRecord {
  bool present = false;
  std::string_view version;  // "Microsoft (R) Optimizing Compiler", "clang version 17.0.6"
  std::uint16_t major = 0, minor = 0, build = 0;
};
CompileRecord FindCompileRecord(const Object& o, pe::Budget& budget);

// The NUL-separated strings of a section (.comment, GCC's .rdata$zzz), empty ones skipped.
template <class Fn>
void ForEachSectionString(const io::Reader& data, Fn fn) {
  std::uint64_t at = 0;
  while (at < data.Size()) {
    io::CString s = data.String(at, pe::kMaxName);
    if (!s.text.empty()) fn(s.text);
    at += s.text.size() + 1;
  }
}

// The options of a .drectve section, split as the linker splits them: on
// blanks, with double quotes keeping blanks inside one option.
template <class Fn>
void ForEachDirective(std::string_view text, Fn fn) {
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n' || text[i] == '\0')) ++i;
    if (i >= text.size()) break;
    std::size_t start = i;
    bool quoted = false;
    while (i < text.size()) {
      char c = text[i];
      if (c == '"') quoted = !quoted;
      else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0')) break;
      ++i;
    }
    fn(text.substr(start, i - start));
  }
}

// A .debug$S section: its signature and each subsection's kind, offset and
// length (offsets within the section). Reports a subsection that runs past
// the section, in `l`, and stops there.
template <class Fn>
std::uint32_t ForEachDebugSubsection(const io::Reader& data, pe::Budget& budget, pe::Anomalies& an, pe::Area area, lang::Lang l,
                                     Fn fn) {
  auto sig = data.U32(0);
  if (!sig) return 0;
  if (*sig != 4) return *sig;  // only the C13 form has subsections
  std::uint64_t at = 4;
  while (data.Has(at, 8)) {
    if (!budget.Take()) return *sig;
    std::uint32_t kind = *data.U32(at), len = *data.U32(at + 4);
    if (!data.Has(at + 8, len)) {
      an.AtOffset(area, data.Base() + at, lang::Say(l, lang::M::ObDebugSubPast));
      return *sig;
    }
    fn(kind, at, len);
    at = (at + 8 + len + 3) & ~std::uint64_t{3};
  }
  return *sig;
}

}  // namespace kestrova::dumper::coff
