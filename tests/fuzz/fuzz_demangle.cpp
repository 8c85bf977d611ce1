// libFuzzer entry for the demanglers alone: any bytes as a name, for both kinds
// of image. A name either stays raw or gets a bounded, non-empty readable form.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "dumper/demangle/Demangle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova::dumper::demangle;
  std::string_view name(reinterpret_cast<const char*>(data), size);
  for (bool x86 : {false, true}) {
    Result r = Demangle(name, x86);
    if ((r.scheme == Scheme::None) != r.text.empty() || r.text.size() > kMaxOutput + 64) {
      std::fprintf(stderr, "fuzz_demangle: scheme %d with a readable form of %zu bytes\n",
                   static_cast<int>(r.scheme), r.text.size());
      std::abort();
    }
  }
  return 0;
}
