// Turns the marks the parts noted, the headers and a few bounded reads into
// findings on what built the file and whether it is packed. Every finding names
// the marks it rests on, so the reader can check them further down the listing.
// What each mark names and where it lives is the table in Marks.def; this is the
// engine that looks for all of them once in each place (the section names, the
// imports and resources as their parsers meet them, one pass over the data
// sections' bytes, the overlay's two ends) and words what it found. The rules
// below join marks with other facts where one mark alone would not do (the
// Visual C++ release, the MinGW runtime, Delphi, Go, the linker).
#include "dumper/pe/Identify.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <optional>

#include "dumper/io/Format.h"
#include "dumper/pe/ClrMeta.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/Resources.h"
#include "dumper/pe/Rich.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Identify.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;

namespace {

constexpr std::uint32_t kCode = 0x20, kUninitialized = 0x80, kExecute = 0x20000000, kWrite = 0x80000000;
constexpr std::size_t kMaxRichUses = 64;
// Caps on what Identify reads itself: a 100 MB installer must not be read twice.
constexpr std::uint64_t kDataScanCap = 3u << 20;
// A data section up to this size is looked at whole: runtimes' strings lie
// anywhere in it (Zig's in the middle of its .rdata).
constexpr std::uint64_t kDataScanWhole = 2u << 20;
// Of each data section, its two ends: compilers' marks sort last (GCC's
// .rdata$zzz) or first (Go's build information).
constexpr std::uint64_t kDataScanEnd = 128u << 10;
constexpr std::uint64_t kOverlayTail = 4096;
constexpr std::size_t kMaxHits = 16;

// ---------------------------------------------------------------- the table

enum class Kind : std::uint8_t { Toolchain, Packer, Installer };
enum class Place : std::uint8_t { Section, Import, Export, Resource, ClrType, Data, Code, OverlayHead, OverlayTail };
enum class Strength : std::uint8_t { Names, Adds, Backs, Rule };
enum class Version : std::uint8_t { None, Text, GoBuildInfo, RustCommit, UpxHeader };

struct Mark {
  Kind kind;
  lang::Msg name;
  Place place;
  std::string_view text;
  Strength strength;
  Version version;
};

enum MarkId : std::uint16_t {
#define MARK(Id, ...) k##Id,
#define STUB(...)
#include "dumper/pe/Marks.def"
#undef STUB
#undef MARK
  kMarkCount
};

constexpr Mark kMarks[] = {
#define MARK(Id, K, N, P, T, S, V) \
  {Kind::K, lang::M::N, Place::P, std::string_view(T, sizeof(T) - 1), Strength::S, Version::V},
#define STUB(...)
#include "dumper/pe/Marks.def"
#undef STUB
#undef MARK
};
static_assert(std::size(kMarks) == kMarkCount);

// Entry code of a packer: bytes with 0x100 as "any byte".
constexpr std::uint16_t X = 0x100;
struct Stub {
  lang::Msg name;
  std::size_t length;
  std::array<std::uint16_t, 16> code;
};
constexpr Stub kStubs[] = {
#define MARK(...)
#define STUB(Name, Length, ...) {lang::M::Name, Length, {__VA_ARGS__}},
#include "dumper/pe/Marks.def"
#undef STUB
#undef MARK
};

// The table's marks of each place, listed once: a parser notes every import,
// export, resource and .NET type it meets, and each of those costs only the few
// marks of its place, not the whole table.
constexpr std::size_t kPlaces = static_cast<std::size_t>(Place::OverlayTail) + 1;
const std::vector<std::uint16_t>& MarksAt(Place p) {
  static const std::array<std::vector<std::uint16_t>, kPlaces> byPlace = [] {
    std::array<std::vector<std::uint16_t>, kPlaces> r;
    for (std::size_t i = 0; i < kMarkCount; ++i) r[static_cast<std::size_t>(kMarks[i].place)].push_back(static_cast<std::uint16_t>(i));
    return r;
  }();
  return byPlace[static_cast<std::size_t>(p)];
}

// Notes a mark a parser met, once per mark.
void Hit(Marks& m, std::size_t mark, std::string_view text) {
  for (const MarkHit& h : m.hits)
    if (h.mark == mark) return;
  if (m.hits.size() < kMaxHits) m.hits.push_back({static_cast<std::uint16_t>(mark), std::string(text.substr(0, 64))});
}

// A name against a mark's text: whole, or up to a final '*'.
bool NameMatches(std::string_view name, std::string_view pattern) {
  if (!pattern.empty() && pattern.back() == '*') return name.substr(0, pattern.size() - 1) == pattern.substr(0, pattern.size() - 1);
  return name == pattern;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }

// A resource name as ASCII, for comparing with the few names looked for.
std::string Ascii(const ResourceKey& k) {
  std::string r;
  for (std::size_t i = 0; i + 1 < k.name.size() && r.size() < 32; i += 2)
    r.push_back(k.name[i + 1] == 0 && k.name[i] < 0x80 ? static_cast<char>(k.name[i]) : '?');
  return r;
}

}  // namespace

// ---------------------------------------------------------------- notes

void NoteImport(Marks& m, const ImportDll& dll) {
  if (!dll.nameOk) return;
  ++m.importDlls;
  m.importFunctions += dll.functions.size();
  const std::string n = Lower(dll.name);
  auto keep = [&](std::string& slot, std::string text) {
    if (slot.empty()) slot = std::move(text);
  };
  for (const ImportFunction& f : dll.functions) {
    std::string_view fn = f.name;
    if (StartsWith(fn, "LoadLibrary")) m.loadLibrary = true;
    if (fn == "GetProcAddress") m.getProcAddress = true;
    // Visual C++ before 2015 also took msvcrt's names, but not these two, which
    // mingw-w64's start-up code calls.
    if ((n == "msvcrt.dll" || StartsWith(n, "api-ms-win-crt-runtime")) &&
        (fn == "__getmainargs" || fn == "__set_app_type" || fn == "__wgetmainargs"))
      keep(m.gnuRuntime, std::string(dll.name) + " " + std::string(fn));
    if (n == "mscoree.dll" && (fn == "_CorExeMain" || fn == "_CorDllMain"))
      keep(m.clrRuntime, std::string(dll.name) + " " + std::string(fn));
  }
  if (StartsWith(n, "libgcc_s_") || StartsWith(n, "libstdc++") || StartsWith(n, "libwinpthread"))
    keep(m.gnuLibrary, std::string(dll.name));
  if (StartsWith(n, "vcruntime") || (StartsWith(n, "msvcr") && n != "msvcrt.dll") || StartsWith(n, "msvcp"))
    keep(m.msvcRuntime, std::string(dll.name));
  if (n == "msvbvm60.dll" || n == "msvbvm50.dll") keep(m.vbRuntime, std::string(dll.name));
  for (std::uint16_t i : MarksAt(Place::Import))
    if (NameMatches(n, kMarks[i].text)) Hit(m, i, dll.name);
  if ((EndsWith(n, ".bpl") && (StartsWith(n, "rtl") || StartsWith(n, "vcl"))) || n == "borlndmm.dll" ||
      (StartsWith(n, "cc32") && EndsWith(n, ".dll")))
    keep(m.borlandRuntime, std::string(dll.name));
}

void NoteExport(Marks& m, std::string_view name) {
  for (std::uint16_t i : MarksAt(Place::Export))
    if (name == kMarks[i].text) Hit(m, i, name);
}

void NoteResource(Marks& m, const ResourceLeaf& leaf) {
  if (!leaf.name.named) {
    // Inno Setup keeps its setup loader's data under RCDATA 11111.
    if (!leaf.type.named && leaf.type.id == 10 && leaf.name.id == 11111) m.innoResource = true;
    return;
  }
  const std::string name = Ascii(leaf.name);
  for (std::uint16_t i : MarksAt(Place::Resource))
    if (name == kMarks[i].text) Hit(m, i, name);
  if (name == "DVCLAL") m.dvclal = true;
  if (name == "PACKAGEINFO") m.packageInfo = true;
  if (name == "SCRIPT" && !leaf.type.named && leaf.type.id == 10) m.autoitScript = true;
}

void NoteRich(Marks& m, const RichHeader& r) {
  if (!r.whole) return;
  m.rich = true;
  for (std::uint32_t i = 0; i < r.count && m.richUses.size() < kMaxRichUses; ++i) {
    RichEntry e = RichEntryAt(r, i);
    m.richUses.push_back({e.product, e.build, e.uses});
  }
}

void NoteClr(Marks& m, const clr::Metadata& md) {
  m.clrVersion = std::string(md.version.substr(0, 32));
  // Obfuscators mark what they made with an attribute type of their own.
  for (int t : {clr::kTypeRef, clr::kTypeDef}) {
    const std::uint32_t rows = std::min<std::uint32_t>(md.Rows(t), 200000);
    for (std::uint32_t row = 1; row <= rows; ++row) {
      const std::string_view name = md.Str(t, row, 1);
      for (std::uint16_t i : MarksAt(Place::ClrType))
        if (name == kMarks[i].text) Hit(m, i, std::string(t == clr::kTypeRef ? "TypeRef " : "TypeDef ") + std::string(name));
    }
  }
}

// ---------------------------------------------------------------- Visual Studio

namespace {

// Release by the build number of the 14.x tool set (product ids 0x00FF on,
// shared since Visual Studio 2015): each row is the first build of a release.
// Source: Microsoft Learn, "Microsoft C/C++ compiler versions" (_MSC_FULL_VER
// per release) and the Visual C++ team blog's table of VS 2022 updates; the
// builds in between are that release's servicing updates.
struct BuildRow {
  std::uint16_t first;
  std::string_view release, msvc;
};
constexpr BuildRow kBuilds14[] = {
    {23026, "Visual Studio 2015", "MSVC 14.0"},
    {23506, "Visual Studio 2015 Update 1", "MSVC 14.0"},
    {23918, "Visual Studio 2015 Update 2", "MSVC 14.0"},
    {24210, "Visual Studio 2015 Update 3", "MSVC 14.0"},
    {25017, "Visual Studio 2017 15.0", "MSVC 14.10"},
    {25506, "Visual Studio 2017 15.3", "MSVC 14.11"},
    {25830, "Visual Studio 2017 15.5", "MSVC 14.12"},
    {26128, "Visual Studio 2017 15.6", "MSVC 14.13"},
    {26428, "Visual Studio 2017 15.7", "MSVC 14.14"},
    {26726, "Visual Studio 2017 15.8", "MSVC 14.15"},
    {27023, "Visual Studio 2017 15.9", "MSVC 14.16"},
    {27508, "Visual Studio 2019 16.0", "MSVC 14.20"},
    {27702, "Visual Studio 2019 16.1", "MSVC 14.21"},
    {27905, "Visual Studio 2019 16.2", "MSVC 14.22"},
    {28105, "Visual Studio 2019 16.3", "MSVC 14.23"},
    {28314, "Visual Studio 2019 16.4", "MSVC 14.24"},
    {28610, "Visual Studio 2019 16.5", "MSVC 14.25"},
    {28805, "Visual Studio 2019 16.6", "MSVC 14.26"},
    {29110, "Visual Studio 2019 16.7", "MSVC 14.27"},
    {29333, "Visual Studio 2019 16.8", "MSVC 14.28"},
    {29910, "Visual Studio 2019 16.9", "MSVC 14.28"},
    {30037, "Visual Studio 2019 16.10", "MSVC 14.29"},
    {30133, "Visual Studio 2019 16.11", "MSVC 14.29"},
    {30705, "Visual Studio 2022 17.0", "MSVC 14.30"},
    {31103, "Visual Studio 2022 17.1", "MSVC 14.31"},
    {31326, "Visual Studio 2022 17.2", "MSVC 14.32"},
    {31629, "Visual Studio 2022 17.3", "MSVC 14.33"},
    {31933, "Visual Studio 2022 17.4", "MSVC 14.34"},
    {32215, "Visual Studio 2022 17.5", "MSVC 14.35"},
    {32532, "Visual Studio 2022 17.6", "MSVC 14.36"},
    {32822, "Visual Studio 2022 17.7", "MSVC 14.37"},
    {33130, "Visual Studio 2022 17.8", "MSVC 14.38"},
    {33519, "Visual Studio 2022 17.9", "MSVC 14.39"},
    {33808, "Visual Studio 2022 17.10", "MSVC 14.40"},
    {34120, "Visual Studio 2022 17.11", "MSVC 14.41"},
    {34433, "Visual Studio 2022 17.12", "MSVC 14.42"},
    {34808, "Visual Studio 2022 17.13", "MSVC 14.43"},
    {35207, "Visual Studio 2022 17.14", "MSVC 14.44"},
};
// Past this, a build is newer than the table and is not named.
constexpr std::uint16_t kBuilds14End = 35999;

// The older tool sets each had product ids of their own; their builds are
// named only where the build alone is a known release (same sources). Build
// 50727 was both Visual Studio 2005 and 2012: the product id tells them apart.
struct ExactRow {
  std::uint16_t build, minId, maxId;
  std::string_view release, msvc;
};
constexpr ExactRow kBuildsOld[] = {
    {8168, 0x0002, 0x0018, "Visual Studio 6.0", "MSVC 6.0"},
    {8447, 0x0002, 0x0018, "Visual Studio 6.0 SP5", "MSVC 6.0"},
    {8804, 0x0002, 0x0018, "Visual Studio 6.0 SP6", "MSVC 6.0"},
    {9466, 0x0019, 0x0059, "Visual Studio .NET 2002", "MSVC 7.0"},
    {3077, 0x005A, 0x006C, "Visual Studio .NET 2003", "MSVC 7.1"},
    {6030, 0x005A, 0x006C, "Visual Studio .NET 2003 SP1", "MSVC 7.1"},
    {50727, 0x006D, 0x0082, "Visual Studio 2005", "MSVC 8.0"},
    {21022, 0x0083, 0x0097, "Visual Studio 2008", "MSVC 9.0"},
    {30729, 0x0083, 0x0097, "Visual Studio 2008 SP1", "MSVC 9.0"},
    {30319, 0x0098, 0x00B4, "Visual Studio 2010", "MSVC 10.0"},
    {40219, 0x0098, 0x00B4, "Visual Studio 2010 SP1", "MSVC 10.0"},
    {50727, 0x00B5, 0x00CC, "Visual Studio 2012", "MSVC 11.0"},
    {51106, 0x00B5, 0x00CC, "Visual Studio 2012 Update 1", "MSVC 11.0"},
    {60315, 0x00B5, 0x00CC, "Visual Studio 2012 Update 2", "MSVC 11.0"},
    {60610, 0x00B5, 0x00CC, "Visual Studio 2012 Update 3", "MSVC 11.0"},
    {61030, 0x00B5, 0x00CC, "Visual Studio 2012 Update 4", "MSVC 11.0"},
    {21005, 0x00CD, 0x00FE, "Visual Studio 2013", "MSVC 12.0"},
    {30501, 0x00CD, 0x00FE, "Visual Studio 2013 Update 2", "MSVC 12.0"},
    {30723, 0x00CD, 0x00FE, "Visual Studio 2013 Update 3", "MSVC 12.0"},
    {31101, 0x00CD, 0x00FE, "Visual Studio 2013 Update 4", "MSVC 12.0"},
    {40629, 0x00CD, 0x00FE, "Visual Studio 2013 Update 5", "MSVC 12.0"},
};

// Delphi's releases by the compiler version its banner gives (the CompilerVersion
// constant of each release, as Embarcadero's documentation lists them).
struct DelphiRow {
  std::string_view compiler, release;
};
constexpr DelphiRow kDelphi[] = {
    {"20.0", "Delphi 2009"},          {"21.0", "Delphi 2010"},        {"22.0", "Delphi XE"},
    {"23.0", "Delphi XE2"},           {"24.0", "Delphi XE3"},         {"25.0", "Delphi XE4"},
    {"26.0", "Delphi XE5"},           {"27.0", "Delphi XE6"},         {"28.0", "Delphi XE7"},
    {"29.0", "Delphi XE8"},           {"30.0", "Delphi 10 Seattle"},  {"31.0", "Delphi 10.1 Berlin"},
    {"32.0", "Delphi 10.2 Tokyo"},    {"33.0", "Delphi 10.3 Rio"},    {"34.0", "Delphi 10.4 Sydney"},
    {"35.0", "Delphi 11 Alexandria"}, {"36.0", "Delphi 12 Athens"},   {"37.0", "Delphi 13 Florence"},
};

std::string_view DelphiRelease(std::string_view compiler) {
  for (const DelphiRow& r : kDelphi)
    if (r.compiler == compiler) return r.release;
  return "Delphi";
}

// What each product id of the 14.x tool set is, for the toolchain line.
std::optional<lang::Msg> ToolOf(std::uint16_t product) {
  namespace M = lang::M;
  switch (product) {
    case 0x00FF: return M::IdToolResources;
    case 0x0102: return M::IdToolLinker;
    case 0x0103: return M::IdToolMasm;
    case 0x0104: return M::IdToolC;
    case 0x0105: return M::IdToolCpp;
    case 0x0106: return M::IdToolCLtcg;
    case 0x0107: return M::IdToolCppLtcg;
    case 0x0108: return M::IdToolMsilLtcg;
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<VsRelease> VisualStudioOf(std::uint16_t product, std::uint16_t build) {
  if (product >= 0x00FF && product < 0x0200) {
    if (build < kBuilds14[0].first || build > kBuilds14End) return std::nullopt;
    const BuildRow* row = &kBuilds14[0];
    for (const BuildRow& r : kBuilds14)
      if (build >= r.first) row = &r;
    return VsRelease{row->release, row->msvc};
  }
  for (const ExactRow& r : kBuildsOld)
    if (r.build == build && product >= r.minId && product <= r.maxId) return VsRelease{r.release, r.msvc};
  return std::nullopt;
}

// ---------------------------------------------------------------- findings

namespace {

std::span<const std::uint8_t> BytesAt(const Context& ctx, std::uint64_t off, std::uint64_t len) {
  if (off >= ctx.file.Size()) return {};
  len = std::min(len, ctx.file.Size() - off);
  auto r = ctx.file.Sub(off, len);
  return r ? r->Bytes() : std::span<const std::uint8_t>{};
}

// Position of `needle` in `hay`, or npos.
std::size_t Find(std::span<const std::uint8_t> hay, std::string_view needle) {
  if (needle.empty() || hay.size() < needle.size()) return std::string_view::npos;
  std::string_view h(reinterpret_cast<const char*>(hay.data()), hay.size());
  return h.find(needle);
}

// The printable text at `at` of `b`, up to `max` characters.
std::string TextAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t max) {
  std::string r;
  for (std::size_t i = at; i < b.size() && r.size() < max; ++i) {
    if (b[i] < 0x20 || b[i] > 0x7E) break;
    r.push_back(static_cast<char>(b[i]));
  }
  return r;
}

// Sections that hold no compiler's or runtime's strings: tables the loader or a
// debugger reads.
bool Scanned(std::string_view name) {
  static constexpr std::string_view kSkip[] = {".reloc", ".pdata", ".xdata", ".idata", ".edata", ".didata"};
  return name.substr(0, 7) != ".debug_" && std::find(std::begin(kSkip), std::end(kSkip), name) == std::end(kSkip);
}

std::string SectionName(const Section& s) { return std::string(s.longName.empty() ? s.name : s.longName); }

bool Matches(std::span<const std::uint8_t> b, const Stub& s) {
  if (b.size() < s.length) return false;
  for (std::size_t i = 0; i < s.length; ++i)
    if (s.code[i] != X && b[i] != s.code[i]) return false;
  return true;
}

std::string Join(const std::vector<std::string>& v, std::string_view sep) {
  std::string r;
  for (const std::string& s : v) {
    if (!r.empty()) r += sep;
    r += s;
  }
  return r;
}

// What the table's marks found: where, and the name or text met there.
struct Seen {
  bool found = false;
  std::uint64_t offset = 0;
  std::string text;
};

// The byte marks, and the pairs of bytes of a window of kStride + 1 bytes in
// each, to look for all of them in one pass that probes every kStride-th pair:
// a mark anywhere covers a probe with its window, whose pair is then one of its
// own. Each mark's window is where its bytes are least like text, so that
// words in a program's strings seldom stop the pass.
constexpr std::size_t kStride = 5;

struct Needles {
  std::bitset<65536> pairs;
  // Each pair's marks, and where in the mark the pair stands.
  struct Candidate {
    std::size_t pair;
    std::uint16_t mark;
    std::uint8_t at;
  };
  std::vector<Candidate> candidates;  // by pair
  std::vector<std::uint16_t> data, code;
};

std::size_t PairOf(std::uint8_t a, std::uint8_t b) { return static_cast<std::size_t>(a) | static_cast<std::size_t>(b) << 8; }

// How common a pair of bytes is in strings: lower-case letters and NUL (which
// every other byte of UTF-16 text is) most, then spaces.
int Commonness(char a, char b) {
  auto one = [](char c) { return (c >= 'a' && c <= 'z') || c == 0 ? 2 : c == ' ' ? 1 : 0; };
  return one(a) + one(b);
}

std::size_t WindowOf(std::string_view t) {
  std::size_t best = 0;
  int bestCost = 1 << 30;
  for (std::size_t w = 0; w + kStride < t.size(); ++w) {
    int cost = 0;
    for (std::size_t j = 0; j < kStride; ++j) cost += Commonness(t[w + j], t[w + j + 1]);
    if (cost < bestCost) {
      bestCost = cost;
      best = w;
    }
  }
  return best;
}

const Needles& TheNeedles() {
  static const Needles n = [] {
    Needles r;
    for (std::size_t i = 0; i < kMarkCount; ++i) {
      const Mark& k = kMarks[i];
      if (k.place != Place::Data && k.place != Place::Code) continue;
      const std::size_t w = WindowOf(k.text);
      for (std::size_t j = w; j < w + kStride; ++j) {
        const std::size_t pair = PairOf(static_cast<std::uint8_t>(k.text[j]), static_cast<std::uint8_t>(k.text[j + 1]));
        r.pairs.set(pair);
        r.candidates.push_back({pair, static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(j)});
      }
      r.data.push_back(static_cast<std::uint16_t>(i));
      if (k.place == Place::Code) r.code.push_back(static_cast<std::uint16_t>(i));
    }
    std::stable_sort(r.candidates.begin(), r.candidates.end(),
                     [](const Needles::Candidate& a, const Needles::Candidate& b) { return a.pair < b.pair; });
    return r;
  }();
  return n;
}

constexpr bool LongEnough() {
  for (const Mark& k : kMarks)
    if ((k.place == Place::Data || k.place == Place::Code) && (k.text.size() < kStride + 1 || k.text.size() > 255))
      return false;
  return true;
}
static_assert(LongEnough(), "a byte mark must be longer than the scan's stride, and shorter than 256");

// Looks for the byte marks in `b` (at file offset `base`): all of them in data,
// only the code marks in code. The first place of each is kept.
void ScanStretch(std::span<const std::uint8_t> b, std::uint64_t base, bool data, std::array<Seen, kMarkCount>& seen) {
  const Needles& n = TheNeedles();
  const std::vector<std::uint16_t>& which = data ? n.data : n.code;
  std::size_t left = 0;
  for (std::uint16_t i : which) left += seen[i].found ? 0u : 1u;
  for (std::size_t probe = kStride - 1; left != 0 && probe + 1 < b.size(); probe += kStride) {
    const std::size_t pair = PairOf(b[probe], b[probe + 1]);
    if (!n.pairs[pair]) continue;
    auto c = std::lower_bound(n.candidates.begin(), n.candidates.end(), pair,
                              [](const Needles::Candidate& x, std::size_t p) { return x.pair < p; });
    for (; c != n.candidates.end() && c->pair == pair; ++c) {
      if (c->at > probe) continue;  // the mark would start before the stretch
      const std::size_t i = c->mark, at = probe - c->at;
      const std::string_view t = kMarks[i].text;
      if (seen[i].found || (!data && kMarks[i].place != Place::Code) || t.size() > b.size() - at ||
          std::memcmp(b.data() + at, t.data(), t.size()) != 0)
        continue;
      seen[i] = {true, base + at, {}};
      --left;
    }
  }
}

// Go's build information at file offset `off`: the version string, inline after
// the 32-byte header (flag bit 2, Go 1.18 on), or else through the pointer that
// follows the header to a string header (data pointer, length) of the image.
std::string GoVersion(const Context& ctx, std::uint64_t off) {
  std::span<const std::uint8_t> b = BytesAt(ctx, off, 64);
  if (b.size() < 33) return {};
  if ((b[15] & 2) != 0) return b[32] < 0x80 ? TextAt(b, 33, std::min<std::size_t>(b[32], 24)) : std::string();
  const std::size_t ptr = b[14];
  const bool big = (b[15] & 1) != 0;
  if ((ptr != 4 && ptr != 8) || big) return {};
  auto word = [&](std::span<const std::uint8_t> w, std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = ptr; i-- > 0;) v = v << 8 | w[at + i];
    return v;
  };
  // A virtual address to the file offset, when it lies in the image.
  auto offsetOf = [&](std::uint64_t va) -> std::optional<std::uint64_t> {
    if (va < ctx.h.opt.imageBase || va - ctx.h.opt.imageBase > 0xFFFFFFFFu) return std::nullopt;
    return ctx.map.ToOffset(va - ctx.h.opt.imageBase);
  };
  auto header = offsetOf(word(b, 16));
  if (!header) return {};
  std::span<const std::uint8_t> sh = BytesAt(ctx, *header, 2 * ptr);
  if (sh.size() < 2 * ptr) return {};
  const std::uint64_t len = word(sh, ptr);
  auto text = offsetOf(word(sh, 0));
  if (!text || len == 0 || len > 24) return {};
  std::span<const std::uint8_t> v = BytesAt(ctx, *text, len);
  std::string r = TextAt(v, 0, static_cast<std::size_t>(len));  // at most 24
  return r.size() == len ? r : std::string();
}

// A mark's bytes as the listing can show them: "7z\\xBC\\xAF'\\x1C".
std::string Printable(std::string_view t) {
  std::string r;
  for (char c : t) {
    const auto u = static_cast<std::uint8_t>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') r.push_back(c);
    else r += "\\x" + Hex(u, 2).substr(2);
  }
  return r;
}

// A mark in UTF-16 of ASCII as its letters ("SquirrelTemp"), or empty.
std::string Narrow(std::string_view t) {
  std::string r;
  for (std::size_t i = 0; i + 1 < t.size(); i += 2) {
    if (t[i + 1] != 0 || t[i] < 0x20 || t[i] > 0x7E) return {};
    r.push_back(t[i]);
  }
  return t.size() % 2 == 0 ? r : std::string();
}

// The Python a PyInstaller archive was made for: its cookie has the magic, three
// big-endian sizes, the version (311 for 3.11, 27 for 2.7) and the DLL's name.
std::string PythonOfCookie(std::span<const std::uint8_t> b) {
  if (b.size() < 25) return {};
  const std::uint32_t v = static_cast<std::uint32_t>(b[20]) << 24 | static_cast<std::uint32_t>(b[21]) << 16 |
                          static_cast<std::uint32_t>(b[22]) << 8 | b[23];
  if (v < 20 || v >= 1000 || (v >= 40 && v < 300)) return {};
  const std::uint32_t major = v >= 100 ? v / 100 : v / 10, minor = v >= 100 ? v % 100 : v % 10;
  std::string r = Dec(major) + "." + Dec(minor);
  const std::string dll = TextAt(b, 24, 64);
  return dll.empty() ? r : r + ", " + dll;
}

// The text of `s` up to the first `stop`.
std::string TextUpTo(std::string_view s, char stop) { return std::string(s.substr(0, s.find(stop))); }

// The commit in "/rustc/<40 hex digits>/" (or "\\" on Windows hosts), shortened as rustc -V shows it.
std::string RustCommit(std::span<const std::uint8_t> b) {
  if (b.size() < 48 || (b[47] != '/' && b[47] != '\\')) return {};
  for (std::size_t i = 7; i < 47; ++i)
    if (!std::isxdigit(b[i])) return {};
  return TextAt(b, 7, 9);
}

// The findings of the marks that word themselves, of one kind, a line per name
// in the table's order: named where a mark names it alone, else "looks like".
void Generic(Kind kind, const std::array<Seen, kMarkCount>& seen, std::vector<std::string>& out, lang::Lang l) {
  namespace M = lang::M;
  std::vector<const lang::Entry*> done;
  for (std::size_t i = 0; i < kMarkCount; ++i) {
    const Mark& k = kMarks[i];
    if (k.kind != kind || k.strength == Strength::Rule || k.strength == Strength::Backs || !seen[i].found) continue;
    if (kind == Kind::Packer && k.place == Place::Section) continue;  // the packers' own rule words them
    if (std::find(done.begin(), done.end(), &k.name.entry()) != done.end()) continue;
    done.push_back(&k.name.entry());
    // A name a rule has said already (PyInstaller by its cookie) is not said twice.
    const std::string_view word = lang::Text(k.name, l);
    if (std::any_of(out.begin(), out.end(), [&](const std::string& line) { return StartsWith(line, word); })) continue;
    bool names = false;
    std::vector<std::string> sections, ev;
    for (std::size_t j = 0; j < kMarkCount; ++j) {
      const Mark& o = kMarks[j];
      if (!(o.name == k.name) || o.kind != kind || o.strength == Strength::Rule || !seen[j].found) continue;
      names = names || o.strength == Strength::Names;
      const Seen& s = seen[j];
      switch (o.place) {
        case Place::Section: sections.push_back(s.text); break;
        case Place::Import: ev.push_back(lang::Say(l, M::IdImports, {s.text})); break;
        case Place::Resource: ev.push_back(lang::Say(l, M::IdResource, {s.text})); break;
        case Place::ClrType: ev.push_back(s.text); break;
        case Place::Export: ev.push_back(lang::Say(l, M::IdExports, {s.text})); break;
        default:
          if (std::string narrow = Narrow(o.text); s.text.empty() && !narrow.empty())
            ev.push_back(lang::Say(l, M::IdMarkAtUtf16, {narrow, Hex(s.offset)}));
          else
            ev.push_back(lang::Say(l, M::IdMarkAt, {s.text.empty() ? Printable(o.text) : s.text, Hex(s.offset)}));
      }
    }
    if (!sections.empty())
      ev.insert(ev.begin(), lang::Say(l, sections.size() == 1 ? M::IdSection : M::IdSections, {Join(sections, "/")}));
    out.push_back(lang::Say(l, names ? M::IdWith : M::IdLooksLike, {lang::Text(k.name, l), Join(ev, lang::Text(M::ListSep, l))}));
  }
}

void VisualCpp(const Marks& m, Findings& f, lang::Lang l) {
  namespace M = lang::M;
  // Name the release from the linker's entry, or else the newest compiler's.
  const RichUse* anchor = nullptr;
  for (const RichUse& u : m.richUses)
    if (u.product == 0x0102) anchor = &u;
  if (anchor == nullptr)
    for (const RichUse& u : m.richUses)
      if (ToolOf(u.product) && (anchor == nullptr || u.build > anchor->build)) anchor = &u;
  std::vector<std::string> tools;
  for (const RichUse& u : m.richUses) {
    const std::optional<lang::Msg> tool = ToolOf(u.product);
    if (!tool || u.product == 0x0102) continue;
    if (tools.size() == 6) {
      tools.push_back("...");
      break;
    }
    tools.push_back(lang::Say(l, u.product == 0x00FF ? M::IdToolUses : M::IdToolUsesObjects,
                              {lang::Text(*tool, l), u.build, u.uses}));
  }
  std::string head;
  if (anchor != nullptr) {
    if (auto vs = VisualStudioOf(anchor->product, anchor->build))
      head = lang::Say(l, M::IdWith, {vs->release, vs->msvc});
    else
      head = lang::Say(l, M::IdVsUnknown, {anchor->build});
  } else {
    head = lang::Say(l, M::IdVsNoTools, {m.richUses.size()});
    // Older tool sets: name the release from any entry the table knows.
    for (const RichUse& u : m.richUses)
      if (auto vs = VisualStudioOf(u.product, u.build)) {
        head = lang::Say(l, M::IdVsByProduct, {vs->release, vs->msvc, Hex(u.product, 4), u.build});
        break;
      }
  }
  f.toolchain.push_back(tools.empty() ? head
                                      : lang::Say(l, M::IdWithList, {head, Join(tools, lang::Text(M::ListSep, l))}));
}

std::uint64_t LittleEndian(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
  return v;
}

// What the CLR header says beyond .NET: compiled ahead of time into the image
// (ReadyToRun's header, "RTR", where the managed native header points), or C++/CLI
// (native code beside the IL: no IL-only flag, and Visual C++'s runtime imported).
void ClrKinds(const Context& ctx, const Marks& m, std::vector<std::string>& t, lang::Lang l) {
  namespace M = lang::M;
  auto at = ctx.map.ToOffset(ctx.h.dirs[kDirClr].rva);
  if (!at) return;
  std::span<const std::uint8_t> cor = BytesAt(ctx, *at, 72);
  if (cor.size() < 72) return;
  const std::uint64_t flags = LittleEndian(cor, 16, 4), nativeRva = LittleEndian(cor, 64, 4);
  if ((flags & 1) == 0 && !m.msvcRuntime.empty()) t.push_back(lang::Say(l, M::IdCppCli, {m.msvcRuntime}));
  if (nativeRva == 0 || LittleEndian(cor, 68, 4) < 16) return;
  auto rtr = ctx.map.ToOffset(nativeRva);
  std::span<const std::uint8_t> r = rtr ? BytesAt(ctx, *rtr, 8) : std::span<const std::uint8_t>{};
  if (r.size() == 8 && std::memcmp(r.data(), "RTR\0", 4) == 0)
    t.push_back(lang::Say(l, M::IdReadyToRun, {LittleEndian(r, 4, 2), LittleEndian(r, 6, 2), Hex(*rtr)}));
}

// .NET's apphost at the bundle signature `sig`: the 8 bytes before it are the
// bundle header's offset, 0 in a plain apphost. The header starts with its format
// version and the count of files the bundle holds.
void DotNetHost(const Context& ctx, std::uint64_t sig, std::vector<std::string>& t, std::vector<std::string>& in,
                lang::Lang l) {
  namespace M = lang::M;
  const std::uint64_t header = sig >= 8 ? LittleEndian(BytesAt(ctx, sig - 8, 8), 0, 8) : 0;
  if (header == 0) {
    t.push_back(lang::Say(l, M::IdDotNetAppHost, {Hex(sig)}));
    return;
  }
  std::span<const std::uint8_t> b = BytesAt(ctx, header, 12);
  if (b.size() < 12) {  // past the end of the file
    in.push_back(lang::Say(l, M::IdLooksLike, {lang::Text(M::IdNameDotNetBundle, l),
                                                 lang::Say(l, M::IdDotNetBundleBad, {Hex(header), Hex(sig)})}));
    return;
  }
  in.push_back(lang::Say(l, M::IdDotNetBundleAt, {LittleEndian(b, 0, 4), LittleEndian(b, 4, 4), LittleEndian(b, 8, 4),
                                                  Hex(header), Hex(sig)}));
}

}  // namespace

Findings Identify(const Context& ctx, const Marks& m) {
  Findings f;
  namespace M = lang::M;
  const lang::Lang l = ctx.options.lang;
  const std::string sep(lang::Text(M::ListSep, l));
  const Headers& h = ctx.h;
  if (h.kind != FileKind::Pe || !h.opt.present) {
    f.toolchain.push_back(lang::Say(l, M::IdNoOptional));
    return f;
  }
  const OptionalHeader& o = h.opt;
  const std::string linkerVersion = Dec(o.majorLinker) + "." + (o.minorLinker < 10 ? "0" : "") + Dec(o.minorLinker);

  // The header area: the DOS stub's shape, a packer's marker after the section table.
  const std::uint64_t headerEnd = std::min<std::uint64_t>({o.sizeOfHeaders, h.fileSize, 0x1000});
  std::span<const std::uint8_t> header = BytesAt(ctx, 0, headerEnd);
  // lld writes a 64-byte stub, so its PE header sits at 0x78 with no Rich header.
  static constexpr char kLldStubEnd[] = "mode.$\0\0";
  const bool lldStub = h.dos.lfanew == 0x78 && !m.rich && header.size() >= 0x78 &&
                       std::memcmp(header.data() + 0x70, kLldStubEnd, 8) == 0;

  // The sections' names, once.
  std::vector<std::string> names;
  for (const Section& s : h.sections) names.push_back(SectionName(s));
  auto has = [&](std::string_view n) { return std::find(names.begin(), names.end(), n) != names.end(); };

  // ---- the table's marks, each place looked at once
  std::array<Seen, kMarkCount> seen{};
  for (std::uint16_t i : MarksAt(Place::Section))
    if (has(kMarks[i].text)) seen[i] = {true, 0, std::string(kMarks[i].text)};
  for (const MarkHit& hit : m.hits)
    if (hit.mark < kMarkCount) seen[hit.mark] = {true, 0, hit.text};
  // The data sections' two ends and the code sections' starts, capped in all.
  std::uint64_t scanned = 0;
  for (std::size_t i = 0; i < h.sections.size() && scanned < kDataScanCap; ++i) {
    const Section& s = h.sections[i];
    if (s.fileBytes == 0 || !Scanned(names[i])) continue;
    const bool exec = (s.characteristics & (kExecute | kCode)) != 0;
    // Code is looked at only at its start, where Go keeps its build ID; a data
    // section whole up to a size, else its two ends.
    const std::uint64_t end = exec ? 256 : s.fileBytes <= kDataScanWhole ? s.fileBytes : kDataScanEnd;
    std::uint64_t headLen = std::min<std::uint64_t>({s.fileBytes, end, kDataScanCap - scanned});
    std::span<const std::uint8_t> b = BytesAt(ctx, s.fileStart, headLen);
    std::uint64_t tailAt = s.fileBytes > headLen ? std::max(headLen, s.fileBytes - end) : s.fileBytes;
    std::span<const std::uint8_t> tail =
        exec ? std::span<const std::uint8_t>{} : BytesAt(ctx, s.fileStart + tailAt, s.fileBytes - tailAt);
    scanned += b.size() + tail.size();
    ScanStretch(b, s.fileStart, !exec, seen);
    ScanStretch(tail, s.fileStart + tailAt, true, seen);
  }
  std::uint64_t overlayTailAt = 0;
  std::span<const std::uint8_t> overlayHead, overlayTail;
  if (m.overlaySize != 0) {
    overlayHead = BytesAt(ctx, m.overlayStart, 64);
    const std::uint64_t end = std::max(m.overlayEnd, m.overlayStart + m.overlaySize);
    overlayTailAt = end > kOverlayTail ? std::max(end - kOverlayTail, m.overlayStart) : m.overlayStart;
    overlayTail = BytesAt(ctx, overlayTailAt, end - overlayTailAt);
    for (std::uint16_t i : MarksAt(Place::OverlayHead))
      if (std::size_t at = Find(overlayHead, kMarks[i].text); at != std::string_view::npos)
        seen[i] = {true, m.overlayStart + at, {}};
    for (std::uint16_t i : MarksAt(Place::OverlayTail))
      if (std::size_t at = Find(overlayTail, kMarks[i].text); at != std::string_view::npos)
        seen[i] = {true, overlayTailAt + at, {}};
  }
  // What the version-giving marks read beside them.
  for (std::size_t i = 0; i < kMarkCount; ++i) {
    if (!seen[i].found || seen[i].text.size() != 0 || kMarks[i].place == Place::Section) continue;
    switch (kMarks[i].version) {
      case Version::Text: seen[i].text = TextAt(BytesAt(ctx, seen[i].offset, 96), 0, 96); break;
      case Version::GoBuildInfo: seen[i].text = GoVersion(ctx, seen[i].offset); break;
      case Version::RustCommit: seen[i].text = RustCommit(BytesAt(ctx, seen[i].offset, 48)); break;
      default: break;
    }
  }

  // ---- packers by section names and marker strings
  std::vector<std::string> packers;
  auto addPacker = [&](std::string_view tool, std::string evidence) {
    for (std::string& p : packers)
      if (StartsWith(p, tool)) return;
    packers.push_back(lang::Say(l, M::IdWith, {tool, evidence}));
  };
  for (std::size_t i = 0; i < kMarkCount; ++i) {
    const Mark& k = kMarks[i];
    if (k.kind != Kind::Packer || k.place != Place::Section || !seen[i].found) continue;
    std::vector<std::string> which;
    for (std::size_t j = 0; j < kMarkCount; ++j)
      if (kMarks[j].name == k.name && kMarks[j].place == Place::Section && seen[j].found)
        which.push_back(std::string(kMarks[j].text));
    std::string evidence = lang::Say(l, which.size() == 1 ? M::IdSection : M::IdSections, {Join(which, "/")});
    const std::string_view tool = lang::Text(k.name, l);
    if (k.version == Version::UpxHeader) {
      if (std::size_t at = Find(header, "UPX!"); at != std::string_view::npos) {
        // The version stands before the marker: "3.96\0UPX!".
        std::size_t from = at >= 1 ? at - 1 : 0;
        while (from > 0 && header[from - 1] != 0 && at - from < 8) --from;
        std::string version = at >= 2 ? TextAt(header, from, at - 1 - from) : std::string();
        bool numeric = !version.empty() && version.find_first_not_of("0123456789.") == std::string::npos;
        evidence += lang::Say(l, M::IdUpxMarker, {Hex(at)});
        if (numeric) {
          addPacker(std::string(tool) + " " + version, evidence);
          continue;
        }
      }
    }
    addPacker(tool, evidence);
  }
  // Themida and WinLicense leave the other sections' names blank.
  if (!has(".themida") && !has(".winlice")) {
    std::size_t blank = 0;
    for (const std::string& n : names)
      if (n.find_first_not_of(' ') == std::string::npos && n.size() == 8) ++blank;
    if (blank >= 2 && (has(".idata") || has(".rsrc")) && blank + 3 >= names.size() && names.size() >= 3)
      addPacker(lang::Text(M::IdNameThemida, l), lang::Say(l, M::IdBlankSections, {blank}));
  }
  if (!has("UPX0") && !has("UPX1")) {
    if (std::size_t at = Find(header, "UPX!"); at != std::string_view::npos)
      addPacker(lang::Text(M::IdNameUpx, l), lang::Say(l, M::IdUpxRenamed, {Hex(at)}));
  }
  // Entry code.
  std::span<const std::uint8_t> entry;
  int entrySection = kNoSection;
  if (o.addressOfEntryPoint != 0) {
    entrySection = ctx.map.SectionOf(o.addressOfEntryPoint);
    if (auto off = ctx.map.ToOffset(o.addressOfEntryPoint)) entry = BytesAt(ctx, *off, 32);
  }
  for (const Stub& s : kStubs)
    if (Matches(entry, s)) {
      const std::string_view name = lang::Text(s.name, l);
      std::string tool(name.substr(0, name.find(' ')));
      bool named = false;
      for (const std::string& p : packers) named = named || StartsWith(p, tool);
      if (!named) packers.push_back(lang::Say(l, M::IdEntryCode, {name, Hex(o.addressOfEntryPoint)}));
    }
  Generic(Kind::Packer, seen, packers, l);
  f.packer = packers;

  const Seen& gccIdent = seen[kGccIdent];
  const Seen& rustPath = seen[kRustPath];
  const Seen& fpcBanner = seen[kFpcBanner3].found ? seen[kFpcBanner3] : seen[kFpcBanner2];
  const Seen& goBuildId = seen[kGoBuildId];
  const Seen& goBuildInfo = seen[kGoBuildInfo];
  const std::string& goVersion = goBuildInfo.text;
  const Seen& mingwCrt = seen[kMingwCrt];
  // Microsoft's linker links some Visual C++ programs against the system's msvcrt.dll
  // too (7-Zip's): its Rich header says that they are not MinGW's.
  const bool mingw = (!m.gnuRuntime.empty() && !m.rich) || mingwCrt.found;
  const Seen& delphi = seen[kDelphiBanner];
  const bool delphiMarks = m.dvclal || m.packageInfo || !m.borlandRuntime.empty() || (has("CODE") && has("DATA")) ||
                           delphi.found || seen[kDelphiDbk].found;

  // ---- linker
  if (m.rich) {
    std::string build;
    for (const RichUse& u : m.richUses)
      if (u.product == 0x0102) build = Dec(u.build);
    f.linker = build.empty() ? lang::Say(l, M::IdLinkMs, {linkerVersion})
                             : lang::Say(l, M::IdLinkMsBuild, {linkerVersion, build});
  } else if (lldStub) {
    f.linker = lang::Say(l, mingw ? M::IdLinkLldMingw : M::IdLinkLldLink, {linkerVersion});
  } else if (o.majorLinker == 2 && o.minorLinker == 25 && delphiMarks) {
    // Delphi's linker writes 2.25 too, the version of a GNU ld of 2014.
    f.linker = lang::Say(l, M::IdLinkBorland, {linkerVersion});
  } else if (o.majorLinker == 2 && o.minorLinker >= 10) {
    f.linker = lang::Say(l, M::IdLinkGnu, {linkerVersion});
  } else if (goBuildId.found || goBuildInfo.found) {
    f.linker = lang::Say(l, M::IdLinkGo, {linkerVersion});
  } else if (!m.clrRuntime.empty() && o.majorLinker == 8 && o.minorLinker == 0) {
    f.linker = lang::Say(l, M::IdLinkDotNet);
  } else {
    f.linker = lang::Say(l, m.rich ? M::IdLinkUnknown : M::IdLinkUnknownNoRich, {linkerVersion});
  }

  // ---- toolchains
  std::vector<std::string>& t = f.toolchain;
  if (m.rich && !m.richUses.empty()) VisualCpp(m, f, l);
  else if (!m.msvcRuntime.empty()) t.push_back(lang::Say(l, M::IdVcRuntime, {m.msvcRuntime}));
  if (mingw || !m.gnuLibrary.empty() || (h.sections.size() > 0 && has(".CRT") && has(".tls") && !m.rich)) {
    std::vector<std::string> ev;
    if (has(".CRT")) ev.push_back(has(".tls") ? lang::Say(l, M::IdSections, {".CRT/.tls"}) : lang::Say(l, M::IdSection, {".CRT"}));
    if (!m.gnuRuntime.empty() && !m.rich) ev.push_back(lang::Say(l, M::IdImports, {m.gnuRuntime}));
    if (!m.gnuLibrary.empty()) ev.push_back(lang::Say(l, M::IdImports, {m.gnuLibrary}));
    // Its start-up code's message, where nothing above shows the runtime (a DLL lld linked).
    if (ev.empty()) ev.push_back(lang::Say(l, M::IdMarkAt, {kMarks[kMingwCrt].text, Hex(mingwCrt.offset)}));
    const lang::Msg what = gccIdent.found && !lldStub ? M::IdMingwGcc : M::IdMingwRuntime;
    t.push_back(lang::Say(l, M::IdWith, {lang::Text(what, l), Join(ev, sep)}));
  }
  if (gccIdent.found)
    t.push_back(lang::Say(l, M::IdGcc, {gccIdent.text.substr(0, 60), Hex(gccIdent.offset)}));
  if (lldStub && !mingw) t.push_back(lang::Say(l, M::IdLlvm));
  // mingw-w64's runtime linked by lld without GCC's mark: clang's MinGW target (llvm-mingw).
  if (lldStub && mingw && !gccIdent.found) t.push_back(lang::Say(l, M::IdLlvmMingw));
  if (goBuildId.found || goBuildInfo.found) {
    std::vector<std::string> ev;
    if (goBuildId.found) ev.push_back(lang::Say(l, M::IdGoBuildId, {Hex(goBuildId.offset)}));
    if (goBuildInfo.found) ev.push_back(lang::Say(l, M::IdGoBuildInfo, {Hex(goBuildInfo.offset)}));
    t.push_back(goVersion.empty() ? lang::Say(l, M::IdGo, {Join(ev, sep)})
                                  : lang::Say(l, M::IdGoVersion, {goVersion, Join(ev, sep)}));
  }
  if (rustPath.found)
    t.push_back(rustPath.text.empty() ? lang::Say(l, M::IdRust, {Hex(rustPath.offset)})
                                      : lang::Say(l, M::IdRustCommit, {rustPath.text, Hex(rustPath.offset)}));
  if (delphiMarks) {
    std::vector<std::string> ev;
    if (delphi.found) ev.push_back(lang::Say(l, M::IdMarkAt, {delphi.text, Hex(delphi.offset)}));
    if (has("CODE") && has("DATA")) ev.push_back(lang::Say(l, M::IdSections, {"CODE/DATA"}));
    if (m.dvclal) ev.push_back(lang::Say(l, M::IdResource, {"DVCLAL"}));
    if (m.packageInfo) ev.push_back(lang::Say(l, M::IdResource, {"PACKAGEINFO"}));
    if (!m.borlandRuntime.empty()) ev.push_back(lang::Say(l, M::IdImports, {m.borlandRuntime}));
    if (seen[kDelphiDbk].found) ev.push_back(lang::Say(l, M::IdExports, {seen[kDelphiDbk].text}));
    // "Embarcadero Delphi for Win32 compiler version 35.0 (...)" says Delphi, and which.
    const std::size_t v = delphi.text.find("version ");
    t.push_back(v == std::string::npos ? lang::Say(l, M::IdDelphi, {Join(ev, sep)})
                                       : lang::Say(l, M::IdDelphiVersion, {DelphiRelease(TextUpTo(delphi.text.substr(v + 8), ' ')),
                                                                           TextUpTo(delphi.text.substr(v + 8), ' '), Join(ev, sep)}));
  }
  if (!m.vbRuntime.empty()) t.push_back(lang::Say(l, M::IdVb, {m.vbRuntime[6] == '5' ? "5" : "6", m.vbRuntime}));
  if (fpcBanner.found) t.push_back(lang::Say(l, M::IdFpc, {fpcBanner.text.substr(0, 64), Hex(fpcBanner.offset)}));
  const bool clr = h.dirs.size() > kDirClr && h.dirs[kDirClr].rva != 0;
  if (clr) {
    std::string s;
    if (!m.clrVersion.empty()) lang::Append(s, M::IdDotNetMetadata, l, {m.clrVersion});
    if (ctx.facts != nullptr && !ctx.facts->targetFramework.empty())
      lang::Append(s, M::IdDotNetTarget, l, {ctx.facts->targetFramework});
    if (!m.clrRuntime.empty()) lang::Append(s, M::IdDotNetImports, l, {m.clrRuntime});
    t.push_back(lang::Say(l, M::IdDotNet, {s}));
    ClrKinds(ctx, m, t, l);
  }
  if (m.autoitScript) t.push_back(lang::Say(l, M::IdAutoIt));
  if (seen[kDotNetBundle].found && !clr) DotNetHost(ctx, seen[kDotNetBundle].offset, t, f.installer, l);
  // A .NET assembly that names Native AOT's runtime assemblies (its compiler does)
  // holds them as data: it is not one.
  if (clr) seen[kNativeAotTypeLoader].found = false;
  Generic(Kind::Toolchain, seen, t, l);

  // ---- installers and bundlers, from the overlay's two ends and the header
  std::vector<std::string>& in = f.installer;
  if (seen[kNsisHead].found) {
    // "Nullsoft Install System v3.08": the version, where the stub's manifest gives it.
    const std::string& v = seen[kNsisVersion].text;
    const std::size_t at = kMarks[kNsisVersion].text.size() - 1;
    in.push_back(v.size() > at + 1 ? lang::Say(l, M::IdNsisVersion, {TextUpTo(v.substr(at), '<'), Hex(seen[kNsisHead].offset)})
                                   : lang::Say(l, M::IdNsis, {Hex(seen[kNsisHead].offset)}));
  } else if (seen[kNsisVersion].found) {
    in.push_back(lang::Say(l, M::IdLooksLike, {lang::Text(M::IdNameNsis, l),
                                                 lang::Say(l, M::IdMarkAt, {TextUpTo(seen[kNsisVersion].text, '<'), Hex(seen[kNsisVersion].offset)})}));
  }
  if (seen[kAutoItHead].found) in.push_back(lang::Say(l, M::IdAutoItScript, {Hex(seen[kAutoItHead].offset)}));
  if (seen[kInnoHead].found)
    in.push_back(lang::Say(l, M::IdInno, {seen[kInnoHead].text.substr(0, 40), Hex(seen[kInnoHead].offset)}));
  if (seen[kPyInstallerCookie].found) {
    const std::string python = PythonOfCookie(BytesAt(ctx, seen[kPyInstallerCookie].offset, 88));
    in.push_back(python.empty() ? lang::Say(l, M::IdPyInstaller, {Hex(seen[kPyInstallerCookie].offset)})
                                : lang::Say(l, M::IdPyInstallerPython, {python, Hex(seen[kPyInstallerCookie].offset)}));
  }
  if (header.size() >= 0x34 && std::memcmp(header.data() + 0x30, "Inno", 4) == 0)
    in.push_back(lang::Say(l, M::IdInnoHeader));
  else if (m.innoResource)
    in.push_back(lang::Say(l, M::IdInnoResource));
  Generic(Kind::Installer, seen, in, l);

  // ---- general signs of packing, a line per kind however many sections show it
  std::vector<std::string>& g = f.signs;
  int firstCode = kNoSection;
  // A section by number, and by name when it has a readable one.
  auto label = [&](std::size_t i) {
    const std::string& n = names[i];
    bool readable = !n.empty() && std::all_of(n.begin(), n.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    return Dec(i + 1) + (readable ? " " + n : "");
  };
  std::vector<std::string> dense, hollow, wx;
  auto some = [](std::vector<std::string>& v, std::string item) {
    if (v.size() < 4) v.push_back(std::move(item));
    else if (v.size() == 4) v.push_back("...");
  };
  std::size_t wxCount = 0;
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    if (firstCode == kNoSection && (s.characteristics & (kCode | kExecute)) != 0) firstCode = static_cast<int>(i);
    const bool exec = (s.characteristics & kExecute) != 0;
    if (exec && s.entropy > 7.2) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%.2f", s.entropy);
      some(dense, lang::Say(l, M::IdWith, {label(i), buf}));
    }
    if (s.sizeOfRawData == 0 && s.virtualSize >= 0x10000 && (exec || (s.characteristics & kUninitialized) == 0))
      some(hollow, lang::Say(l, M::IdBytes, {label(i), Hex(s.virtualSize)}));
    if (exec && (s.characteristics & kWrite) != 0) {
      ++wxCount;
      some(wx, label(i));
    }
  }
  if (!dense.empty()) g.push_back(lang::Say(l, M::IdDense, {Join(dense, sep)}));
  if (!hollow.empty()) g.push_back(lang::Say(l, M::IdHollow, {Join(hollow, sep)}));
  if (!wx.empty())
    g.push_back(wxCount > 4 ? lang::Say(l, M::IdWxCount, {Join(wx, sep), wxCount}) : lang::Say(l, M::IdWx, {Join(wx, sep)}));
  if (m.loadLibrary && m.getProcAddress && m.importFunctions <= 12)
    g.push_back(lang::Say(l, M::IdFewImports, {m.importFunctions}));
  // Delphi's linker puts the start-up code in .itext, after .text, by design.
  const bool delphiEntry = delphiMarks && entrySection >= 0 && names[static_cast<std::size_t>(entrySection)] == ".itext";
  if (o.addressOfEntryPoint != 0 && !clr && firstCode != kNoSection && entrySection != firstCode && !delphiEntry)
    g.push_back(entrySection == kNoSection
                    ? lang::Say(l, M::IdEntryOutside, {Hex(o.addressOfEntryPoint), label(static_cast<std::size_t>(firstCode))})
                    : lang::Say(l, M::IdEntryElsewhere, {Hex(o.addressOfEntryPoint), label(static_cast<std::size_t>(entrySection)),
                                                         label(static_cast<std::size_t>(firstCode))}));

  f.toolchainKnown = !t.empty();
  if (t.empty()) t.push_back(lang::Say(l, M::IdNotRecognised));
  return f;
}

}  // namespace kestrova::dumper::pe
