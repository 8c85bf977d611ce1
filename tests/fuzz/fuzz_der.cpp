// libFuzzer entry for the DER reader: the input is a signature blob. It is walked
// element by element with every value decoder, then put in a minimal image's
// certificate table and listed, so the Authenticode decoder sees it as a file would.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "dumper/Dump.h"
#include "dumper/crypto/Der.h"
#include "tests/corpus/Utf8Check.h"

namespace {

namespace der = kestrova::dumper::der;

// Every element, depth first, with an explicit stack: the reader's own depth cap bounds it.
void Walk(const std::uint8_t* data, std::size_t size) {
  der::Status st;
  kestrova::dumper::io::Reader bytes(std::span<const std::uint8_t>(data, size));
  std::vector<der::Reader> stack{der::Reader(bytes, st)};
  while (!stack.empty() && st.ok()) {
    if (stack.back().AtEnd()) {
      stack.pop_back();
      continue;
    }
    auto e = stack.back().Next();
    if (!e) break;
    const der::Reader& r = stack.back();
    if (e->Constructed()) {
      stack.push_back(r.Enter(*e));
      if (static_cast<int>(stack.size()) > der::kMaxDepth + 2) std::abort();  // the cap did not hold
      continue;
    }
    der::Status quiet;
    der::Reader probe(e->whole, quiet);
    switch (e->id) {
      case der::kOid: (void)der::Oid(probe, *e); break;
      case der::kInteger: (void)der::SmallInt(probe, *e); (void)der::Unsigned(*e); break;
      case der::kUtcTime:
      case der::kGeneralizedTime: (void)der::Time(probe, *e); break;
      default: (void)der::Text(probe, *e); break;
    }
  }
}

void Put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
  f[at] = static_cast<std::uint8_t>(v);
  f[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
  Put16(f, at, v & 0xFFFF);
  Put16(f, at + 2, v >> 16);
}

// A PE32+ image of headers alone whose certificate table holds the blob.
std::vector<std::uint8_t> Image(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kOpt = 0x58, kTable = 0x200;
  std::vector<std::uint8_t> f(kTable, 0);
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  f[0x40] = 'P';
  f[0x41] = 'E';
  Put16(f, 0x44, 0x8664);
  Put16(f, 0x54, 240);
  Put16(f, 0x56, 0x2022);
  Put16(f, kOpt, 0x20B);
  Put32(f, kOpt + 32, 0x1000);            // section alignment
  Put32(f, kOpt + 36, 0x200);             // file alignment
  Put32(f, kOpt + 56, 0x1000);            // size of image
  Put32(f, kOpt + 60, kTable);            // size of headers
  Put32(f, kOpt + 108, 16);               // directories
  const std::uint32_t length = static_cast<std::uint32_t>(size + 8);
  Put32(f, kOpt + 112 + 8 * 4, kTable);
  Put32(f, kOpt + 112 + 8 * 4 + 4, (length + 7) & ~7u);
  f.resize(kTable + 8, 0);
  Put32(f, kTable, length);
  Put16(f, kTable + 4, 0x0200);
  Put16(f, kTable + 6, 2);
  f.insert(f.end(), data, data + size);
  f.resize((f.size() + 7) & ~std::size_t{7}, 0);
  return f;
}

class CheckingSink final : public kestrova::dumper::Sink {
 public:
  void Write(std::string_view text) override { utf8.Feed(text); }
  kestrova::testing::Utf8Checker utf8;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  Walk(data, size);
  std::vector<std::uint8_t> image = Image(data, size);
  CheckingSink sink;
  kestrova::dumper::DumpImage(image, "fuzz.dll", sink);
  if (!sink.utf8.Complete()) {
    std::fprintf(stderr, "fuzz_der: listing is not valid UTF-8 at byte %zu\n", sink.utf8.offset());
    std::abort();
  }
  return 0;
}
