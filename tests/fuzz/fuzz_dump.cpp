// libFuzzer entry: the whole path from bytes to listing, parser and printer together.
// The sink keeps no copy of the listing, so the run measures the tool and not string
// growth; it checks the two things every listing must be: non-empty and valid UTF-8.
// Inputs of odd size are written as JSON, which must also be whole: every string
// closed, every bracket matched, one line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "dumper/Dump.h"
#include "tests/fuzz/CheckingSink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrova::testing::CheckingSink sink;
  kestrova::dumper::Options options;
  options.json = (size & 1) != 0;
  kestrova::dumper::DumpImage(std::span<const std::uint8_t>(data, size), "fuzz.bin", sink, nullptr, options);
  // Every input, even an empty one, gets at least the banner.
  if (sink.bytes() == 0) {
    std::fprintf(stderr, "fuzz_dump: empty listing\n");
    std::abort();
  }
  if (!sink.utf8().Complete()) {
    std::fprintf(stderr, "fuzz_dump: listing is not valid UTF-8 at byte %zu\n",
                 sink.utf8().offset());
    std::abort();
  }
  if (options.json && !sink.WholeJson()) {
    std::fprintf(stderr, "fuzz_dump: the JSON is not whole\n");
    std::abort();
  }
  return 0;
}
