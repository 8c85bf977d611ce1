// A file's snapshot, from the same parsers (and budgets) as its listing. Only
// the parts whose records it needs are run, each with its own work budget as
// in the listing, and in the listing's order, since the summary's facts (what
// built the file, its hardening) come from notes that the earlier parts take.
#include "dumper/compare/Snapshot.h"

#include <algorithm>

#include "dumper/archive/Archive.h"
#include "dumper/coff/Detect.h"
#include "dumper/coff/Object.h"
#include "dumper/io/Format.h"
#include "dumper/io/Reader.h"
#include "dumper/ne/Ne.h"
#include "dumper/pe/Certificates.h"
#include "dumper/pe/Clr.h"
#include "dumper/pe/ClrSig.h"
#include "dumper/pe/Constants.h"
#include "dumper/pe/Debug.h"
#include "dumper/pe/ExportUse.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/Glance.h"
#include "dumper/pe/LoadConfig.h"
#include "dumper/pe/Overlay.h"
#include "dumper/pe/Parse.h"
#include "dumper/pe/Relocations.h"
#include "dumper/pe/Resources.h"
#include "dumper/pe/Rich.h"
#include "dumper/pe/Version.h"
#include "dumper/lang/catalog/Compare.h"
#include "dumper/lang/catalog/Glance.h"

namespace kestrova::dumper::compare {

namespace {

namespace M = lang::M;
using pe::Context;

constexpr std::uint16_t kMachineI386 = 0x014C;

bool Has(const pe::Headers& h, int dir) {
  return static_cast<std::size_t>(dir) < h.dirs.size() && h.dirs[static_cast<std::size_t>(dir)].rva != 0;
}

Value Text(std::string s) { return {std::move(s), {}}; }
Value Word(lang::Msg m) { return {{}, m}; }

// The evidence a finding carries can name where it was seen; a rebuild moves
// that, so it is left out of what is compared.
std::string WithoutPlaces(std::string s) {
  for (std::string_view at : {" at file offset 0x", " at RVA 0x"}) {
    for (std::size_t i = s.find(at); i != std::string::npos; i = s.find(at, i)) {
      std::size_t end = i + at.size();
      while (end < s.size() && ((s[end] >= '0' && s[end] <= '9') || (s[end] >= 'A' && s[end] <= 'F'))) ++end;
      s.erase(i, end - i);
    }
  }
  return s;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string r;
  for (const std::string& l : lines) {
    if (!r.empty()) r += "; ";
    r += WithoutPlaces(l);
  }
  return r;
}

std::string Version4(std::uint32_t ms, std::uint32_t ls) {
  return io::Dec(ms >> 16) + "." + io::Dec(ms & 0xFFFF) + "." + io::Dec(ls >> 16) + "." + io::Dec(ls & 0xFFFF);
}

void AddFact(Snapshot& s, std::string_view key, lang::Msg label, Value v, bool breaks = false) {
  s.facts.push_back({key, label, {}, std::move(v), breaks});
}

void TakeExports(const Context& ctx, Snapshot& s) {
  pe::ExportTable t = pe::ParseExports(ctx);
  if (!t.present) return;
  // The usage rules read the imports and relocations, as the Exports part does.
  pe::Anomalies quiet;
  pe::Budget side(ctx.file.Size());
  const Context sideCtx{ctx.file, ctx.h, ctx.map, side, quiet, ctx.options};
  const bool i386 = ctx.h.coff.machine == kMachineI386 && !ctx.h.opt.pe32plus;
  const pe::ImportTable imports = i386 ? pe::ParseImports(sideCtx) : pe::ImportTable{};
  const pe::RelocationTable relocations = pe::ParseRelocations(sideCtx);
  pe::ExportUse use(ctx, t, &imports, &relocations);
  pe::ExportWalker w(t, ctx);
  pe::ExportEntry e;
  auto add = [&](std::string_view name) {
    Export x;
    x.ordinal = e.ordinal;
    x.name = std::string(name);
    if (e.forwarder) {
      x.forward = std::string(e.forwardTo);
    } else if (e.rva != 0) {
      x.data = use.Data(e.rva, name) != pe::DataReason::NotData;
      if (!x.data && i386) {
        const pe::ExportUse::Named a = use.ArgsOf(e.rva, name, e.ordinal);
        if (a.decorated) x.args = *a.decorated;
        else if (a.code.kind == pe::ArgSize::Kind::Stdcall) x.args = a.code.bytes;
        else if (a.code.kind == pe::ArgSize::Kind::NoArgs) x.args = 0;
      }
    }
    s.exports.push_back(std::move(x));
  };
  while (w.Next(e)) {
    if (e.rva == 0 && e.nameCount == 0) continue;  // an empty slot exports nothing
    if (e.nameCount == 0) add({});
    for (std::uint32_t k = 0; k < e.nameCount; ++k) {
      const pe::ExportName n = w.Name(e, k);
      if (n.ok) add(n.name);
    }
  }
}

void TakeImports(const pe::ImportTable& t, Snapshot& s) {
  for (const pe::ImportDll& d : t.dlls) {
    if (!d.nameOk) continue;
    s.dlls.emplace_back(d.name);
    for (const pe::ImportFunction& f : d.functions) {
      if (!f.byOrdinal && !f.nameOk) continue;
      s.imports.push_back({std::string(d.name), f.byOrdinal ? std::string() : std::string(f.name), f.ordinal, f.byOrdinal});
    }
  }
}

// Public types (and nested types all of whose enclosing types are public) and
// their public methods, by name and signature.
void TakeClr(const Context& ctx, Snapshot& s) {
  const pe::ClrInfo c = pe::ParseClr(ctx);
  if (!c.present || !c.md || !c.md->ok()) return;
  namespace clr = pe::clr;
  const clr::Metadata& md = *c.md;
  const clr::Names names(md);
  const std::uint32_t types = md.Rows(clr::kTypeDef);
  auto visible = [&](std::uint32_t t) {
    for (int depth = 0; t != 0 && depth < 64; ++depth) {
      const std::uint32_t vis = md.Col(clr::kTypeDef, t, clr::col::kTypeDefFlags) & 7;
      const std::uint32_t outer = names.Enclosing(t);
      if (outer == 0) return vis == 1;
      if (vis != 2) return false;
      t = outer;
    }
    return false;
  };
  std::uint32_t methodsSeen = 1;
  std::string type, sig;
  for (std::uint32_t t = 1; t <= types; ++t) {
    // Every type's list is walked, in order, so that the lists keep their bounds.
    const clr::Metadata::Range r = md.NextList(clr::kTypeDef, t, clr::col::kTypeDefMethods, clr::kMethodDef, methodsSeen);
    if (!visible(t)) continue;
    type.clear();
    names.TypeDef(type, t);
    s.types.push_back(type);
    for (std::uint32_t p = r.first; p < r.end; ++p) {
      if (!ctx.budget.Take()) return;
      const std::uint32_t m = md.ListRow(clr::kMethodDef, p);
      if (m == 0 || (md.Col(clr::kMethodDef, m, clr::col::kMethodFlags) & 7) != 6) continue;
      sig.clear();
      names.Method(sig, m);
      s.methods.push_back(type + "::" + sig);
    }
  }
}

void TakePe(const io::Reader& file, Snapshot& s) {
  pe::Anomalies an;
  // The checksum is one of the things every rebuild changes: not computed.
  const pe::Headers h = pe::ParseHeaders(file, an, nullptr, false);
  if (h.kind != pe::FileKind::Pe || !h.opt.present) return;
  s.kind = Kind::Pe;
  const pe::AddressMap map(file, h);
  pe::Facts facts;
  pe::Options options;
  options.demangle = false;
  // Each part its own budget, as in the listing.
  auto run = [&](auto parse) {
    pe::Budget work(file.Size());
    const Context ctx{file, h, map, work, an, options, &facts};
    return parse(ctx);
  };
  if (Has(h, pe::kDirImport)) TakeImports(run(pe::ParseImports), s);
  if (Has(h, pe::kDirDelayImport)) TakeImports(run(pe::ParseDelayImports), s);
  if (Has(h, pe::kDirExport)) run([&](const Context& ctx) { TakeExports(ctx, s); return 0; });
  if (Has(h, pe::kDirDebug)) run(pe::ParseDebug);
  if (Has(h, pe::kDirLoadConfig)) run(pe::ParseLoadConfig);
  run(pe::ParseRich);
  run(pe::ParseOverlay);
  pe::VersionInfo version;
  if (Has(h, pe::kDirResource)) {
    run(pe::ParseResources);
    version = run(pe::ParseVersion);
  }
  if (Has(h, pe::kDirCertificate)) run(pe::ParseCertificates);
  if (Has(h, pe::kDirClr)) run([&](const Context& ctx) { TakeClr(ctx, s); return 0; });
  const pe::Glance g = run(pe::ParseGlance);

  AddFact(s, "machine", M::CmpMachine, Text(g.machine.empty() ? io::Hex(g.machineCode, 4) : std::string(g.machine)), true);
  AddFact(s, "what", M::CmpWhat, Word(g.what));
  AddFact(s, "subsystem", M::CmpSubsystem, Word(g.subsystem));
  AddFact(s, "subsystemVersion", M::CmpSubsystemVersion,
          Text(io::Dec(g.subsystemMajor) + "." + io::Dec(g.subsystemMinor)));
  for (const pe::Hardening& c : g.hardening)
    s.facts.push_back({c.key, c.named, c.name, Word(c.state), false});
  Value entry = Word(M::GlNone);
  if (g.entryPoint != 0 && g.entrySection == pe::kNoSection) {
    entry = Word(M::CmpOutsideSections);
  } else if (g.entryPoint != 0) {
    const pe::Section& sec = h.sections[static_cast<std::size_t>(g.entrySection)];
    entry = Text(std::string(sec.longName.empty() ? sec.name : sec.longName));
  }
  AddFact(s, "entrySection", M::CmpEntrySection, entry);
  AddFact(s, "dotnet", M::CmpDotnet, g.dotnet ? Word(*g.dotnet) : Word(M::GlNone));
  const bool fixed = version.present && version.hasFixed;
  AddFact(s, "fileVersion", M::CmpFileVersion,
          fixed ? Text(Version4(version.fixed[pe::kFileVersionMs], version.fixed[pe::kFileVersionLs])) : Word(M::GlNone));
  AddFact(s, "productVersion", M::CmpProductVersion,
          fixed ? Text(Version4(version.fixed[pe::kProductVersionMs], version.fixed[pe::kProductVersionLs]))
                : Word(M::GlNone));
  // Who signed, and whether the signature still holds for the file.
  Value signer = Word(M::GlNone), state = Word(facts.signatureTable ? M::CmpSigUnreadable : M::CmpSigNone);
  if (!facts.signatures.empty()) {
    std::string who;
    bool checked = true, matches = true;
    for (const pe::SignatureFacts& sf : facts.signatures) {
      if (!who.empty()) who += ", ";
      who += sf.signer.empty() ? "?" : sf.signer;
      checked = checked && sf.digestChecked;
      matches = matches && sf.digestMatches;
    }
    signer = Text(who);
    state = Word(!checked ? M::CmpSigNotChecked : matches ? M::CmpSigMatches : M::CmpSigDiffers);
  }
  AddFact(s, "signer", M::CmpSigner, signer);
  AddFact(s, "signature", M::CmpSignature, state);
  AddFact(s, "linker", M::CmpLinker,
          g.identity.linker.empty() ? Text(io::Dec(g.linkerMajor) + "." + io::Dec(g.linkerMinor))
                                    : Text(WithoutPlaces(g.identity.linker)));
  AddFact(s, "toolchain", M::CmpToolchain, Text(Joined(g.identity.toolchain)));
}

void TakeArchive(const io::Reader& file, Snapshot& s) {
  pe::Anomalies an;
  pe::Budget budget(file.Size());
  const archive::Archive a = archive::ParseArchive(file, budget, an);
  if (!a.present) return;
  s.kind = Kind::Archive;
  archive::ForEachMember(a, budget, an, [&](const archive::Member& m) {
    using archive::MemberKind;
    if (m.kind != MemberKind::FirstLinker && m.kind != MemberKind::SecondLinker && m.kind != MemberKind::LongNames &&
        m.kind != MemberKind::EcSymbols)
      s.members.emplace_back(m.name);
    return true;
  });
  // Both linker members index the same symbols; the second is the one Microsoft's linker reads.
  const archive::LinkerIndex& ix = a.second.present ? a.second : a.first;
  archive::ForEachIndexSymbol(a, ix, budget, an, [&](const archive::IndexSymbol& sym) { s.symbols.emplace_back(sym.name); });
  archive::ForEachIndexSymbol(a, a.ecSymbols, budget, an,
                              [&](const archive::IndexSymbol& sym) { s.symbols.emplace_back(sym.name); });
}

void TakeObject(const io::Reader& file, Snapshot& s) {
  pe::Anomalies an;
  pe::Budget budget(file.Size());
  const coff::Object o = coff::ParseObject(file, budget, an);
  if (!o.present) return;
  s.kind = Kind::Object;
  const pe::Named* m = pe::Find(pe::Machines(), o.h.machine);
  AddFact(s, "machine", M::CmpMachine, Text(m != nullptr ? std::string(m->name) : io::Hex(o.h.machine, 4)), true);
  coff::ForEachSymbol(o, budget, an, [&](const coff::Symbol& sym) {
    if (!sym.nameOk) return;
    switch (coff::RoleOf(sym)) {
      case coff::SymbolRole::Defined:
      case coff::SymbolRole::Common:
      case coff::SymbolRole::Weak: s.symbols.emplace_back(sym.name); break;
      case coff::SymbolRole::Undefined: s.needs.emplace_back(sym.name); break;
      default: break;
    }
  });
}

void TakeNe(const io::Reader& file, Snapshot& s) {
  pe::Anomalies an;
  pe::Budget budget(file.Size());
  const ne::Module m = ne::ParseNe(file, budget, an);
  if (!m.present) return;
  s.kind = Kind::Ne;
  // The entries by ordinal: a name finds its entry in one step, however many there are.
  std::vector<const ne::Entry*> byOrdinal(std::size_t{1} << 16, nullptr);
  for (const ne::Entry& e : m.entries)
    if (byOrdinal[e.ordinal] == nullptr) byOrdinal[e.ordinal] = &e;
  auto add = [&](std::uint16_t ordinal, std::string_view name) {
    const ne::Entry* e = byOrdinal[ordinal];
    Export x;
    x.ordinal = ordinal;
    x.name = std::string(name);
    if (e != nullptr && !e->Constant() && e->segment != 0 && e->segment <= m.segments.size())
      x.data = (m.segments[e->segment - 1u].flags & ne::kSegData) != 0;
    else if (e != nullptr && e->Constant())
      x.data = true;
    s.exports.push_back(std::move(x));
  };
  // The first resident name is the module's own, the first non-resident one its description.
  std::vector<std::uint16_t> withName;
  for (const auto* list : {&m.residentNames, &m.nonResidentNames})
    for (std::size_t i = 1; i < list->size(); ++i) {
      add((*list)[i].ordinal, (*list)[i].text);
      withName.push_back((*list)[i].ordinal);
    }
  std::sort(withName.begin(), withName.end());
  for (const ne::Entry& e : m.entries)
    if (!std::binary_search(withName.begin(), withName.end(), e.ordinal)) add(e.ordinal, {});
  for (std::string_view ref : m.moduleRefs) s.dlls.emplace_back(ref);
  ne::ForEachRelocation(m, budget, an, [&](const ne::Relocation& r) {
    if (r.module.empty()) return;
    if (r.kind == ne::RelocKind::ImportOrdinal) s.imports.push_back({std::string(r.module), {}, r.ordinal, true});
    else if (r.kind == ne::RelocKind::ImportName && !r.name.empty())
      s.imports.push_back({std::string(r.module), std::string(r.name), 0, false});
  });
}

}  // namespace

Snapshot Take(std::span<const std::uint8_t> bytes) {
  const io::Reader file(bytes);
  Snapshot s;
  switch (coff::DetectKind(file)) {
    case coff::Kind::Archive: TakeArchive(file, s); break;
    case coff::Kind::Object:
    case coff::Kind::BigObject: TakeObject(file, s); break;
    case coff::Kind::Ne: TakeNe(file, s); break;
    default: TakePe(file, s); break;
  }
  return s;
}

}  // namespace kestrova::dumper::compare
