// The overlay: where it starts, how large it is, and how it begins.
#include "dumper/pe/Overlay.h"

#include <cstdio>

#include "dumper/print/Part.h"

namespace kestrova::dumper::print {
void PrintOverlay(Printer& o, const pe::Overlay& v, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;

void PrintOverlay(Printer& o, const Overlay& v, const Context&) {
  if (!v.present) return;
  Field(o, "Section data ends at").Text("file offset ").Hex("sectionDataEnd", v.dataEnd, 8);
  o.Nl();
  // In file order: the certificate table between the pieces it splits. In
  // JSON each is a row of "pieces", its "kind" "overlay" or "certificateTable".
  bool certShown = !v.certificate;
  auto cert = [&]() {
    Scoped row(o, Scoped::kObject, {});
    Field(o, "Certificate table").Word("kind", "", "certificateTable").Text("file offset ");
    o.Hex("offset", v.certOffset, 8).Text(", size ").Hex("size", v.certSize, 8);
    o.Text(" (not overlay)");
    o.Nl();
    certShown = true;
  };
  {
    Scoped rows(o, Scoped::kList, "pieces");
    for (int i = 0; i < v.count; ++i) {
      const OverlayPiece& p = v.pieces[i];
      if (!certShown && p.offset > v.certOffset) cert();
      Scoped row(o, Scoped::kObject, {});
      Field(o, "Overlay").Word("kind", "", "overlay").Text("file offset ").Hex("offset", p.offset, 8);
      o.Text(", size ").Hex("size", p.size, 8).Text(" (").Dec(kNoKey, p.size).Text(" bytes)");
      o.Nl();
      Field(o, "First bytes");
      HexBytes(o, "firstBytes", p.bytes.Bytes(), 16);
      o.Nl();
    }
    if (!certShown) cert();
  }
  if (v.entropy >= 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.2f", v.entropy);
    Field(o, "Entropy").Real("entropy", buf, buf).Text(" bits per byte").Text(v.count > 1 ? " (the pieces together)" : "");
    o.Nl();
  }
  if (v.symbols) {
    Field(o, "Holds").Text("the COFF symbol table (").Dec("symbolCount", v.symbolCount).Text(" symbols) at file offset ");
    o.Hex("symbolTableOffset", v.symbolOffset, 8).Text(", and its string table");
    o.Nl();
  }
}

KESTROVA_PART(Overlay)

}  // namespace kestrova::dumper::print
