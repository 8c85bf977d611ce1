// Where the image's own data ends, and what the file holds after it.
#include "dumper/pe/Overlay.h"

#include <algorithm>

#include "dumper/pe/Facts.h"
#include "dumper/pe/Parse.h"

namespace kestrova::dumper::pe {

Overlay ParseOverlay(const Context& ctx) {
  Overlay o;
  const Headers& h = ctx.h;
  if (h.kind != FileKind::Pe || !h.opt.present) return o;
  const std::uint64_t end = ImageDataEnd(h);
  o.dataEnd = end;
  if (end >= h.fileSize) return o;
  // The certificate table's entry is a file offset; when it lies past the
  // sections, the bytes it covers are cut out of the overlay.
  std::uint64_t certStart = h.fileSize, certEnd = h.fileSize;
  if (h.dirs.size() > kDirCertificate) {
    const DataDirectory& c = h.dirs[kDirCertificate];
    if (c.rva != 0 && c.size != 0 && c.rva >= end && c.rva < h.fileSize) {
      o.certificate = true;
      o.certOffset = c.rva;
      o.certSize = c.size;
      certStart = c.rva;
      certEnd = std::min<std::uint64_t>(h.fileSize, std::uint64_t{c.rva} + c.size);
    }
  }
  auto add = [&](std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    OverlayPiece& p = o.pieces[o.count++];
    p.offset = from;
    p.size = to - from;
    p.bytes = *ctx.file.Sub(from, to - from);
  };
  add(end, certStart);
  add(certEnd, h.fileSize);
  o.present = o.count > 0;
  o.entropy = h.overlayEntropy;
  if (ctx.facts && o.present) {
    Marks& m = ctx.facts->marks;
    m.overlayStart = o.pieces[0].offset;
    m.overlaySize = o.pieces[0].size;
    m.overlayEnd = o.pieces[o.count - 1].offset + o.pieces[o.count - 1].size;
  }
  if (h.hasCoff && h.coff.pointerToSymbolTable >= end && h.coff.pointerToSymbolTable < h.fileSize) {
    o.symbols = true;
    o.symbolOffset = h.coff.pointerToSymbolTable;
    o.symbolCount = h.coff.numberOfSymbols;
  }
  return o;
}

}  // namespace kestrova::dumper::pe
