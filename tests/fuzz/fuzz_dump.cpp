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
#include "tests/corpus/Utf8Check.h"

namespace {

class CheckingSink final : public kestrova::dumper::Sink {
 public:
  void Write(std::string_view text) override {
    bytes_ += text.size();
    utf8_.Feed(text);
    for (char c : text) Json(c);
  }
  std::size_t bytes() const { return bytes_; }
  const kestrova::testing::Utf8Checker& utf8() const { return utf8_; }
  // The JSON's brackets balance, strings close, and it ends with its one line break.
  bool WholeJson() const { return depth_ == 0 && !broken_ && !inString_ && lines_ == 1 && last_ == '\n'; }

 private:
  void Json(char c) {
    last_ = c;
    if (inString_) {
      if (escaped_) escaped_ = false;
      else if (c == '\\') escaped_ = true;
      else if (c == '"') inString_ = false;
      else if (static_cast<unsigned char>(c) < 0x20) broken_ = true;
      return;
    }
    if (c == '"') inString_ = true;
    else if (c == '{' || c == '[') ++depth_;
    else if (c == '}' || c == ']') broken_ |= depth_-- <= 0;
    else if (c == '\n') ++lines_;
  }
  std::size_t bytes_ = 0;
  kestrova::testing::Utf8Checker utf8_;
  long depth_ = 0;
  int lines_ = 0;
  bool inString_ = false, escaped_ = false, broken_ = false;
  char last_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckingSink sink;
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
