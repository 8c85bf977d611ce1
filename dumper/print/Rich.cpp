// The Rich header: its key, whether its checksum holds, and the tools it names.
#include "dumper/pe/Rich.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {
void PrintRich(Printer& o, const pe::RichHeader& r, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;

void PrintRich(Printer& o, const RichHeader& r, const Context&) {
  if (!r.present) return;
  if (r.whole) {
    Field(o, "Start (DanS)").Text("file offset ").Hex("startOffset", r.start, 8);
    o.Nl();
  }
  Field(o, "End (Rich)").Text("file offset ").Hex("endOffset", r.richAt, 8);
  o.Nl();
  Field(o, "XOR key").Hex("key", r.key, 8);
  o.Nl();
  if (!r.whole) return;
  Field(o, "Checksum").Text("computed ").Hex("computedChecksum", r.computed, 8);
  o.Text(r.computed == r.key ? ", matches the key" : ", does NOT match the key").Fact("checksumMatches", r.computed == r.key);
  o.Nl();
  Field(o, "Entries").Dec(kNoKey, r.count);  // the rows' count
  o.Nl();
  if (r.count == 0) return;
  o.Nl();
  o.Text("  Product  Build   Uses  Tool");
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
