// The export directory.
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

void PrintExports(Printer& o, const ExportTable& t, const Context& ctx) {
  if (t.present) {
    ExportWalker walker(t, ctx);
    Field(o, "Directory").Text("RVA ").Hex("rva", t.rva, 8).Text(", size ").Hex("size", t.size, 8);
    o.Nl();
    // The DLL's own name; without one, "nameRva" 0 says so.
    Field(o, "Name", "name");
    if (t.nameRva == 0) o.Text("(none)");
    else o.Name("name", t.name);
    o.Text("  at ").Hex("nameRva", t.nameRva, 8);
    o.Nl();
    DirectoryStamp(o, t.characteristics, t.timeDateStamp, t.majorVersion, t.minorVersion);
    Field(o, "Base (first ordinal)").Dec("Base", t.base);
    o.Nl();
    Field(o, "NumberOfFunctions").Dec("NumberOfFunctions", t.numberOfFunctions);
    o.Nl();
    Field(o, "NumberOfNames").Dec("NumberOfNames", t.numberOfNames);
    o.Nl();
    Field(o, "AddressOfFunctions").Hex("AddressOfFunctions", t.addressOfFunctions, 8);
    o.Nl();
    Field(o, "AddressOfNames").Hex("AddressOfNames", t.addressOfNames, 8);
    o.Nl();
    Field(o, "AddressOfNameOrdinals").Hex("AddressOfNameOrdinals", t.addressOfNameOrdinals, 8);
    o.Nl();
    o.Nl();
    // One line per ordinal and name: ordinal, hint (name table index), RVA, name, forwarder target.
    // In JSON one row each; an ordinal with two names gives two rows, as in the listing.
    o.Text("  Ordinal   Hint  RVA       Name");
    o.Nl();
    std::uint64_t unnamed = 0, used = 0;
    {
      Scoped rows(o, Scoped::kList, "exports");
      ExportEntry e;
      while (!o.Exhausted() && walker.Next(e)) {
        if (e.rva == 0 && e.nameCount == 0) {
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Text("      -  ").Hex("rva", 0, 8).Text("  (empty slot)");
          o.Fact("emptySlot", true);
          o.Nl();
          continue;
        }
        ++used;
        if (e.nameCount == 0) {
          ++unnamed;
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Text("      -  ").Hex("rva", e.rva, 8).Text("  (no name)");
          o.Fact("noName", true);
          if (e.forwarder) o.Text("  -> ").Name("forwarder", e.forwardTo);
          o.Nl();
          continue;
        }
        for (std::uint32_t k = 0; k < e.nameCount; ++k) {
          ExportName n = walker.Name(e, k);
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Ch(' ').DecR("hint", n.index, 6).Text("  ");
          o.Hex("rva", e.rva, 8).Text("  ");
          if (n.name.empty() && !n.ok) {
            o.Text("(name not readable at RVA 0x").Fact("nameNotReadable", true).Hex("nameRva", n.rva, 0).Ch(')');
          } else {
            o.Name("name", n.name);
          }
          if (e.forwarder) o.Text("  -> ").Name("forwarder", e.forwardTo);
          Readable(o, n.name, ctx);
          o.Nl();
        }
      }
    }
    // Names whose ordinal points past the address table: they export nothing.
    if (!t.strayNames.empty() && !o.Exhausted()) {
      Scoped rows(o, Scoped::kList, "strayNames");
      for (std::size_t i = 0; i < t.strayNames.size() && !o.Exhausted(); ++i) {
        std::uint32_t entry = 0;
        ExportName n = walker.StrayName(i, entry);
        Scoped row(o, Scoped::kObject, {});
        o.Text("        ?  ").DecR("hint", n.index, 6).Text("  --------  ").Name("name", n.name);
        o.Text("  (address table entry ").Dec("addressTableEntry", entry).Text(" does not exist)");
        o.Nl();
      }
    }
    // Counts the rows above already give.
    o.Text("  (");
    Count(o, kNoKey, used, "ordinal", "ordinals");
    o.Text(" in use, ").Dec(kNoKey, unnamed).Text(" of them without a name; ");
    Count(o, kNoKey, walker.Unused(), "empty slot)", "empty slots)");
    o.Nl();
  }
}

KESTROVA_PART(Exports)

}  // namespace kestrova::dumper::print
