#pragma once
// Number formatting by hand: the listing of a big DLL is millions of numbers,
// and this keeps it off the locale machinery.
#include <cstdint>
#include <string>

namespace kestrova::dumper::io {

// Upper-case hex, zero-padded to at least `width` digits. Returns the end.
inline char* PutHex(char* p, std::uint64_t v, int width) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char tmp[16];
  int n = 0;
  do {
    tmp[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n < width && n < 16) tmp[n++] = '0';
  while (n > 0) *p++ = tmp[--n];
  return p;
}

// Decimal. Returns the end.
inline char* PutDec(char* p, std::uint64_t v) {
  char tmp[20];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) *p++ = tmp[--n];
  return p;
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
