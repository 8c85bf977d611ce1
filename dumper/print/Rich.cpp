// The Rich header: its key, whether its checksum holds, and the tools it names.
#include "dumper/pe/Rich.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Rich.h"

namespace kestrova::dumper::print {
void PrintRich(Printer& o, const pe::RichHeader& r, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

void PrintRich(Printer& o, const RichHeader& r, const Context&) {
  if (!r.present) return;
  if (r.whole) {
    Field(o, M::RichStart, "Start").Say(M::RichFileOffset).Hex("startOffset", r.start, 8);
    o.Nl();
  }
  Field(o, M::RichEnd, "End").Say(M::RichFileOffset).Hex("endOffset", r.richAt, 8);
  o.Nl();
  Field(o, M::RichKey, "XOR").Hex("key", r.key, 8);
  o.Nl();
  if (!r.whole) return;
  Field(o, M::RichChecksum, "Checksum").Say(M::RichComputed).Hex("computedChecksum", r.computed, 8);
  o.Say(r.computed == r.key ? M::RichMatches : M::RichDiffers).Fact("checksumMatches", r.computed == r.key);
  o.Nl();
  Field(o, M::RichEntries, "Entries").Dec(kNoKey, r.count);  // the rows' count
  o.Nl();
  if (r.count == 0) return;
  o.Nl();
  // The titles start where the rows' values do.
  o.Col(2).Say(M::RichColProduct).Col(11).Say(M::RichColBuild).Col(19).Say(M::RichColUses).Col(25).Say(M::RichColTool);
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::uint32_t i = 0; i < r.count && !o.Exhausted(); ++i) {
    RichEntry e = RichEntryAt(r, i);
    Scoped row(o, Scoped::kObject, {});
    o.Text("     ").Hex("product", e.product, 4).Text("  ").DecR("build", e.build, 5).Text("  ").DecR("uses", e.uses, 5);
    if (const Named* n = Find(RichProducts(), e.product)) o.Text("  ").Word("tool", n->name).Col(46).Text(n->meaning.In(o.Language()));
    o.Nl();
  }
}

KESTROVA_PART(Rich)

}  // namespace kestrova::dumper::print
