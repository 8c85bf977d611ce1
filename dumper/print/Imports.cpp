// Imports, delay-load imports and bound imports.
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

void DllName(Printer& o, const ImportDll& d) {
  if (d.name.empty() && !d.nameOk) o.Text("(name not readable)");
  else o.Name(d.name);
}

// One line per function: IAT slot, hint, then the name or the ordinal.
void Functions(Printer& o, const ImportDll& d, const Context& ctx) {
  o.Text("    IAT slot  Hint   Function");
  o.Nl();
  for (const ImportFunction& f : d.functions) {
    if (o.Exhausted()) return;
    o.Text("    ").Hex(f.slotRva, 8).Text("  ");
    if (f.byOrdinal) {
      o.Text("    -  ordinal ").Dec(f.ordinal);
      if (!f.knownName.empty()) o.Text("  ").Text(f.knownName).Text("  (name known from the ordinal)");
    } else {
      o.DecR(f.hint, 5).Text("  ");
      if (f.name.empty() && !f.nameOk) {
        o.Text("(name not readable at RVA 0x").Hex(f.nameRva, 0).Ch(')');
      } else {
        o.Name(f.name);
        Readable(o, f.name, ctx);
      }
    }
    o.Nl();
  }
  o.Text("    (");
  Count(o, {}, d.functions.size(), "function)", "functions)");
  o.Nl();
}

// The directory line; the DLL blocks follow.
void Heading(Printer& o, const ImportTable& t) {
  Field(o, "Directory").Text("RVA ").Hex(t.rva, 8).Text(", size ").Hex(t.size, 8).Text(", ");
  Count(o, {}, t.dlls.size(), "DLL", "DLLs");
  o.Nl();
}

// Starts one DLL's block; false once the listing's budget is spent.
bool DllHeading(Printer& o, const ImportDll& d) {
  if (o.Exhausted()) return false;
  o.Nl();
  o.Text("  DLL ");
  DllName(o, d);
  o.Nl();
  return true;
}

}  // namespace

void PrintImports(Printer& o, const ImportTable& t, const Context& ctx) {
  Heading(o, t);
  for (const ImportDll& d : t.dlls) {
    if (!DllHeading(o, d)) break;
    o.Text("    lookup table ").Hex(d.lookupRva, 8).Text("  IAT ").Hex(d.iatRva, 8).Text("  name ").Hex(d.nameRva, 8);
    o.Text("  forwarder chain ").Hex(d.forwarderChain, 8);
    o.Nl();
    o.Text("    TimeDateStamp ");
    o.Hex(d.timeDateStamp, 8);
    if (d.timeDateStamp == 0) o.Text("  not bound");
    else if (d.timeDateStamp == 0xFFFFFFFF) o.Text("  bound (see Bound imports)");
    else o.Text("  bound, old style: ").Date(d.timeDateStamp);
    o.Nl();
    Functions(o, d, ctx);
  }
}

void PrintDelayImports(Printer& o, const ImportTable& t, const Context& ctx) {
  Heading(o, t);
  for (const ImportDll& d : t.dlls) {
    if (!DllHeading(o, d)) break;
    o.Text("    attributes ").Hex(d.attributes, 8).Text(d.usesVas ? " (addresses, old form)" : " (RVAs)");
    o.Text("  module handle ").Hex(d.moduleHandleRva, 8).Text("  TimeDateStamp ");
    Stamp(o, {}, d.timeDateStamp, StampStyle::Table);
    o.Nl();
    o.Text("    name table ").Hex(d.lookupRva, 8).Text("  IAT ").Hex(d.iatRva, 8).Text("  bound IAT ").Hex(d.boundIatRva, 8);
    o.Text("  unload IAT ").Hex(d.unloadIatRva, 8);
    o.Nl();
    Functions(o, d, ctx);
  }
}

void PrintBoundImports(Printer& o, const BoundImportTable& t, const Context&) {
  Field(o, "Directory").Text("offset ").Hex(t.offset, 8).Text(", size ").Hex(t.size, 8);
  o.Nl();
  o.Text("  TimeDateStamp").Col(39).Text("Module");
  o.Nl();
  auto line = [&](const BoundRef& r, bool forwarder) {
    o.Text(forwarder ? "    " : "  ").Hex(r.timeDateStamp, 8).Text("  ");
    if (r.timeDateStamp != 0) o.Date(r.timeDateStamp);
    o.Col(39);
    if (forwarder) o.Text("forwarder ");
    o.Name(r.name);
    o.Nl();
  };
  for (const BoundModule& m : t.modules) {
    if (o.Exhausted()) return;
    line(m.module, false);
    for (const BoundRef& f : m.forwarders) {
      if (o.Exhausted()) return;
      line(f, true);
    }
  }
}

KESTROVA_PART(Imports)
KESTROVA_PART(BoundImports)
KESTROVA_PART(DelayImports)

}  // namespace kestrova::dumper::print
