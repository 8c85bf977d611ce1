#pragma once
// Data past the end of the last section's raw data: installers' payloads,
// appended archives, the COFF symbol table of a toolchain that keeps one. The
// certificate table also lies there, but is the image's own, not overlay.
#include <cstdint>

#include "dumper/io/Reader.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

struct OverlayPiece {
  std::uint64_t offset = 0, size = 0;
  io::Reader bytes;
};

struct Overlay {
  bool present = false;
  std::uint64_t dataEnd = 0;  // end of the headers' and sections' raw data
  OverlayPiece pieces[2];     // before and after the certificate table
  int count = 0;
  bool certificate = false;   // a certificate table lies past the section data
  std::uint64_t certOffset = 0, certSize = 0;
  bool symbols = false;       // the COFF symbol table starts in the overlay
  std::uint64_t symbolOffset = 0;
  std::uint32_t symbolCount = 0;
  double entropy = -1;        // of the pieces together, bits per byte
};

Overlay ParseOverlay(const Context& ctx);

}  // namespace kestrova::dumper::pe
