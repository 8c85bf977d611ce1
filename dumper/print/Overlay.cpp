// The overlay: where it starts, how large it is, and how it begins.
#include "dumper/pe/Overlay.h"

#include <cstdio>

#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Overlay.h"

namespace kestrova::dumper::print {
void PrintOverlay(Printer& o, const pe::Overlay& v, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

void PrintOverlay(Printer& o, const Overlay& v, const Context&) {
  if (!v.present) return;
  Field(o, M::OvDataEnd, "Section").Say(M::OvFileOffset).Hex("sectionDataEnd", v.dataEnd, 8);
  o.Nl();
  // In file order: the certificate table between the pieces it splits. In
  // JSON each is a row of "pieces", its "kind" "overlay" or "certificateTable".
  bool certShown = !v.certificate;
  auto cert = [&]() {
    Scoped row(o, Scoped::kObject, {});
    Field(o, M::OvCertificate, "Certificate").Word("kind", "", "certificateTable").Say(M::OvFileOffset);
    o.Hex("offset", v.certOffset, 8).Say(M::OvSize).Hex("size", v.certSize, 8);
    o.Say(M::OvNotOverlay);
    o.Nl();
    certShown = true;
  };
  {
    Scoped rows(o, Scoped::kList, "pieces");
    for (int i = 0; i < v.count; ++i) {
      const OverlayPiece& p = v.pieces[i];
      if (!certShown && p.offset > v.certOffset) cert();
      Scoped row(o, Scoped::kObject, {});
      Field(o, M::OvOverlay, "Overlay").Word("kind", "", "overlay").Say(M::OvFileOffset).Hex("offset", p.offset, 8);
      o.Say(M::OvSize).Hex("size", p.size, 8).Say(M::OvBytes, {p.size});
      o.Nl();
      Field(o, M::OvFirstBytes, "First");
      HexBytes(o, "firstBytes", p.bytes.Bytes(), 16);
      o.Nl();
    }
    if (!certShown) cert();
  }
  if (v.entropy >= 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.2f", v.entropy);
    Field(o, M::OvEntropy, "Entropy").Real("entropy", buf, buf).Say(M::OvBitsPerByte);
    if (v.count > 1) o.Say(M::OvPiecesTogether);
    o.Nl();
  }
  if (v.symbols) {
    Field(o, M::OvHolds, "Holds").Say(M::OvSymbolsBefore).Dec("symbolCount", v.symbolCount).Say(M::OvSymbolsAt);
    o.Hex("symbolTableOffset", v.symbolOffset, 8).Say(M::OvStringTable);
    o.Nl();
  }
}

KESTROVA_PART(Overlay)

}  // namespace kestrova::dumper::print
