#pragma once
// The module-definition (.def) file of an image: what a linker needs to make
// an import library for a DLL that came without one.
#include <cstdint>
#include <span>
#include <string_view>

#include "dumper/io/Sink.h"
#include "dumper/lang/Lang.h"

namespace kestrova::dumper {

namespace system {
struct Environment;
}

// Writes the .def of `bytes` to `out` and returns 0; a file that is not an
// image gets one line saying why and 1. With `deps`, a 32-bit thunk or
// forwarder takes the argument size of the function it leads to, in the DLL
// found for it (without a system, in the application folder). The file's
// comments are in `comments`, the line that says why there is no file in `ui`.
int WriteDefFile(std::span<const std::uint8_t> bytes, std::string_view displayName, io::Sink& out,
                 const system::Environment* deps = nullptr, lang::Lang comments = lang::Lang::En,
                 lang::Lang ui = lang::Lang::En);

}  // namespace kestrova::dumper
