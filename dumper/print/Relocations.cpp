// Base relocations: one line per block, its entries counted by type.
#include "dumper/pe/Relocations.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Relocations.h"

namespace kestrova::dumper::print {
void PrintRelocations(Printer& o, const pe::RelocationTable& t, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

void PrintRelocations(Printer& o, const RelocationTable& t, const Context& ctx) {
  if (!t.present) return;
  // Totals of the rows below.
  Field(o, M::RelBlocks, "Blocks").Dec(kNoKey, t.blockCount);
  o.Nl();
  Field(o, M::RelEntries, "Entries").Dec(kNoKey, t.entryCount);
  o.Nl();
  Field(o, M::RelDirectory, "Directory").Text("RVA ").Hex("rva", t.rva, 8).Say(M::RelSize).Hex("size", t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  if (t.blockCount == 0) return;
  o.Nl();
  // The titles start where the rows' values do.
  o.Col(2).Say(M::RelColPage).Col(12).Say(M::RelColSection).Col(22).Say(M::RelColEntries).Col(31).Say(M::RelColTypes);
  o.Nl();
  RelocationWalker w(t, ctx);
  RelocationBlock b;
  const std::uint16_t machine = ctx.h.coff.machine;
  // A block's entries by type: {"name", "type", "count"}, "name" when the machine's types name it.
  Scoped rows(o, Scoped::kList, "blocks");
  while (!o.Exhausted() && w.Next(b)) {
    Scoped row(o, Scoped::kObject, {});
    o.Text("  ").Hex("page", b.page, 8).Text("  ");
    int s = ctx.map.SectionOf(b.page);
    if (s != kNoSection) o.Name("section", SectionName(ctx.h.sections[static_cast<std::size_t>(s)]));
    else o.Text("-");
    o.Col(20).DecR("entries", b.entries, 9).Text("  ");
    Scoped types(o, Scoped::kList, "types");
    bool first = true;
    // Most common kinds first: the one the image's width uses, then padding, then the rest.
    for (unsigned type : {10u, 3u, 0u, 1u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 11u, 12u, 13u, 14u, 15u}) {
      if (b.byType[type] == 0) continue;
      if (!first) o.Say(M::ListSep);
      first = false;
      Scoped one(o, Scoped::kObject, {});
      std::string_view name = RelocationTypeName(machine, type);
      if (name.empty()) o.Say(M::RelType, {type}).Fact("type", std::uint64_t{type});
      else o.Word("name", name).Fact("type", std::uint64_t{type});
      o.Ch(' ').Dec("count", b.byType[type]);
    }
    if (first) o.Say(M::RelNone);
    o.Nl();
  }
}

KESTROVA_PART(Relocations)

}  // namespace kestrova::dumper::print
