// Test-only: the records of the archive, object and NE readers as plain
// tab-separated lines, so crosscheck_kinds.py can hold them against the peers
// until the listing prints these kinds itself.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "dumper/archive/Archive.h"
#include "dumper/coff/Detect.h"
#include "dumper/coff/Object.h"
#include "dumper/ne/Ne.h"

namespace {

using namespace kestrova::dumper;

void Line(std::initializer_list<std::string_view> fields) {
  bool first = true;
  for (std::string_view f : fields) {
    if (!first) std::fputc('\t', stdout);
    if (!f.empty()) std::fwrite(f.data(), 1, f.size(), stdout);
    first = false;
  }
  std::fputc('\n', stdout);
}
std::string N(std::uint64_t v) { return std::to_string(v); }
std::string S(std::int64_t v) { return std::to_string(v); }
// Words of the readers, as JSON has them.
std::string_view En(lang::Msg m) { return lang::Text(m, lang::Lang::En); }

std::string_view RoleName(coff::SymbolRole r) {
  switch (r) {
    case coff::SymbolRole::Defined: return "defined";
    case coff::SymbolRole::Undefined: return "undefined";
    case coff::SymbolRole::Common: return "common";
    case coff::SymbolRole::Weak: return "weak";
    case coff::SymbolRole::Local: return "local";
    case coff::SymbolRole::Other: break;
  }
  return "other";
}

void DumpObject(const io::Reader& data, std::uint64_t member, pe::Budget& budget, pe::Anomalies& an) {
  coff::Object o = coff::ParseObject(data, budget, an);
  if (!o.present) return;
  Line({"object", N(member), N(o.h.machine), N(o.sections.size()), N(o.h.numberOfSymbols), o.h.bigObject ? "big" : "regular"});
  for (const coff::Section& s : o.sections) {
    Line({"section", N(member), N(s.number), s.name, N(s.sizeOfRawData), N(s.numberOfRelocations), N(s.numberOfLinenumbers),
          N(s.characteristics)});
    if (s.name == ".drectve") {
      auto bytes = coff::SectionData(o, s).Bytes();
      std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      coff::ForEachDirective(text, [&](std::string_view d) { Line({"directive", N(member), d}); });
    }
    if (s.name == ".debug$S") {
      coff::ForEachDebugSubsection(coff::SectionData(o, s), budget, an, pe::Area::Object, lang::Lang::En,
                                   [&](std::uint32_t kind, std::uint64_t, std::uint32_t len) {
                                     Line({"debugsub", N(member), N(s.number), N(kind), N(len)});
                                   });
    }
  }
  coff::ForEachSymbol(o, budget, an, [&](const coff::Symbol& s) {
    std::string aux;
    switch (coff::AuxKindOf(s)) {
      case coff::AuxKind::SectionDefinition: {
        auto a = coff::ReadAuxSection(o, s);
        aux = "secdef:" + N(a.length) + "," + N(a.relocations) + "," + N(a.selection) + "," + N(a.number);
        break;
      }
      case coff::AuxKind::FunctionDefinition: aux = "func:" + N(coff::ReadAuxFunction(o, s).totalSize); break;
      case coff::AuxKind::WeakExternal: aux = "weak:" + N(coff::ReadAuxWeak(o, s).tagIndex); break;
      case coff::AuxKind::FileName: aux = "file:" + std::string(coff::AuxFileName(o, s)); break;
      case coff::AuxKind::ClrToken: aux = "clr:" + N(coff::ReadAuxClr(o, s).symbolIndex); break;
      default: break;
    }
    Line({"symbol", N(member), N(s.index), s.name, S(s.section), N(s.storageClass), N(s.value), RoleName(coff::RoleOf(s)), aux});
  });
}

void DumpArchive(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an, bool objects) {
  archive::Archive a = archive::ParseArchive(file, budget, an);
  auto index = [&](const char* which, const archive::LinkerIndex& ix) {
    archive::ForEachIndexSymbol(a, ix, budget, an,
                                [&](const archive::IndexSymbol& s) { Line({"index", which, s.name, N(s.memberOffset)}); });
  };
  index("first", a.first);
  index("second", a.second);
  index("ec", a.ecSymbols);
  archive::ForEachMember(a, budget, an, [&](const archive::Member& m) {
    Line({"member", N(m.headerOffset), N(m.size), En(archive::KindName(m.kind)), m.name});
    if (objects && (m.kind == archive::MemberKind::Object || m.kind == archive::MemberKind::BigObject))
      DumpObject(m.data, m.headerOffset, budget, an);
    return true;
  });
  archive::ImportLibrary lib = archive::ParseImportLibrary(a, budget, an, pe::Area::ImportLibrary);
  for (const archive::ImportEntry& e : lib.entries)
    Line({"import", e.dll, e.name, e.byOrdinal ? "ordinal" : "hint", N(e.ordinalOrHint), En(archive::ImportTypeName(e.type)),
          e.longForm ? "long" : "short", e.symbol, En(archive::NameTypeName(e.nameType))});
}

void DumpNe(const io::Reader& file, pe::Budget& budget, pe::Anomalies& an) {
  ne::Module m = ne::ParseNe(file, budget, an);
  if (!m.present) return;
  Line({"ne", N(m.h.segmentCount), N(m.h.moduleRefCount), N(m.h.entryTableLength), N(m.h.flags), N(m.h.targetOs)});
  for (const ne::Segment& s : m.segments)
    Line({"segment", N(s.number), N(s.fileOffset), N(s.length), N(s.flags), N(s.minAlloc)});
  for (const ne::Name& n : m.residentNames) Line({"resident", n.text, N(n.ordinal)});
  for (const ne::Name& n : m.nonResidentNames) Line({"nonresident", n.text, N(n.ordinal)});
  for (std::string_view r : m.moduleRefs) Line({"modref", r});
  for (const ne::Entry& e : m.entries)
    Line({"entry", N(e.ordinal), N(e.segment), N(e.offset), N(e.flags), e.movable ? "movable" : "fixed"});
  for (const ne::ResourceType& t : m.resourceTypes) {
    for (const ne::Resource& r : t.resources)
      Line({"resource", t.name.empty() ? N(t.id) : std::string(t.name), r.name.empty() ? N(r.id) : std::string(r.name),
            N(r.fileOffset), N(r.length)});
  }
  ne::ForEachRelocation(m, budget, an, [&](const ne::Relocation& r) {
    if (r.kind == ne::RelocKind::ImportOrdinal)
      Line({"import", r.module, "", N(r.ordinal), N(r.segment)});
    else if (r.kind == ne::RelocKind::ImportName)
      Line({"import", r.module, r.name, "", N(r.segment)});
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kinds_dump FILE [--no-objects]\n");
    return 2;
  }
  bool objects = !(argc > 2 && std::string_view(argv[2]) == "--no-objects");
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  struct stat st {};
  fstat(fd, &st);
  std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::uint8_t* p = nullptr;
  if (size != 0) {
    void* m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED) return 1;
    p = static_cast<const std::uint8_t*>(m);
  }
  io::Reader file(std::span<const std::uint8_t>(p, size));
  pe::Budget budget(size);
  pe::Anomalies an;
  coff::Kind k = coff::DetectKind(file);
  Line({"kind", coff::KindName(k)});
  switch (k) {
    case coff::Kind::Archive: DumpArchive(file, budget, an, objects); break;
    case coff::Kind::Object:
    case coff::Kind::BigObject: DumpObject(file, 0, budget, an); break;
    case coff::Kind::Ne: DumpNe(file, budget, an); break;
    default: break;
  }
  for (const pe::Anomaly& a : an.List()) Line({"anomaly", N(a.at), a.text});
  return 0;
}
