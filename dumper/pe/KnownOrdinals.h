#pragma once
// Names behind well-known import ordinals: programs import sockets and OLE
// automation from ws2_32, wsock32 and oleaut32 by ordinal, and those ordinals
// have not changed in decades.
#include <cstdint>
#include <string_view>

namespace kestrova::dumper::pe {

// The name exported at `ordinal` by `dll` (case-insensitive, ".dll" optional),
// or empty when the DLL is not one of those or the ordinal is not known.
std::string_view KnownOrdinalName(std::string_view dll, std::uint16_t ordinal);

}  // namespace kestrova::dumper::pe
