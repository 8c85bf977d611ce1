// The overlay: where it starts, how large it is, and how it begins.
#include "dumper/pe/Overlay.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {
void PrintOverlay(Printer& o, const pe::Overlay& v, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;

void PrintOverlay(Printer& o, const Overlay& v, const Context&) {
  if (!v.present) return;
  Field(o, "Section data ends at").Text("file offset ").Hex(v.dataEnd, 8);
  o.Nl();
  // In file order: the certificate table between the pieces it splits.
  bool certShown = !v.certificate;
  auto cert = [&]() {
    Field(o, "Certificate table").Text("file offset ").Hex(v.certOffset, 8).Text(", size ").Hex(v.certSize, 8);
    o.Text(" (not overlay)");
    o.Nl();
    certShown = true;
  };
  for (int i = 0; i < v.count; ++i) {
    const OverlayPiece& p = v.pieces[i];
    if (!certShown && p.offset > v.certOffset) cert();
    Field(o, "Overlay").Text("file offset ").Hex(p.offset, 8).Text(", size ").Hex(p.size, 8).Text(" (").Dec(p.size);
    o.Text(" bytes)");
    o.Nl();
    Field(o, "First bytes");
    HexBytes(o, {}, p.bytes.Bytes(), 16);
    o.Nl();
  }
  if (!certShown) cert();
  if (v.symbols) {
    Field(o, "Holds").Text("the COFF symbol table (").Dec(v.symbolCount).Text(" symbols) at file offset ");
    o.Hex(v.symbolOffset, 8).Text(", and its string table");
    o.Nl();
  }
}

KESTROVA_PART(Overlay)

}  // namespace kestrova::dumper::print
