#include "dumper/crypto/Sha.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KESTROVA_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kestrova::dumper::crypto {
namespace {

constexpr std::uint32_t Rotr32(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
constexpr std::uint32_t Rotl32(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr std::uint64_t Rotr64(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint64_t Be64(const std::uint8_t* p) {
  return (std::uint64_t{Be32(p)} << 32) | Be32(p + 4);
}

constexpr std::uint32_t kK256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint64_t kK512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

void Sha1Portable(std::uint32_t* s, const std::uint8_t* p, std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = Be32(p + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = Rotl32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5a827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ed9eba1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8f1bbcdc;
      } else {
        f = b ^ c ^ d;
        k = 0xca62c1d6;
      }
      std::uint32_t t = Rotl32(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rotl32(b, 30);
      b = a;
      a = t;
    }
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
    s[4] += e;
  }
}

void Sha256Portable(std::uint32_t* s, const std::uint8_t* p, std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = Be32(p + 4 * i);
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 = Rotr32(w[i - 15], 7) ^ Rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 = Rotr32(w[i - 2], 17) ^ Rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t t1 = h + (Rotr32(e, 6) ^ Rotr32(e, 11) ^ Rotr32(e, 25)) + ((e & f) ^ (~e & g)) + kK256[i] + w[i];
      std::uint32_t t2 = (Rotr32(a, 2) ^ Rotr32(a, 13) ^ Rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
    s[4] += e;
    s[5] += f;
    s[6] += g;
    s[7] += h;
  }
}

void Sha512Blocks(std::uint64_t* s, const std::uint8_t* p, std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 128) {
    std::uint64_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = Be64(p + 8 * i);
    for (int i = 16; i < 80; ++i) {
      std::uint64_t s0 = Rotr64(w[i - 15], 1) ^ Rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7);
      std::uint64_t s1 = Rotr64(w[i - 2], 19) ^ Rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint64_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    for (int i = 0; i < 80; ++i) {
      std::uint64_t t1 = h + (Rotr64(e, 14) ^ Rotr64(e, 18) ^ Rotr64(e, 41)) + ((e & f) ^ (~e & g)) + kK512[i] + w[i];
      std::uint64_t t2 = (Rotr64(a, 28) ^ Rotr64(a, 34) ^ Rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
    s[4] += e;
    s[5] += f;
    s[6] += g;
    s[7] += h;
  }
}

#ifdef KESTROVA_SHA_X86
// The SHA extensions take the same blocks and give the same state, four rounds
// an instruction.
bool HaveShaExtensions() {
  static const bool have = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    bool sse41 = (c & (1u << 19)) != 0, ssse3 = (c & (1u << 9)) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return sse41 && ssse3 && (b & (1u << 29)) != 0;
  }();
  return have;
}

__attribute__((target("sha,sse4.1,ssse3"))) void Sha256Ext(std::uint32_t* s, const std::uint8_t* p,
                                                          std::size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));           // a b c d
  __m128i st1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));     // e f g h
  t = _mm_shuffle_epi32(t, 0xB1);
  st1 = _mm_shuffle_epi32(st1, 0x1B);
  __m128i st0 = _mm_alignr_epi8(t, st1, 8);  // the instructions want a b e f ...
  st1 = _mm_blend_epi16(st1, t, 0xF0);       // ... and c d g h
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i save0 = st0, save1 = st1;
    __m128i m[4];
    for (int g = 0; g < 16; ++g) {
      __m128i& cur = m[g & 3];
      if (g < 4) {
        cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), swap);
      } else {
        __m128i x = _mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]);
        x = _mm_add_epi32(x, _mm_alignr_epi8(m[(g + 3) & 3], m[(g + 2) & 3], 4));
        cur = _mm_sha256msg2_epu32(x, m[(g + 3) & 3]);
      }
      __m128i k = _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kK256 + 4 * g)));
      st1 = _mm_sha256rnds2_epu32(st1, st0, k);
      st0 = _mm_sha256rnds2_epu32(st0, st1, _mm_shuffle_epi32(k, 0x0E));
    }
    st0 = _mm_add_epi32(st0, save0);
    st1 = _mm_add_epi32(st1, save1);
  }
  t = _mm_shuffle_epi32(st0, 0x1B);
  st1 = _mm_shuffle_epi32(st1, 0xB1);
  st0 = _mm_blend_epi16(t, st1, 0xF0);
  st1 = _mm_alignr_epi8(st1, t, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(s), st0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(s + 4), st1);
}

template <int F>
__attribute__((target("sha,sse4.1,ssse3"))) inline void Sha1Group(__m128i* m, int g, __m128i& abcd, __m128i& e,
                                                                   __m128i& prev) {
  __m128i& cur = m[g & 3];
  if (g >= 4) {
    __m128i x = _mm_xor_si128(_mm_sha1msg1_epu32(m[g & 3], m[(g + 1) & 3]), m[(g + 2) & 3]);
    cur = _mm_sha1msg2_epu32(x, m[(g + 3) & 3]);
  }
  e = g == 0 ? _mm_add_epi32(e, cur) : _mm_sha1nexte_epu32(prev, cur);
  prev = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e, F);
}

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1Ext(std::uint32_t* s, const std::uint8_t* p,
                                                        std::size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(s[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i saveAbcd = abcd, saveE = e0;
    __m128i m[4];
    for (int i = 0; i < 4; ++i)
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), swap);
    __m128i e = e0, prev = abcd;
    for (int g = 0; g < 5; ++g) Sha1Group<0>(m, g, abcd, e, prev);
    for (int g = 5; g < 10; ++g) Sha1Group<1>(m, g, abcd, e, prev);
    for (int g = 10; g < 15; ++g) Sha1Group<2>(m, g, abcd, e, prev);
    for (int g = 15; g < 20; ++g) Sha1Group<3>(m, g, abcd, e, prev);
    e0 = _mm_sha1nexte_epu32(prev, saveE);
    abcd = _mm_add_epi32(abcd, saveAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(s), _mm_shuffle_epi32(abcd, 0x1B));
  s[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}
#endif

bool allowExtensions = true;

bool UseExtensions() {
#ifdef KESTROVA_SHA_X86
  return allowExtensions && HaveShaExtensions();
#else
  return false;
#endif
}

}  // namespace

void AllowHashExtensions(bool allow) { allowExtensions = allow; }

std::string_view HashName(HashAlg a) {
  switch (a) {
    case HashAlg::kSha1: return "SHA-1";
    case HashAlg::kSha256: return "SHA-256";
    case HashAlg::kSha384: return "SHA-384";
    case HashAlg::kSha512: return "SHA-512";
  }
  return "?";
}

Hasher::Hasher(HashAlg alg) : alg_(alg), wide_(alg == HashAlg::kSha384 || alg == HashAlg::kSha512) {
  switch (alg) {
    case HashAlg::kSha1:
      s32_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0, 0, 0, 0};
      break;
    case HashAlg::kSha256:
      s32_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
      break;
    case HashAlg::kSha384:
      s64_ = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
              0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
      break;
    case HashAlg::kSha512:
      s64_ = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
              0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
      break;
  }
}

void Hasher::Blocks(const std::uint8_t* p, std::size_t n) {
  if (n == 0) return;
  switch (alg_) {
    case HashAlg::kSha1:
#ifdef KESTROVA_SHA_X86
      if (UseExtensions()) return Sha1Ext(s32_.data(), p, n);
#endif
      return Sha1Portable(s32_.data(), p, n);
    case HashAlg::kSha256:
#ifdef KESTROVA_SHA_X86
      if (UseExtensions()) return Sha256Ext(s32_.data(), p, n);
#endif
      return Sha256Portable(s32_.data(), p, n);
    case HashAlg::kSha384:
    case HashAlg::kSha512:
      return Sha512Blocks(s64_.data(), p, n);
  }
}

void Hasher::Update(std::span<const std::uint8_t> data) {
  const std::size_t bs = BlockSize();
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  total_ += n;
  if (used_ > 0) {
    std::size_t take = bs - used_ < n ? bs - used_ : n;
    std::memcpy(buf_.data() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ < bs) return;
    Blocks(buf_.data(), 1);
    used_ = 0;
  }
  Blocks(p, n / bs);
  p += n / bs * bs;
  n %= bs;
  if (n > 0) std::memcpy(buf_.data(), p, n);
  used_ = n;
}

Digest Hasher::Finish() {
  const std::size_t bs = BlockSize();
  const std::size_t lenBytes = wide_ ? 16 : 8;
  const std::uint64_t bits = total_ * 8;
  std::array<std::uint8_t, 256> pad{};
  std::size_t padLen = bs - used_;
  if (padLen < 1 + lenBytes) padLen += bs;
  pad[0] = 0x80;
  for (std::size_t i = 0; i < 8; ++i) pad[padLen - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  // A 128-bit length's upper half holds just the three bits shifted out of `bits`.
  if (wide_) pad[padLen - 9] = static_cast<std::uint8_t>(total_ >> 61);
  Update({pad.data(), padLen});

  Digest d;
  d.size = DigestSize(alg_);
  if (wide_) {
    for (std::size_t i = 0; i < d.size; ++i) d.bytes[i] = static_cast<std::uint8_t>(s64_[i / 8] >> (56 - 8 * (i % 8)));
  } else {
    for (std::size_t i = 0; i < d.size; ++i) d.bytes[i] = static_cast<std::uint8_t>(s32_[i / 4] >> (24 - 8 * (i % 4)));
  }
  return d;
}

Digest Hash(HashAlg alg, std::span<const std::uint8_t> data) {
  Hasher h(alg);
  h.Update(data);
  return h.Finish();
}

}  // namespace kestrova::dumper::crypto
