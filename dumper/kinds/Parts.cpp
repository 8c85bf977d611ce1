// The other file kinds' parts: present only for their kind.
#include "dumper/kinds/Parts.h"

#include <algorithm>

#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

namespace {

void NoteMachine(std::vector<std::uint16_t>& machines, std::uint16_t m) {
  if (m != 0 && std::find(machines.begin(), machines.end(), m) == machines.end()) machines.push_back(m);
}

// What compiled an object, as far as the object says: its compile record,
// @comp.id, the strings compilers leave in .comment (and GCC's in .rdata$zzz),
// LLVM's own section.
void NoteCompilers(const coff::Object& o, ObjectFacts& f, Budget& budget) {
  constexpr std::size_t kMaxStrings = 4;  // per section: an ident is one or two
  if (coff::CompileRecord r = coff::FindCompileRecord(o, budget); r.present) {
    CompilerNote n;
    n.from = CompilerNote::From::CompileRecord;
    n.text = r.version;
    n.major = r.major;
    n.minor = r.minor;
    n.patch = r.build;
    f.compiledBy.push_back(n);
  }
  bool llvm = false;
  for (const coff::Section& s : o.sections) {
    const bool comment = s.name == ".comment", ident = s.name == ".rdata$zzz";
    llvm = llvm || s.name == ".llvm_addrsig";
    if (!comment && !ident) continue;
    std::size_t n = 0;
    coff::ForEachSectionString(coff::SectionData(o, s), [&](std::string_view text) {
      if (n++ >= kMaxStrings) return;
      f.compiledBy.push_back({comment ? CompilerNote::From::Comment : CompilerNote::From::GccIdent, text});
    });
  }
  if (llvm) f.compiledBy.push_back({CompilerNote::From::LlvmSection, {}});
}

}  // namespace

ArchivePart ParseArchive(const Context& ctx) {
  ArchivePart p;
  if (coff::DetectKind(ctx.file) != coff::Kind::Archive) return p;
  p.a = archive::ParseArchive(ctx.file, ctx.budget, ctx.an, Area::Archive, ctx.options.lang);
  p.present = p.a.present;
  if (p.present && ctx.facts != nullptr) {
    // A walk of its own, so the listing's walk keeps the part's whole budget.
    Budget work(ctx.file.Size());
    archive::Tally t = archive::TallyMembers(p.a, work);
    LibraryFacts& f = ctx.facts->library;
    f.present = true;
    f.members = t.members;
    f.shortImports = t.shortImports;
    f.longImports = t.importObjects;
    f.objects = t.objects;
    f.ltcgObjects = t.ltcgObjects;
    f.others = t.others;
    f.defined = t.defined;
    f.complete = t.complete;
    for (std::uint16_t m : t.machines) NoteMachine(f.machines, m);
    if (ctx.facts->leadArea == 0) ctx.facts->leadArea = static_cast<std::size_t>(Area::Archive);
  }
  return p;
}

ImportLibraryPart ParseImportLibrary(const Context& ctx) {
  ImportLibraryPart p;
  if (coff::DetectKind(ctx.file) != coff::Kind::Archive) return p;
  // The archive's own damage is the Archive part's to report.
  Anomalies structure;
  archive::Archive a = archive::ParseArchive(ctx.file, ctx.budget, structure, Area::Archive, ctx.options.lang);
  p.lib = archive::ParseImportLibrary(a, ctx.budget, ctx.an, Area::ImportLibrary);
  p.present = p.lib.present;
  if (p.present && ctx.facts != nullptr) {
    LibraryFacts& f = ctx.facts->library;
    for (const archive::ImportEntry& e : p.lib.entries) {
      if (f.dlls.empty() || f.dlls.back() != e.dll) f.dlls.push_back(e.dll);  // grouped by DLL
      ++f.functions;
      ++(e.byOrdinal ? f.byOrdinal : f.byName);
      if (e.type == static_cast<std::uint8_t>(archive::ImportType::Data)) ++f.data;
      if (e.type == static_cast<std::uint8_t>(archive::ImportType::Const)) ++f.constants;
    }
    // What a library of imports is opened for is its imports.
    ctx.facts->leadArea = static_cast<std::size_t>(Area::ImportLibrary);
  }
  return p;
}

ObjectPart ParseObject(const Context& ctx) {
  ObjectPart p;
  coff::Kind k = coff::DetectKind(ctx.file);
  if (k == coff::Kind::LtcgObject) {
    p.ltcg = coff::ReadLtcgHeader(ctx.file);
    p.present = p.ltcg.present;
    if (p.present && ctx.facts != nullptr) {
      ObjectFacts& f = ctx.facts->object;
      f.present = f.ltcg = true;
      f.machine = p.ltcg.machine;
      ctx.facts->leadArea = static_cast<std::size_t>(Area::Object);
    }
    return p;
  }
  if (k != coff::Kind::Object && k != coff::Kind::BigObject) return p;
  p.o = coff::ParseObject(ctx.file, ctx.budget, ctx.an, Area::Object, ctx.options.lang);
  p.present = p.o.present;
  if (p.present && ctx.facts != nullptr) {
    ObjectFacts& f = ctx.facts->object;
    f.present = true;
    f.bigObject = p.o.h.bigObject;
    f.machine = p.o.h.machine;
    f.sections = p.o.sections.size();
    Budget work(ctx.file.Size());
    Anomalies quiet;  // the Object part's own walk reports the symbols' damage
    coff::ForEachSymbol(p.o, work, quiet, [&](const coff::Symbol& s) {
      ++f.symbols;
      switch (coff::RoleOf(s)) {
        case coff::SymbolRole::Defined:
        case coff::SymbolRole::Common: ++f.defined; break;
        case coff::SymbolRole::Undefined: ++f.needed; break;
        case coff::SymbolRole::Weak: ++f.weak; break;
        default: break;
      }
      // Visual C++ names its compiler in an absolute symbol's value.
      if (s.name == "@comp.id" && s.section == coff::kSectionAbsolute) {
        CompilerNote n;
        n.from = CompilerNote::From::CompId;
        n.product = static_cast<std::uint16_t>(s.value >> 16);
        n.build = static_cast<std::uint16_t>(s.value);
        f.compiledBy.push_back(n);
      }
    });
    NoteCompilers(p.o, f, work);
    // The compiler's own words first, then its number, then the strings it left.
    auto rank = [](const CompilerNote& n) {
      switch (n.from) {
        case CompilerNote::From::CompileRecord: return 0;
        case CompilerNote::From::CompId: return 1;
        case CompilerNote::From::LlvmSection: return 3;
        default: return 2;
      }
    };
    std::stable_sort(f.compiledBy.begin(), f.compiledBy.end(),
                     [&](const CompilerNote& a, const CompilerNote& b) { return rank(a) < rank(b); });
    ctx.facts->leadArea = static_cast<std::size_t>(Area::Object);
  }
  return p;
}

ne::Module ParseNe(const Context& ctx) {
  if (coff::DetectKind(ctx.file) != coff::Kind::Ne) return {};
  ne::Module m = ne::ParseNe(ctx.file, ctx.budget, ctx.an, ctx.options.lang);
  if (m.present && ctx.facts != nullptr) {
    NeFacts& f = ctx.facts->ne;
    f.present = true;
    f.library = (m.h.flags & 0x8000) != 0;
    if (!m.residentNames.empty()) f.module = m.residentNames.front().text;
    if (!m.nonResidentNames.empty()) f.description = m.nonResidentNames.front().text;
    f.targetOs = m.h.targetOs;
    f.expectedWindows = m.h.expectedWindows;
    f.moduleRefs = m.moduleRefs.size();
    f.cs = m.h.cs;
    f.ip = m.h.ip;
    for (const ne::Entry& e : m.entries) {
      ++f.entries;
      if (e.Constant()) ++f.constants;
      if ((e.flags & 1) != 0) ++f.exported;
    }
    ctx.facts->leadArea = static_cast<std::size_t>(Area::Ne);
  }
  return m;
}

}  // namespace kestrova::dumper::pe
