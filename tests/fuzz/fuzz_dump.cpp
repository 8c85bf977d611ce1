// libFuzzer entry: the whole path from bytes to listing, parser and printer together.
// The sink keeps no copy of the listing, so the run measures the tool and not string
// growth; it checks the two things every listing must be: non-empty and valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "dumper/Dump.h"
#include "tests/corpus/Utf8Check.h"

namespace {

class CheckingSink final : public kestrova::dumper::Sink {
 public:
  void Write(std::string_view text) override {
    bytes_ += text.size();
    utf8_.Feed(text);
  }
  std::size_t bytes() const { return bytes_; }
  const kestrova::testing::Utf8Checker& utf8() const { return utf8_; }

 private:
  std::size_t bytes_ = 0;
  kestrova::testing::Utf8Checker utf8_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckingSink sink;
  kestrova::dumper::DumpImage(std::span<const std::uint8_t>(data, size), "fuzz.bin", sink);
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
  return 0;
}
