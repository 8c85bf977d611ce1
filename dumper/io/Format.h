#pragma once
// Number formatting by hand: the listing of a big DLL is millions of numbers,
// and this keeps it off the locale machinery.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestrova::dumper::io {

// Upper-case hex, zero-padded to at least `width` digits (at most 16). Returns the end.
inline char* PutHex(char* p, std::uint64_t v, int width) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  int n = v == 0 ? 1 : (67 - std::countl_zero(v)) / 4;  // the digits the value needs
  if (n < width) n = width < 16 ? width : 16;
  for (int i = n - 1; i >= 0; --i) {
    p[i] = kDigits[v & 0xF];
    v >>= 4;
  }
  return p + n;
}

// Decimal, two digits a step. Returns the end.
inline char* PutDec(char* p, std::uint64_t v) {
  static constexpr auto kPairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
      t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
      t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return t;
  }();
  char tmp[20];
  char* e = tmp + sizeof tmp;
  while (v >= 100) {
    const std::uint64_t r = v % 100;
    v /= 100;
    e -= 2;
    std::memcpy(e, kPairs.data() + 2 * r, 2);
  }
  if (v >= 10) {
    e -= 2;
    std::memcpy(e, kPairs.data() + 2 * v, 2);
  } else {
    *--e = static_cast<char>('0' + v);
  }
  const std::size_t n = static_cast<std::size_t>(tmp + sizeof tmp - e);
  std::memcpy(p, e, n);
  return p + n;
}

// "0x" + hex, for messages.
inline std::string Hex(std::uint64_t v, int width = 0) {
  char buf[24] = {'0', 'x'};
  char* e = PutHex(buf + 2, v, width);
  return std::string(buf, static_cast<std::size_t>(e - buf));
}

inline std::string Dec(std::uint64_t v) {
  char buf[24];
  char* e = PutDec(buf, v);
  return std::string(buf, static_cast<std::size_t>(e - buf));
}

}  // namespace kestrova::dumper::io
