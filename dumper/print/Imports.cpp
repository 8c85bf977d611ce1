// Imports, delay-load imports and bound imports.
#include "dumper/lang/catalog/Imports.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

namespace {

void DllName(Printer& o, const ImportDll& d) {
  if (d.name.empty() && !d.nameOk) o.Say(M::ImpNameNotReadable).Fact("nameNotReadable", true);
  else o.Name("name", d.name);
}

// One line per function: IAT slot, hint, then the name or the ordinal.
void Functions(Printer& o, const ImportDll& d, const Context& ctx) {
  o.Say(M::ImpColumns);
  o.Nl();
  {
    Scoped rows(o, Scoped::kList, "functions");
    for (const ImportFunction& f : d.functions) {
      if (o.Exhausted()) return;
      Scoped row(o, Scoped::kObject, {});
      o.Text("    ").Hex("slotRva", f.slotRva, 8).Text("  ");
      if (f.byOrdinal) {
        o.Say(M::ImpByOrdinal).Dec("ordinal", f.ordinal);
        if (!f.knownName.empty()) o.Text("  ").Word("knownName", f.knownName).Say(M::ImpNameFromOrdinal);
      } else {
        o.DecR("hint", f.hint, 5).Text("  ");
        if (f.name.empty() && !f.nameOk) {
          o.Say(M::ImpNameNotReadableAt).Fact("nameNotReadable", true).Hex("nameRva", f.nameRva, 0).Say(M::ImpCloseParen);
        } else {
          o.Name("name", f.name);
          Readable(o, f.name, ctx);
        }
      }
      o.Nl();
    }
  }
  Count(o, kNoKey, d.functions.size(), M::ImpFunctionsOne, M::ImpFunctionsMany);
  o.Nl();
}

// The directory line; the DLL blocks follow.
void Heading(Printer& o, const ImportTable& t) {
  Field(o, M::ImpDirectory).Text("RVA ").Hex("rva", t.rva, 8).Say(M::ImpSize).Hex("size", t.size, 8);
  Count(o, kNoKey, t.dlls.size(), M::ImpDllsOne, M::ImpDllsMany);
  o.Nl();
}

void DllHeading(Printer& o, const ImportDll& d) {
  o.Nl();
  o.Text("  DLL ");
  DllName(o, d);
  o.Nl();
}

}  // namespace

void PrintImports(Printer& o, const ImportTable& t, const Context& ctx) {
  Heading(o, t);
  Scoped dlls(o, Scoped::kList, "dlls");
  for (const ImportDll& d : t.dlls) {
    if (o.Exhausted()) break;
    Scoped dll(o, Scoped::kObject, {});
    DllHeading(o, d);
    o.Say(M::ImpLookupTable).Hex("lookupTableRva", d.lookupRva, 8).Text("  IAT ").Hex("iatRva", d.iatRva, 8);
    o.Say(M::ImpName).Hex("nameRva", d.nameRva, 8).Say(M::ImpForwarderChain).Hex("ForwarderChain", d.forwarderChain, 8);
    o.Nl();
    o.Text("    TimeDateStamp ");
    o.Hex("TimeDateStamp", d.timeDateStamp, 8);
    // How the DLL is bound: "no", "new" (see Bound imports) or "old" (the stamp is the DLL's).
    if (d.timeDateStamp == 0) o.Word("bound", M::ImpNotBound, "no");
    else if (d.timeDateStamp == 0xFFFFFFFF) o.Word("bound", M::ImpBoundNew, "new");
    else o.Word("bound", M::ImpBoundOld, "old").Date(kNoKey, d.timeDateStamp);
    o.Nl();
    Functions(o, d, ctx);
  }
}

void PrintDelayImports(Printer& o, const ImportTable& t, const Context& ctx) {
  Heading(o, t);
  Scoped dlls(o, Scoped::kList, "dlls");
  for (const ImportDll& d : t.dlls) {
    if (o.Exhausted()) break;
    Scoped dll(o, Scoped::kObject, {});
    DllHeading(o, d);
    o.Say(M::ImpAttributes).Hex("Attributes", d.attributes, 8);
    o.Word("addresses", d.usesVas ? M::ImpAddressesOld : M::ImpRvas, d.usesVas ? "va" : "rva");
    o.Say(M::ImpModuleHandle).Hex("moduleHandleRva", d.moduleHandleRva, 8).Text("  TimeDateStamp ");
    Stamp(o, "TimeDateStamp", d.timeDateStamp, StampStyle::Table);
    o.Nl();
    o.Say(M::ImpNameTable).Hex("nameTableRva", d.lookupRva, 8).Text("  IAT ").Hex("iatRva", d.iatRva, 8);
    o.Say(M::ImpBoundIat).Hex("boundIatRva", d.boundIatRva, 8).Say(M::ImpUnloadIat).Hex("unloadIatRva", d.unloadIatRva, 8);
    o.Nl();
    Functions(o, d, ctx);
  }
}

void PrintBoundImports(Printer& o, const BoundImportTable& t, const Context&) {
  Field(o, M::ImpDirectory).Say(M::ImpOffset).Hex("offset", t.offset, 8).Say(M::ImpSize).Hex("size", t.size, 8);
  o.Nl();
  o.Text("  TimeDateStamp").Col(39).Say(M::ImpModule);
  o.Nl();
  auto line = [&](const BoundRef& r, bool forwarder) {
    o.Text(forwarder ? "    " : "  ").Hex("TimeDateStamp", r.timeDateStamp, 8).Text("  ");
    if (r.timeDateStamp != 0) o.Date(kNoKey, r.timeDateStamp);
    o.Col(39);
    if (forwarder) o.Say(M::ImpForwarder);
    o.Name("name", r.name);
    o.Nl();
  };
  // Each module an object; the DLLs it forwards to, a list inside it.
  Scoped modules(o, Scoped::kList, "modules");
  for (const BoundModule& m : t.modules) {
    if (o.Exhausted()) return;
    Scoped module(o, Scoped::kObject, {});
    line(m.module, false);
    if (m.forwarders.empty()) continue;
    Scoped forwarders(o, Scoped::kList, "forwarders");
    for (const BoundRef& f : m.forwarders) {
      if (o.Exhausted()) return;
      Scoped one(o, Scoped::kObject, {});
      line(f, true);
    }
  }
}

KESTROVA_PART(Imports)
KESTROVA_PART(BoundImports)
KESTROVA_PART(DelayImports)

}  // namespace kestrova::dumper::print
