// The overlay: what follows the sections' raw data, with the certificate
// table cut out of it.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

TEST(GoldenOverlay, PiecesAroundTheCertificateTable) {
  PeBuilder pe = Pe32Program();
  std::vector<std::uint8_t> f = pe.Build();
  const std::uint32_t end = static_cast<std::uint32_t>(f.size());
  Blob tail;
  tail.Str("PK\x03\x04 appended archive", false);
  tail.b.resize(32);
  tail.U32(0x28).U16(0x200).U16(2).Zeros(0x20);              // a certificate entry, 0x28 bytes
  tail.Str("after the certificate\x01\x02", false);
  f.insert(f.end(), tail.b.begin(), tail.b.end());
  const std::size_t dirs = PeBuilder::kOptional + 96;
  Put32(f, dirs + 4 * 8, end + 32);
  Put32(f, dirs + 4 * 8 + 4, 0x28);
  Put32(f, PeBuilder::kCoff + 8, end);  // a symbol table pointer into the overlay
  ExpectGolden("overlay", Dump(f, "setup.exe"));
}

TEST(Overlay, CertificateAloneIsNotOverlay) {
  std::vector<std::uint8_t> f = Pe32Program().Build();
  const std::uint32_t end = static_cast<std::uint32_t>(f.size());
  f.resize(end + 0x28, 0);
  Put32(f, PeBuilder::kOptional + 96 + 4 * 8, end);
  Put32(f, PeBuilder::kOptional + 96 + 4 * 8 + 4, 0x28);
  EXPECT_EQ(Dump(f, "signed.exe").find("== Overlay =="), std::string::npos);
}

}  // namespace
}  // namespace kestrova::dumper::testing
