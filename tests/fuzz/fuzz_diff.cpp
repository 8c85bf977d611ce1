// libFuzzer entry for --diff: two files from one input, compared both ways, as text and
// as JSON, through the command line's own RunDiff. The input is a 4-byte little-endian
// length of the first file (taken modulo what follows), the first file, then the second.
// Besides the sink's checks (UTF-8, whole JSON), the exit status is one of the three
// the tool documents, and a file set against itself shows no difference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "dumper/Many.h"
#include "dumper/compare/Compare.h"
#include "dumper/compare/Snapshot.h"
#include "tests/fuzz/CheckingSink.h"

namespace {

namespace D = kestrova::dumper;

class Halves final : public D::FileSource {
 public:
  Halves(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) : files_{a, b} {}
  bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& /*error*/) override {
    bytes.clear();
    mapped_ = files_[index];
    return true;
  }
  std::span<const std::uint8_t> Mapped() const override { return mapped_; }

 private:
  std::span<const std::uint8_t> files_[2];
  std::span<const std::uint8_t> mapped_;
};

[[noreturn]] void Fail(const char* what, std::size_t older, std::size_t newer, bool json) {
  std::fprintf(stderr, "fuzz_diff: %s (file %zu against file %zu, %s)\n", what, older, newer, json ? "JSON" : "text");
  std::abort();
}

int Diff(Halves& files, std::size_t older, std::size_t newer, bool json, D::lang::Lang lang) {
  static const std::vector<std::string> kArgs = {"old.dll", "new.dll"};
  kestrova::testing::CheckingSink sink;
  D::Options options;
  options.json = json;
  options.lang = lang;
  const int rc = D::RunDiff(kArgs, older, newer, files, sink, options);
  if (rc < 0 || rc > 2) Fail("exit status outside 0..2", older, newer, json);
  if (sink.bytes() == 0) Fail("nothing written", older, newer, json);
  if (!sink.utf8().Complete()) Fail("output is not valid UTF-8", older, newer, json);
  if (json && !sink.WholeJson()) Fail("the JSON is not whole", older, newer, json);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return -1;  // not kept in the corpus: no room for the length
  const std::size_t rest = size - 4;
  const std::size_t first = (static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8 |
                             static_cast<std::size_t>(data[2]) << 16 | static_cast<std::size_t>(data[3]) << 24) %
                            (rest + 1);
  const std::span<const std::uint8_t> older(data + 4, first), newer(data + 4 + first, rest - first);
  Halves files(older, newer);
  // Odd sizes take JSON first, even ones text, as fuzz_dump does; each way round, and the
  // text in either language.
  const bool json = (size & 1) != 0;
  const auto lang = (size & 2) != 0 ? D::lang::Lang::ZhCN : D::lang::Lang::En;
  Diff(files, 0, 1, json, lang);
  Diff(files, 1, 0, !json, lang);
  // A file against itself, by the same snapshots RunDiff takes: nothing differs.
  const D::compare::Snapshot s = D::compare::Take(older);
  if (!D::compare::Compare(s, s).Identical()) Fail("a file differs from itself", 0, 0, json);
  return 0;
}
