// Archives: the symbol index, the members with their kinds (objects in short,
// short imports by their header), and the imports by DLL.
#include "dumper/kinds/Parts.h"
#include "dumper/lang/catalog/Archive.h"
#include "dumper/pe/Constants.h"
#include "dumper/print/Object.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

namespace M = lang::M;

void Index(Printer& o, const archive::Archive& a, const archive::LinkerIndex& ix, lang::Msg what, Key key,
           const Context& ctx) {
  if (!ix.present) return;
  Scoped index(o, Scoped::kObject, key);
  o.Nl();
  o.Text("  ").Say(what).Say(M::ArAtOffset).Hex("offset", ix.offset, 0).Say(M::ArColon);
  Count(o, "symbols", ix.symbolCount, M::ArSymbolsOne, M::ArSymbolsMany);
  if (ix.second) o.Say(M::ArIndexMembers, {ix.memberCount}).Fact("members", std::uint64_t{ix.memberCount});
  o.Nl();
  Scoped list(o, Scoped::kList, "entries");
  archive::ForEachIndexSymbol(a, ix, ctx.budget, ctx.an, [&](const archive::IndexSymbol& s) {
    if (o.Exhausted()) return;
    Scoped one(o, Scoped::kObject, {});
    o.Text("    ").Hex("member", s.memberOffset, 8).Text("  ").Name("name", s.name);
    o.Nl();
  });
}

}  // namespace

void PrintArchive(Printer& o, const ArchivePart& p, const Context& ctx) {
  const archive::Archive& a = p.a;
  Field(o, M::ArLayout).Word("layout", a.microsoftLayout ? M::ArLayoutMicrosoft : M::ArLayoutGnu,
                             a.microsoftLayout ? "microsoft" : "gnu");
  o.Nl();
  if (a.longNames.Size() != 0 || a.longNamesOffset != 0) {
    Field(o, M::ArLongNames).Say(M::ArAtOffsetValue).Hex("longNamesOffset", a.longNamesOffset, 0).Say(M::ListSep);
    o.Dec("longNamesSize", a.longNames.Size()).Say(M::ArBytes);
    o.Nl();
  }
  Index(o, a, a.first, M::ArIndexFirst, "firstLinkerMember", ctx);
  Index(o, a, a.second, M::ArIndexSecond, "secondLinkerMember", ctx);
  Index(o, a, a.ecSymbols, M::ArIndexEc, "ecSymbols", ctx);

  o.Nl();
  o.Say(M::ArMembersHeader).Col(44).Say(M::ArColName);
  o.Nl();
  std::uint64_t members = 0;
  Scoped list(o, Scoped::kList, "members");
  archive::ForEachMember(a, ctx.budget, ctx.an, [&](const archive::Member& m) {
    if (o.Exhausted()) return false;
    ++members;
    Scoped one(o, Scoped::kObject, {});
    o.Text("  ").Hex("offset", m.headerOffset, 8).Text("  ").DecR("size", m.size, 8).Text("  ");
    o.Word("kind", archive::KindName(m.kind)).Col(44).Name("name", m.name);
    o.Nl();
    if (m.kind == archive::MemberKind::ShortImport) {
      // Its problems are reported under Imports by DLL.
      Anomalies elsewhere;
      archive::ShortImport s = archive::ParseShortImport(m.data, elsewhere, Area::ImportLibrary, a.lang);
      if (s.present) {
        o.Text("      ").Word("type", archive::ImportTypeName(s.type)).Say(M::ListSep);
        o.Word("nameType", archive::NameTypeName(s.nameType));
        if (s.nameType == 0) o.Text(" ").Dec("ordinal", s.ordinalOrHint);
        else o.Say(M::ArHint).Dec("hint", s.ordinalOrHint);
        o.Say(M::ArSymbol).Name("symbol", s.symbol);
        std::string_view name = archive::ImportName(s);
        if (!name.empty() && name != s.symbol) o.Say(M::ArImportsName).Name("importName", name);
        o.Say(M::ArFrom).Name("dll", s.dll);
        if (const Named* mach = Find(Machines(), s.machine)) o.Say(M::ListSep).Word("machine", mach->name);
        o.Nl();
      }
    } else if (m.kind == archive::MemberKind::Object || m.kind == archive::MemberKind::BigObject) {
      coff::Object obj = coff::ParseObject(m.data, ctx.budget, ctx.an, Area::Archive, a.lang);
      if (obj.present) {
        Scoped summary(o, Scoped::kObject, "object");
        ObjectSummary(o, obj, ctx, ctx.an, "      ");
      }
    }
    return true;
  });
  Count(o, kNoKey, members, M::ArMemberTotalOne, M::ArMemberTotalMany);
  o.Nl();
}

void PrintImportLibrary(Printer& o, const ImportLibraryPart& p, const Context& ctx) {
  const archive::ImportLibrary& lib = p.lib;
  Field(o, M::ArImportMembers).Dec("shortMembers", lib.shortMembers).Say(M::ArShortSep).Dec("longMembers", lib.longMembers);
  o.Say(M::ArLongFormTail);
  o.Nl();
  Scoped dlls(o, Scoped::kList, "dlls");
  for (std::size_t i = 0; i < lib.entries.size();) {
    if (o.Exhausted()) break;
    std::string_view dll = lib.entries[i].dll;
    std::size_t end = i;
    while (end < lib.entries.size() && lib.entries[end].dll == dll) ++end;
    Scoped one(o, Scoped::kObject, {});
    o.Nl();
    o.Say(M::ArDll);
    if (dll.empty()) o.Say(M::ArDllUnnamed);
    else o.Name("dll", dll);
    o.Nl();
    o.Say(M::ArFunctionsHeader);
    o.Nl();
    Scoped functions(o, Scoped::kList, "functions");
    for (std::size_t k = i; k < end; ++k) {
      if (o.Exhausted()) break;
      const archive::ImportEntry& e = lib.entries[k];
      Scoped f(o, Scoped::kObject, {});
      o.Text("    ");
      if (e.byOrdinal) o.Text("    -");
      else o.DecR("hint", e.ordinalOrHint, 5);
      o.Text("  ").Word("type", archive::ImportTypeName(e.type)).Col(18);
      if (e.byOrdinal) {
        o.Say(M::ArOrdinal).Dec("ordinal", e.ordinalOrHint);
      } else {
        o.Name("name", e.name);
        Readable(o, e.name, ctx);
      }
      o.Nl();
    }
    Count(o, kNoKey, end - i, M::ArFunctionTotalOne, M::ArFunctionTotalMany);
    o.Nl();
    i = end;
  }
}

KESTROVA_PART(Archive)
KESTROVA_PART(ImportLibrary)

}  // namespace kestrova::dumper::print
