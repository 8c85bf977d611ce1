#pragma once
// What both forms of the listing need to write bytes from the file and time
// stamps: which bytes are valid UTF-8, and the civil date of a time stamp.
#include <cstdint>
#include <string_view>

namespace kestrova::dumper::print {

// Length of the valid UTF-8 sequence at s[i] (a lead byte of 0x80 or more),
// or 0. Overlong forms, surrogates and values past U+10FFFF are not valid.
inline std::size_t Utf8Len(std::string_view s, std::size_t i, std::uint32_t& cp) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1Fu; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0Fu; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07u; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3Fu);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

struct CivilTime {
  std::int64_t year;
  int month, day, hour, minute, second;
};

// Days to civil date (proleptic Gregorian), in 400-year eras.
inline CivilTime Civil(std::uint32_t t) {
  std::int64_t days = t / 86400;
  std::uint32_t secs = t % 86400;
  std::int64_t z = days + 719468;
  std::int64_t era = z / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  return {y, static_cast<int>(m), static_cast<int>(d), static_cast<int>(secs / 3600),
          static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60)};
}

}  // namespace kestrova::dumper::print
