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
    Field(o, "Start (DanS)").Text("file offset ").Hex(r.start, 8);
    o.Nl();
  }
  Field(o, "End (Rich)").Text("file offset ").Hex(r.richAt, 8);
  o.Nl();
  Field(o, "XOR key").Hex(r.key, 8);
  o.Nl();
  if (!r.whole) return;
  Field(o, "Checksum").Text("computed ").Hex(r.computed, 8);
  o.Text(r.computed == r.key ? ", matches the key" : ", does NOT match the key");
  o.Nl();
  Field(o, "Entries").Dec(r.count);
  o.Nl();
  if (r.count == 0) return;
  o.Nl();
  o.Text("  Product  Build   Uses  Tool");
  o.Nl();
  for (std::uint32_t i = 0; i < r.count && !o.Exhausted(); ++i) {
    RichEntry e = RichEntryAt(r, i);
    o.Text("     ").Hex(e.product, 4).Text("  ").DecR(e.build, 5).Text("  ").DecR(e.uses, 5);
    if (const Named* n = Find(RichProducts(), e.product)) o.Text("  ").Text(n->name).Col(46).Text(n->meaning);
    o.Nl();
  }
}

KESTROVA_PART(Rich)

}  // namespace kestrova::dumper::print
