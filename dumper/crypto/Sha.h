#pragma once
// The SHA family the signature part needs, in one portable implementation, so
// both builds list the same digests and the Windows tool links no crypto DLL.
// Hashing is what the signature part costs, so blocks are taken straight from
// the caller's bytes; a CPU with the SHA extensions gets them for SHA-1/256.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrova::dumper::crypto {

enum class HashAlg : std::uint8_t { kSha1, kSha256, kSha384, kSha512 };

inline constexpr std::size_t kMaxDigest = 64;

constexpr std::size_t DigestSize(HashAlg a) {
  switch (a) {
    case HashAlg::kSha1: return 20;
    case HashAlg::kSha256: return 32;
    case HashAlg::kSha384: return 48;
    case HashAlg::kSha512: return 64;
  }
  return 0;
}

std::string_view HashName(HashAlg a);

struct Digest {
  std::array<std::uint8_t, kMaxDigest> bytes{};
  std::size_t size = 0;
  std::span<const std::uint8_t> View() const { return {bytes.data(), size}; }
  friend bool operator==(const Digest& a, const Digest& b) { return a.View().size() == b.View().size() &&
      std::equal(a.View().begin(), a.View().end(), b.View().begin()); }
};

class Hasher {
 public:
  explicit Hasher(HashAlg alg);
  void Update(std::span<const std::uint8_t> data);
  // The digest; the hasher must not be updated afterwards.
  Digest Finish();

 private:
  void Blocks(const std::uint8_t* p, std::size_t n);  // n whole blocks
  std::size_t BlockSize() const { return wide_ ? 128 : 64; }

  HashAlg alg_;
  bool wide_;  // 64-bit words, 128-byte blocks (SHA-384/512)
  std::array<std::uint32_t, 8> s32_{};
  std::array<std::uint64_t, 8> s64_{};
  std::array<std::uint8_t, 128> buf_{};
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;  // bytes so far; 2^64 bytes is past any file
};

// Whether the CPU's SHA instructions may be used (default yes); tests turn them
// off to hold the portable code to the same results.
void AllowHashExtensions(bool allow);

// One call for a whole buffer.
Digest Hash(HashAlg alg, std::span<const std::uint8_t> data);

}  // namespace kestrova::dumper::crypto
