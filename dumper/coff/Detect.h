#pragma once
// Which kind of file the bytes are, by their content alone (never by the
// file's name): the driver picks the parts that apply from this.
#include <cstdint>
#include <string_view>

#include "dumper/io/Reader.h"

namespace kestrova::dumper::coff {

enum class Kind : std::uint8_t {
  Unknown,
  Image,        // MZ with a PE header: the PE parts
  Dos,          // MZ with no new header the tool reads
  Ne,           // MZ with an NE header: a 16-bit Windows or OS/2 module
  Archive,      // !<arch>: a static or import library
  Object,       // a COFF object
  BigObject,    // a big COFF object
  LtcgObject,   // an object compiled with /GL: only the linker reads it
  ShortImport,  // a lone import header, as found inside an import library
};
std::string_view KindName(Kind k);

// Machines a COFF object may be built for; an object has no signature, so a
// known machine with no optional header is what tells one from other data.
bool KnownObjectMachine(std::uint16_t machine);
bool LooksLikeObject(const io::Reader& data);

Kind DetectKind(const io::Reader& file);

}  // namespace kestrova::dumper::coff
