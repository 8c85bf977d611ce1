// The export directory.
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

void PrintExports(Printer& o, const ExportTable& t, const Context& ctx) {
  if (t.present) {
    ExportWalker walker(t, ctx);
    Field(o, "Directory").Text("RVA ").Hex(t.rva, 8).Text(", size ").Hex(t.size, 8);
    o.Nl();
    Field(o, "Name");
    if (t.nameRva == 0) o.Text("(none)");
    else o.Name(t.name);
    o.Text("  at ").Hex(t.nameRva, 8);
    o.Nl();
    DirectoryStamp(o, t.characteristics, t.timeDateStamp, t.majorVersion, t.minorVersion);
    Field(o, "Base (first ordinal)").Dec(t.base);
    o.Nl();
    Field(o, "NumberOfFunctions").Dec(t.numberOfFunctions);
    o.Nl();
    Field(o, "NumberOfNames").Dec(t.numberOfNames);
    o.Nl();
    Field(o, "AddressOfFunctions").Hex(t.addressOfFunctions, 8);
    o.Nl();
    Field(o, "AddressOfNames").Hex(t.addressOfNames, 8);
    o.Nl();
    Field(o, "AddressOfNameOrdinals").Hex(t.addressOfNameOrdinals, 8);
    o.Nl();
    o.Nl();
    // One line per ordinal and name: ordinal, hint (name table index), RVA, name, forwarder target.
    o.Text("  Ordinal   Hint  RVA       Name");
    o.Nl();
    std::uint64_t unnamed = 0, used = 0;
    ExportEntry e;
    while (!o.Exhausted() && walker.Next(e)) {
      if (e.rva == 0 && e.nameCount == 0) {
        o.Text("  ").DecR(e.ordinal, 7).Text("      -  ").Hex(0, 8).Text("  (empty slot)");
        o.Nl();
        continue;
      }
      ++used;
      if (e.nameCount == 0) {
        ++unnamed;
        o.Text("  ").DecR(e.ordinal, 7).Text("      -  ").Hex(e.rva, 8).Text("  (no name)");
        if (e.forwarder) o.Text("  -> ").Name(e.forwardTo);
        o.Nl();
        continue;
      }
      for (std::uint32_t k = 0; k < e.nameCount; ++k) {
        ExportName n = walker.Name(e, k);
        o.Text("  ").DecR(e.ordinal, 7).Ch(' ').DecR(n.index, 6).Text("  ").Hex(e.rva, 8).Text("  ");
        if (n.name.empty() && !n.ok) o.Text("(name not readable at RVA 0x").Hex(n.rva, 0).Ch(')');
        else o.Name(n.name);
        if (e.forwarder) o.Text("  -> ").Name(e.forwardTo);
        Readable(o, n.name, ctx);
        o.Nl();
      }
    }
    for (std::size_t i = 0; i < t.strayNames.size() && !o.Exhausted(); ++i) {
      std::uint32_t entry = 0;
      ExportName n = walker.StrayName(i, entry);
      o.Text("        ?  ").DecR(n.index, 6).Text("  --------  ").Name(n.name).Text("  (address table entry ");
      o.Dec(entry).Text(" does not exist)");
      o.Nl();
    }
    o.Text("  (");
    Count(o, {}, used, "ordinal", "ordinals");
    o.Text(" in use, ").Dec(unnamed).Text(" of them without a name; ");
    Count(o, {}, walker.Unused(), "empty slot)", "empty slots)");
    o.Nl();
  }
}

KESTROVA_PART(Exports)

}  // namespace kestrova::dumper::print
