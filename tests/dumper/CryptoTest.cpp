// The hashes against the published vectors, and the CPU's SHA instructions
// against the portable code on the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dumper/crypto/Sha.h"

namespace kestrova::dumper::testing {
namespace {

using crypto::HashAlg;

std::string HexOf(const crypto::Digest& d) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : d.View()) s += {kHex[b >> 4], kHex[b & 15]};
  return s;
}

std::string HashText(HashAlg a, std::string_view text) {
  return HexOf(crypto::Hash(a, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
}

constexpr std::string_view k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr std::string_view k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

TEST(Sha, PublishedVectors) {
  for (bool ext : {true, false}) {
    crypto::AllowHashExtensions(ext);
    EXPECT_EQ(HashText(HashAlg::kSha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(HashText(HashAlg::kSha1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(HashText(HashAlg::kSha1, k448), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(HashText(HashAlg::kSha256, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashText(HashAlg::kSha256, ""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashText(HashAlg::kSha256, k448), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HashText(HashAlg::kSha384, "abc"),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(HashText(HashAlg::kSha384, k896),
              "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
    EXPECT_EQ(HashText(HashAlg::kSha512, "abc"),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
              "454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(HashText(HashAlg::kSha512, k896),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
              "c7d329eeb6dd26545e96e55b874be909");
    const std::string million(1000000, 'a');
    EXPECT_EQ(HashText(HashAlg::kSha1, million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(HashText(HashAlg::kSha256, million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
  crypto::AllowHashExtensions(true);
}

// Pieces of any size, across block and padding edges, give the digest of the whole.
TEST(Sha, PiecesAndBothCodePathsAgree) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(5000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (HashAlg a : {HashAlg::kSha1, HashAlg::kSha256, HashAlg::kSha384, HashAlg::kSha512}) {
    for (std::size_t len : {0u, 55u, 56u, 64u, 111u, 112u, 128u, 129u, 1000u, 5000u}) {
      std::span<const std::uint8_t> whole(data.data(), len);
      crypto::AllowHashExtensions(false);
      const crypto::Digest ref = crypto::Hash(a, whole);
      crypto::AllowHashExtensions(true);
      EXPECT_EQ(crypto::Hash(a, whole), ref) << crypto::HashName(a) << " " << len;
      crypto::Hasher h(a);
      for (std::size_t at = 0, step = 1; at < len; at += step, step = step * 3 % 97 + 1)
        h.Update(whole.subspan(at, std::min(step, len - at)));
      EXPECT_EQ(h.Finish(), ref) << crypto::HashName(a) << " " << len;
    }
  }
}

}  // namespace
}  // namespace kestrova::dumper::testing
