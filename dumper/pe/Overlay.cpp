// Where the image's own data ends, and what the file holds after it.
#include "dumper/pe/Overlay.h"

#include <algorithm>

namespace kestrova::dumper::pe {

Overlay ParseOverlay(const Context& ctx) {
  Overlay o;
  const Headers& h = ctx.h;
  if (h.kind != FileKind::Pe || !h.opt.present) return o;
  std::uint64_t end = h.opt.sizeOfHeaders;
  for (const Section& s : h.sections)
    if (s.sizeOfRawData != 0) end = std::max<std::uint64_t>(end, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
  end = std::min(end, h.fileSize);
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
  if (h.hasCoff && h.coff.pointerToSymbolTable >= end && h.coff.pointerToSymbolTable < h.fileSize) {
    o.symbols = true;
    o.symbolOffset = h.coff.pointerToSymbolTable;
    o.symbolCount = h.coff.numberOfSymbols;
  }
  return o;
}

}  // namespace kestrova::dumper::pe
