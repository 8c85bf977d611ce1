// The x86 length decoder over any bytes, at every offset: every
// instruction stays within 15 bytes and the input, and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dumper/x86/Length.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova::dumper;
  io::Reader r({data, size});
  for (std::uint64_t off = 0; off < size; ++off) {
    x86::Insn in = x86::Decode(r, off);
    if (in.length > 15 || off + in.length > size) std::abort();
    if ((in.length == 0) != (in.flow == x86::Flow::Invalid)) std::abort();
  }
  return 0;
}
