// The listing: keys are not written, layout is.
#include "dumper/print/text/TextPrinter.h"

#include "dumper/io/Format.h"
#include "dumper/print/Encoding.h"

namespace kestrova::dumper::print {

namespace {

bool Plain(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// Controls that would reorder or hide what follows them on a screen.
bool Bidi(std::uint32_t cp) {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F ||
         cp == 0x061C || (cp >= 0x2028 && cp <= 0x2029) || cp == 0xFEFF || (cp >= 0x80 && cp <= 0x9F);
}

}  // namespace

void TextPrinter::Nl() {
  buf_.push_back('\n');
  if (buf_.size() >= kChunk) Flush();
  lineStart_ = buf_.size();
}

void TextPrinter::OpenPart(Key, std::string_view title) {
  Nl();
  Text("== ").Text(title).Text(" ==");
  Nl();
}

Printer& TextPrinter::Label(std::string_view label, Key) { return Text("  ").Text(label).Col(kValueCol); }

Printer& TextPrinter::Name(Key, std::string_view s) {
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

Printer& TextPrinter::Word(Key, std::string_view text, std::string_view) { return Text(text); }
Printer& TextPrinter::Real(Key, std::string_view text, std::string_view) { return Text(text); }

Printer& TextPrinter::Hex(Key, std::uint64_t v, int width) {
  char tmp[24];
  char* e = io::PutHex(tmp, v, width);
  buf_.append(tmp, static_cast<std::size_t>(e - tmp));
  return *this;
}

Printer& TextPrinter::Dec(Key, std::uint64_t v) {
  char tmp[24];
  char* e = io::PutDec(tmp, v);
  buf_.append(tmp, static_cast<std::size_t>(e - tmp));
  return *this;
}

Printer& TextPrinter::DecR(Key, std::uint64_t v, int width) {
  char tmp[24];
  char* e = io::PutDec(tmp, v);
  std::size_t n = static_cast<std::size_t>(e - tmp);
  if (n < static_cast<std::size_t>(width)) buf_.append(static_cast<std::size_t>(width) - n, ' ');
  buf_.append(tmp, n);
  return *this;
}

Printer& TextPrinter::Date(Key, std::uint32_t t) {
  const CivilTime c = Civil(t);
  auto two = [&](int v) {
    buf_.push_back(static_cast<char>('0' + v / 10));
    buf_.push_back(static_cast<char>('0' + v % 10));
  };
  Dec({}, static_cast<std::uint64_t>(c.year));
  Ch('-'); two(c.month); Ch('-'); two(c.day); Ch(' ');
  two(c.hour); Ch(':'); two(c.minute); Ch(':'); two(c.second);
  return Text(" UTC");
}

}  // namespace kestrova::dumper::print
