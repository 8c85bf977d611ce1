#include "dumper/print/Out.h"

#include "dumper/io/Format.h"

namespace kestrova::dumper::print {

namespace {
constexpr std::size_t kChunk = 64 * 1024;

bool Plain(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// Length of the valid UTF-8 sequence at s[i], or 0. Overlong forms,
// surrogates and values past U+10FFFF are not valid.
std::size_t Utf8Len(std::string_view s, std::size_t i, std::uint32_t& cp) {
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

bool Bidi(std::uint32_t cp) {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F ||
         cp == 0x061C || (cp >= 0x2028 && cp <= 0x2029) || cp == 0xFEFF || (cp >= 0x80 && cp <= 0x9F);
}
}  // namespace

Out::Out(Sink& sink, std::uint64_t budget) : sink_(sink), budget_(budget) { buf_.reserve(kChunk + 8192); }

Out::~Out() { Flush(); }

void Out::Flush() {
  if (buf_.empty()) return;
  if (closing_ || written_ <= budget_) {
    // The piece that crosses the budget is kept to its last whole line, so the
    // listing stops at a line's end.
    std::string_view piece = buf_;
    if (!closing_ && written_ + piece.size() > budget_) {
      // Less than the piece's size here, so it fits a size_t on every build.
      std::size_t keep = static_cast<std::size_t>(budget_ - written_);
      std::size_t nl = piece.rfind('\n', keep);
      piece = piece.substr(0, nl == std::string_view::npos ? 0 : nl + 1);
      written_ = budget_ + 1;  // nothing more until Close()
    } else {
      written_ += piece.size();
    }
    sink_.Write(piece);
  }
  buf_.clear();
  lineStart_ = 0;
}

void Out::Nl() {
  buf_.push_back('\n');
  if (buf_.size() >= kChunk) Flush();
  lineStart_ = buf_.size();
}

Out& Out::Name(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t run = i;
    while (run < s.size() && Plain(static_cast<unsigned char>(s[run]))) ++run;
    buf_.append(s.data() + i, run - i);
    i = run;
    if (i >= s.size()) break;
    std::uint32_t cp = 0;
    std::size_t n = Utf8Len(s, i, cp);
    if (n != 0 && !Bidi(cp)) {
      buf_.append(s.data() + i, n);
      i += n;
      continue;
    }
    char tmp[16];
    char* e;
    if (n != 0) {
      tmp[0] = '\\'; tmp[1] = 'u'; tmp[2] = '{';
      e = io::PutHex(tmp + 3, cp, 4);
      *e++ = '}';
      i += n;
    } else {
      tmp[0] = '\\'; tmp[1] = 'x';
      e = io::PutHex(tmp + 2, static_cast<unsigned char>(s[i]), 2);
      ++i;
    }
    buf_.append(tmp, static_cast<std::size_t>(e - tmp));
  }
  return *this;
}

Out& Out::Hex(std::uint64_t v, int width) {
  char tmp[24];
  char* e = io::PutHex(tmp, v, width);
  buf_.append(tmp, static_cast<std::size_t>(e - tmp));
  return *this;
}

Out& Out::Dec(std::uint64_t v) {
  char tmp[24];
  char* e = io::PutDec(tmp, v);
  buf_.append(tmp, static_cast<std::size_t>(e - tmp));
  return *this;
}

Out& Out::DecR(std::uint64_t v, int width) {
  char tmp[24];
  char* e = io::PutDec(tmp, v);
  std::size_t n = static_cast<std::size_t>(e - tmp);
  if (n < static_cast<std::size_t>(width)) buf_.append(static_cast<std::size_t>(width) - n, ' ');
  buf_.append(tmp, n);
  return *this;
}

Out& Out::Col(std::size_t c) {
  std::size_t at = buf_.size() - lineStart_;
  buf_.append(at < c ? c - at : 1, ' ');
  return *this;
}

Out& Out::Date(std::uint32_t t) {
  // Days to civil date (proleptic Gregorian), in 400-year eras.
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
  auto two = [&](std::int64_t v) {
    buf_.push_back(static_cast<char>('0' + v / 10));
    buf_.push_back(static_cast<char>('0' + v % 10));
  };
  Dec(static_cast<std::uint64_t>(y));
  Ch('-'); two(m); Ch('-'); two(d); Ch(' ');
  two(secs / 3600); Ch(':'); two(secs / 60 % 60); Ch(':'); two(secs % 60);
  return Text(" UTC");
}

}  // namespace kestrova::dumper::print
