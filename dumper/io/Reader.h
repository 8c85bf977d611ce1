#pragma once
// The one way file bytes are read: every access is checked against the view's
// bounds and reports failure as a value. Nothing else in the tool touches the
// raw bytes, so a hostile offset can only ever produce "not there".
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrova::dumper::io {

// a + b, or nothing when it would wrap.
constexpr std::optional<std::uint64_t> CheckedAdd(std::uint64_t a, std::uint64_t b) {
  if (a > UINT64_MAX - b) return std::nullopt;
  return a + b;
}

// a * b, or nothing when it would wrap.
constexpr std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// Whether [off, off + len) lies inside [0, size), without overflow.
constexpr bool Fits(std::uint64_t off, std::uint64_t len, std::uint64_t size) {
  return off <= size && len <= size - off;
}

// The two bulk reads of file data outside the Reader's single-value
// accessors, for the whole-file pass: the checksum's sum and the entropy's
// byte counts.

// The 8 bytes at `p` as one word, in the machine's order.
inline std::uint64_t Word64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The sum of the bytes taken as little-endian 32-bit words (a short tail as
// a partial word), for whole-file checksums.
inline std::uint64_t SumLe32(std::span<const std::uint8_t> b) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  const std::size_t n = b.size();
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w = Word64(b.data() + i);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    sum += (w & 0xFFFFFFFFu) + (w >> 32);
  }
  for (; i < n; ++i) sum += static_cast<std::uint64_t>(b[i]) << (8 * (i % 4));
  return sum;
}

// Adds the count of each byte value in `b` (at most 2^32 / 8 words, so the
// 32-bit counts hold) to `hist[256]`.
// Eight tables side by side, filled from 8-byte words, so that a run of one
// byte value (zero fill) does not wait on a single counter.
inline void CountBytes(std::span<const std::uint8_t> b, std::uint64_t* hist) {
  std::uint32_t c[8][256] = {};
  std::uint64_t zeroWords = 0;
  std::size_t i = 0;
  const std::size_t n = b.size();
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t w = Word64(b.data() + i);
    if (w == 0) {  // zero fill, common in images, counted without the tables
      ++zeroWords;
      continue;
    }
    ++c[0][w & 0xFF];
    ++c[1][(w >> 8) & 0xFF];
    ++c[2][(w >> 16) & 0xFF];
    ++c[3][(w >> 24) & 0xFF];
    ++c[4][(w >> 32) & 0xFF];
    ++c[5][(w >> 40) & 0xFF];
    ++c[6][(w >> 48) & 0xFF];
    ++c[7][w >> 56];
  }
  for (; i < n; ++i) ++c[0][b[i]];
  hist[0] += 8 * zeroWords;
  for (std::size_t k = 0; k < 256; ++k) {
    std::uint64_t t = 0;
    for (const auto& table : c) t += table[k];
    hist[k] += t;
  }
}

// A NUL-terminated string as found: the bytes before the NUL (or before the
// limit / end of data), and whether the NUL was actually seen.
struct CString {
  std::string_view text;
  bool terminated = false;
};

// A view of file bytes, optionally followed by zeros: the loader fills the
// part of a section past its raw data (and a header cut short by the end of
// the file) with zeros, so a table that ends there is terminated, not broken.
class Reader {
 public:
  Reader() = default;
  // `base` is the file offset of bytes[0], kept so messages can name real offsets;
  // `zeros` bytes of zero fill follow the file bytes.
  explicit Reader(std::span<const std::uint8_t> bytes, std::uint64_t base = 0, std::uint64_t zeros = 0)
      : bytes_(bytes), base_(base), zeros_(zeros) {}

  std::uint64_t Size() const { return bytes_.size() + zeros_; }
  std::uint64_t Base() const { return base_; }
  bool Has(std::uint64_t off, std::uint64_t len) const { return Fits(off, len, Size()); }

  std::optional<std::uint8_t> U8(std::uint64_t off) const {
    if (!Has(off, 1)) return std::nullopt;
    return off < bytes_.size() ? bytes_[static_cast<std::size_t>(off)] : std::uint8_t{0};
  }
  std::optional<std::uint16_t> U16(std::uint64_t off) const { return Le<std::uint16_t>(off); }
  std::optional<std::uint32_t> U32(std::uint64_t off) const { return Le<std::uint32_t>(off); }
  std::optional<std::uint64_t> U64(std::uint64_t off) const { return Le<std::uint64_t>(off); }

  // The bytes [off, off + len), or nothing when they are not all there.
  std::optional<Reader> Sub(std::uint64_t off, std::uint64_t len) const {
    if (!Has(off, len)) return std::nullopt;
    return Slice(off, len);
  }
  // Everything from `off` on; empty past the end.
  Reader From(std::uint64_t off) const {
    if (off >= Size()) return Reader({}, base_ + off);
    return Slice(off, Size() - off);
  }

  // A NUL-terminated string starting at `off`, at most `max` bytes long. The
  // zero fill, when the string runs into it, is its terminator.
  CString String(std::uint64_t off, std::size_t max) const {
    if (off >= Size()) return {};
    if (off >= bytes_.size()) return {{}, max > 0};
    std::size_t start = static_cast<std::size_t>(off);
    std::size_t avail = bytes_.size() - start;
    std::size_t limit = avail < max ? avail : max;
    const std::uint8_t* p = bytes_.data() + start;
    if (const void* z = std::memchr(p, 0, limit))
      return {View(start, static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - p)), true};
    return {View(start, limit), limit < max && zeros_ > 0};
  }

  // A fixed-width text field (section names): cut at the first NUL.
  std::string_view Fixed(std::uint64_t off, std::size_t len) const {
    if (!Has(off, len) || off >= bytes_.size()) return {};
    std::size_t start = static_cast<std::size_t>(off);
    std::size_t n = 0;
    while (n < len && start + n < bytes_.size() && bytes_[start + n] != 0) ++n;
    return View(start, n);
  }

  // The file bytes of the view, without the zero fill.
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  std::uint64_t Zeros() const { return zeros_; }

 private:
  Reader Slice(std::uint64_t off, std::uint64_t len) const {
    std::size_t real = off < bytes_.size() ? static_cast<std::size_t>(std::min<std::uint64_t>(len, bytes_.size() - off)) : 0;
    std::span<const std::uint8_t> part = real != 0 ? bytes_.subspan(static_cast<std::size_t>(off), real)
                                                   : std::span<const std::uint8_t>{};
    return Reader(part, base_ + off, len - real);
  }
  template <class T>
  std::optional<T> Le(std::uint64_t off) const {
    if (!Has(off, sizeof(T))) return std::nullopt;
    T v = 0;
    if (off + sizeof(T) <= bytes_.size()) {
      const std::uint8_t* p = bytes_.data() + off;
      for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(p[i]) << (8 * i)));
      return v;
    }
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      std::uint64_t at = off + i;
      if (at < bytes_.size()) v = static_cast<T>(v | (static_cast<T>(bytes_[static_cast<std::size_t>(at)]) << (8 * i)));
    }
    return v;
  }
  std::string_view View(std::size_t start, std::size_t n) const {
    return {reinterpret_cast<const char*>(bytes_.data() + start), n};
  }

  std::span<const std::uint8_t> bytes_;
  std::uint64_t base_ = 0;
  std::uint64_t zeros_ = 0;
};

// Reads a fixed-layout structure field by field from a position. A field that
// is not there reads as 0 and clears ok(), so a parser can fill a whole record
// and then ask once whether it was complete.
class Cursor {
 public:
  Cursor(const Reader& r, std::uint64_t off) : r_(r), off_(off) {}
  std::uint8_t U8() { return Take<std::uint8_t>(r_.U8(off_), 1); }
  std::uint16_t U16() { return Take<std::uint16_t>(r_.U16(off_), 2); }
  std::uint32_t U32() { return Take<std::uint32_t>(r_.U32(off_), 4); }
  std::uint64_t U64() { return Take<std::uint64_t>(r_.U64(off_), 8); }
  void Skip(std::uint64_t n) { off_ = CheckedAdd(off_, n).value_or(UINT64_MAX); }
  bool ok() const { return ok_; }
  std::uint64_t Offset() const { return off_; }

 private:
  template <class T>
  T Take(std::optional<T> v, std::uint64_t n) {
    Skip(n);
    if (!v) {
      ok_ = false;
      return 0;
    }
    return *v;
  }
  const Reader& r_;
  std::uint64_t off_;
  bool ok_ = true;
};

}  // namespace kestrova::dumper::io
