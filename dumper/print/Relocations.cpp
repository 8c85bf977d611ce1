// Base relocations: one line per block, its entries counted by type.
#include "dumper/pe/Relocations.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {
void PrintRelocations(Printer& o, const pe::RelocationTable& t, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;

void PrintRelocations(Printer& o, const RelocationTable& t, const Context& ctx) {
  if (!t.present) return;
  Field(o, "Blocks").Dec(t.blockCount);
  o.Nl();
  Field(o, "Entries").Dec(t.entryCount);
  o.Nl();
  Field(o, "Directory").Text("RVA ").Hex(t.rva, 8).Text(", size ").Hex(t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  if (t.blockCount == 0) return;
  o.Nl();
  o.Text("  Page      Section   Entries  Types");
  o.Nl();
  RelocationWalker w(t, ctx);
  RelocationBlock b;
  const std::uint16_t machine = ctx.h.coff.machine;
  while (!o.Exhausted() && w.Next(b)) {
    o.Text("  ").Hex(b.page, 8).Text("  ");
    int s = ctx.map.SectionOf(b.page);
    if (s != kNoSection) o.Name(SectionName(ctx.h.sections[static_cast<std::size_t>(s)]));
    else o.Text("-");
    o.Col(20).DecR(b.entries, 9).Text("  ");
    bool first = true;
    // Most common kinds first: the one the image's width uses, then padding, then the rest.
    for (unsigned type : {10u, 3u, 0u, 1u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 11u, 12u, 13u, 14u, 15u}) {
      if (b.byType[type] == 0) continue;
      if (!first) o.Text(", ");
      first = false;
      std::string_view name = RelocationTypeName(machine, type);
      if (name.empty()) o.Text("type ").Dec(type);
      else o.Text(name);
      o.Ch(' ').Dec(b.byType[type]);
    }
    if (first) o.Text("(none)");
    o.Nl();
  }
}

KESTROVA_PART(Relocations)

}  // namespace kestrova::dumper::print
