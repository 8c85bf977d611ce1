// At a glance for libraries, objects and NE files: the answers each is opened
// for, the evidence in the parts below.
#include "dumper/print/KindsGlance.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Archive.h"
#include "dumper/lang/catalog/Glance.h"
#include "dumper/lang/catalog/Ne.h"
#include "dumper/lang/catalog/Object.h"
#include "dumper/ne/Ne.h"
#include "dumper/pe/Identify.h"
#include "dumper/pe/Rich.h"
#include "dumper/print/Printers.h"

namespace kestrova::dumper::print {

namespace {

namespace M = lang::M;
using pe::Facts;

// A machine by its name ("AMD64"), or its number when the table has none.
void MachineWord(Printer& o, std::uint16_t m) {
  if (const pe::Named* n = pe::Find(pe::Machines(), m)) {
    o.Word({}, n->name);
  } else {
    o.Word({}, io::Hex(m, 4));
  }
}

void Machines(Printer& o, const std::vector<std::uint16_t>& machines) {
  if (machines.empty()) {
    o.Say(M::ArGlNoMachine);
    return;
  }
  o.Say(M::ArGlFor);
  Scoped list(o, Scoped::kList, "machines");
  for (std::size_t i = 0; i < machines.size(); ++i) {
    if (i != 0) o.Say(M::ListSep);
    MachineWord(o, machines[i]);
  }
}

void Library(Printer& o, const pe::LibraryFacts& f) {
  // Import members make an import library, even when damage leaves no function to list.
  const bool imports = f.functions != 0 || f.shortImports != 0 || f.longImports != 0;
  Field(o, M::GlWhat, "what");
  if (imports) o.Word({}, M::ArGlImportLibrary);
  else if (f.members != 0) o.Word({}, M::ArGlStaticLibrary);
  else o.Word({}, M::ArGlEmpty, "archive");
  if (f.members != 0) Machines(o, f.machines);
  if (imports) {
    if (f.shortImports != 0 && f.longImports != 0) o.Say(M::ArGlBothForms).FactName("form", "short and long");
    else if (f.shortImports != 0) o.Say(M::ArGlShortForm).FactName("form", "short");
    else o.Say(M::ArGlLongForm).FactName("form", "long");
  }
  o.Nl();
  if (f.functions != 0) {
    // One DLL a line: most libraries name one, a few a dozen.
    constexpr std::size_t kShown = 10;
    Scoped list(o, Scoped::kList, "dlls");
    for (std::size_t i = 0; i < f.dlls.size(); ++i) {
      if (i == 0) o.Text("  ").Say(M::ArGlLinksTo);
      o.Col(kValueCol);
      if (i == kShown && f.dlls.size() > kShown + 1) {
        o.Say(M::ArGlMoreDlls, {f.dlls.size() - kShown});
        for (std::size_t k = i; k < f.dlls.size(); ++k) o.FactName({}, f.dlls[k]);
        o.Nl();
        break;
      }
      o.Name({}, f.dlls[i]);
      o.Nl();
    }
  }
  if (f.functions != 0) {
    Field(o, M::ArGlImports, kNoKey);
    Count(o, "functions", f.functions, M::ArGlFunctionsOne, M::ArGlFunctionsMany);
    o.Say(M::ArGlByName, {f.byName}).Fact("byName", f.byName);
    o.Say(M::ArGlByOrdinal, {f.byOrdinal}).Fact("byOrdinal", f.byOrdinal);
    if (f.data != 0) o.Say(M::ArGlData, {f.data});
    o.Fact("data", f.data);
    if (f.constants != 0) o.Say(M::ArGlConstants, {f.constants}).Fact("constants", f.constants);
    o.Nl();
  }
  if (f.members != 0) {
    Field(o, M::ArGlMembers, "members").Dec(f.members);
    NonZeroCounts counts(o, o.L(M::ArGlMembersSep));
    counts.Add("shortImports", f.shortImports, M::ArGlShortImportsOne, M::ArGlShortImportsMany);
    counts.Add("longImports", f.longImports, M::ArGlLongImportsOne, M::ArGlLongImportsMany);
    counts.Add("objects", f.objects, M::ArGlObjectsOne, M::ArGlObjectsMany);
    counts.Add("ltcgObjects", f.ltcgObjects, M::ArGlLtcgObjectsOne, M::ArGlLtcgObjectsMany);
    counts.Add("others", f.others, M::ArGlOthersOne, M::ArGlOthersMany);
    if (!f.complete) o.Say(M::ArGlIncomplete).Fact("complete", false);
    o.Nl();
  }
  if (f.objects != 0) {
    Field(o, M::ArGlDefines, kNoKey);
    Count(o, "defined", f.defined, M::ArGlSymbolsOne, M::ArGlSymbolsMany);
    if (imports) o.Say(M::ArGlInObjects);
    o.Nl();
  }
}

void CompiledBy(Printer& o, const pe::ObjectFacts& f) {
  Scoped list(o, Scoped::kList, "compiledBy");
  if (f.compiledBy.empty()) {
    Field(o, M::ObGlCompiledBy, kNoKey).Say(M::ObGlNotSaid);
    o.Nl();
    return;
  }
  bool first = true;
  for (const pe::CompilerNote& n : f.compiledBy) {
    Scoped one(o, Scoped::kObject, {});
    if (first) o.Text("  ").Say(M::ObGlCompiledBy);
    o.Col(kValueCol);
    first = false;
    switch (n.from) {
      case pe::CompilerNote::From::Comment:
      case pe::CompilerNote::From::GccIdent: {
        const std::string_view section = n.from == pe::CompilerNote::From::Comment ? ".comment" : ".rdata$zzz";
        o.Name("text", n.text).Say(M::ObGlInSection, {section}).FactName("from", section);
        break;
      }
      case pe::CompilerNote::From::CompileRecord:
        o.Name("text", n.text).Say(M::ObGlCompileRecord, {n.major, n.minor, n.patch});
        o.FactName("from", "compile record");
        o.Fact("frontEndMajor", std::uint64_t{n.major}).Fact("frontEndMinor", std::uint64_t{n.minor});
        o.Fact("frontEndBuild", std::uint64_t{n.patch});
        break;
      case pe::CompilerNote::From::CompId: {
        const pe::Named* product = pe::Find(pe::RichProducts(), n.product);
        if (product != nullptr) {
          o.Say(M::ObGlCompIdNamed, {product->name, n.build});
          o.FactName("productName", product->name);
        } else {
          o.Say(M::ObGlCompIdProduct, {io::Hex(n.product, 4), n.build});
        }
        o.Fact("product", std::uint64_t{n.product}).Fact("build", std::uint64_t{n.build});
        if (auto vs = pe::VisualStudioOf(n.product, n.build)) {
          o.Say(M::ObGlCompIdRelease, {vs->release, vs->msvc});
          o.FactName("release", vs->release).FactName("msvc", vs->msvc);
        }
        o.Say(M::ObGlCompIdFrom).FactName("from", "@comp.id");
        break;
      }
      case pe::CompilerNote::From::LlvmSection:
        o.Say(M::ObGlLlvm).FactName("from", ".llvm_addrsig");
        break;
    }
    o.Nl();
  }
}

void Object(Printer& o, const pe::ObjectFacts& f) {
  Field(o, M::GlWhat, "what");
  if (f.ltcg) o.Word({}, M::ObGlLtcg);
  else if (f.bigObject) o.Word({}, M::ObGlBigObject);
  else o.Word({}, M::ObGlObject);
  if (const pe::Named* m = pe::Find(pe::Machines(), f.machine)) {
    o.Say(M::ObGlFor).Word("machine", m->name);
  } else {
    o.Say(M::ObGlForMachine).Hex("machineCode", f.machine, 4);
  }
  o.Nl();
  if (f.ltcg) {
    Field(o, M::ObGlContents, kNoKey).Say(M::ObGlLtcgContents).Fact("ltcg", true);
    o.Nl();
    return;
  }
  Field(o, M::ObGlSections, "sections").Dec(f.sections);
  o.Nl();
  Field(o, M::ObGlSymbols, "symbols").Dec(f.symbols);
  o.Say(M::ObGlSymbolCounts, {f.defined, f.needed}).Fact("defined", f.defined).Fact("needed", f.needed);
  if (f.weak != 0) o.Say(M::ObGlWeak, {f.weak}).Fact("weak", f.weak);
  o.Say(M::ObGlClose);
  o.Nl();
  CompiledBy(o, f);
}

void Ne(Printer& o, const pe::NeFacts& f) {
  Field(o, M::GlWhat, "what").Word({}, f.library ? M::NeGlDll : M::NeGlProgram, f.library ? "NE DLL" : "NE program");
  o.Nl();
  if (!f.module.empty()) {
    Field(o, M::NeGlModule, "module").Name(f.module);
    o.Nl();
  }
  if (!f.description.empty()) {
    Field(o, M::NeGlDescription, "description").Name(f.description);
    o.Nl();
  }
  Field(o, M::NeGlTargetOs, "targetOs").Word({}, ne::OsName(f.targetOs));
  if (f.expectedWindows != 0) {
    o.Say(M::NeGlExpects, {f.expectedWindows >> 8u, f.expectedWindows & 0xFFu});
    o.Fact("windowsMajor", static_cast<std::uint64_t>(f.expectedWindows >> 8u));
    o.Fact("windowsMinor", static_cast<std::uint64_t>(f.expectedWindows & 0xFFu));
  }
  o.Nl();
  Field(o, M::NeGlEntryPoints, "entryPoints").Dec(f.entries);
  o.Say(M::NeGlExported, {f.exported}).Fact("exported", f.exported);
  if (f.constants != 0) o.Say(M::NeGlConstants, {f.constants}).Fact("constants", f.constants);
  if (!f.library) {
    o.Say(M::NeGlStarts).Hex("cs", f.cs, 4).Ch(':').Hex("ip", f.ip, 4);
  }
  o.Nl();
  if (f.moduleRefs != 0) {
    Field(o, M::NeGlImportsFrom, kNoKey);
    Count(o, "moduleReferences", f.moduleRefs, M::NeGlModulesOne, M::NeGlModulesMany);
    o.Nl();
  }
}

}  // namespace

bool PrintKindsGlance(Printer& o, const Facts& f) {
  if (f.library.present) Library(o, f.library);
  else if (f.object.present) Object(o, f.object);
  else if (f.ne.present) Ne(o, f.ne);
  else return false;
  return true;
}

}  // namespace kestrova::dumper::print
