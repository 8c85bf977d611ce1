// The listing: keys are not written, layout is.
#include "dumper/print/text/TextPrinter.h"

#include <algorithm>
#include <string>
#include <vector>

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

// Whether a line may break before `cp` (after `prev`): at a blank, or between
// two CJK characters, but not before closing punctuation or after opening.
bool BreakBefore(std::uint32_t prev, std::uint32_t cp) {
  static constexpr std::u32string_view kNoStart = U"\uFF0C\u3002\u3001\uFF1B\uFF1A\uFF09\u300B\u300D\u300F\uFF01\uFF1F\u201D)]},.;:";
  static constexpr std::u32string_view kNoEnd = U"\uFF08\u300A\u300C\u300E\u201C([{";
  if (kNoStart.find(cp) != std::u32string_view::npos || kNoEnd.find(prev) != std::u32string_view::npos) return false;
  if (prev == ' ') return cp != ' ';
  return lang::CodePointWidth(cp) == 2 || lang::CodePointWidth(prev) == 2;
}

}  // namespace

// A line wider than the reader's window goes on under the value column (or a
// little in from its own indent), broken where words or CJK characters meet,
// so that it never wraps back to the left edge and the line count the summary
// gives stays the reader's.
void TextPrinter::Wrap() {
  const std::string_view line(buf_.data() + lineStart_, buf_.size() - lineStart_);
  // A line's display width is never more than its bytes.
  if (line.size() <= wrap_ || lang::DisplayWidth(line) <= wrap_) return;
  std::size_t lead = 0;
  while (lead < line.size() && line[lead] == ' ') ++lead;
  const std::size_t indent = wrap_ >= kValueCol + 24 ? kValueCol : std::min(lead + 2, wrap_ / 3);
  struct Cp {
    std::size_t at, len;
    std::uint32_t cp;
    int width;
  };
  std::vector<Cp> cps;
  cps.reserve(line.size());
  for (std::size_t i = 0; i < line.size();) {
    std::uint32_t cp = static_cast<unsigned char>(line[i]);
    std::size_t n = cp < 0x80 ? 1 : Utf8Len(line, i, cp);
    if (n == 0) n = 1;
    cps.push_back({i, n, cp, n == 1 ? 1 : lang::CodePointWidth(cp)});
    i += n;
  }
  std::string out;
  out.reserve(line.size() + line.size() / 8 + indent * 4);
  std::size_t i = 0, col = 0;
  std::size_t start = 0;  // the first code point of the piece being laid out
  std::size_t floor = std::max(lead, indent);  // no break at or before this column (a label, an indent)
  while (i < cps.size()) {
    // Lay out a piece: as many code points as fit in the width.
    std::size_t j = start, c = col, breakAt = 0;
    for (; j < cps.size() && c + static_cast<std::size_t>(cps[j].width) <= wrap_; ++j) {
      if (j > start && c > floor && BreakBefore(cps[j - 1].cp, cps[j].cp)) breakAt = j;
      c += static_cast<std::size_t>(cps[j].width);
    }
    if (j >= cps.size()) {
      out.append(line.substr(cps[start].at));
      break;
    }
    std::size_t end = breakAt != 0 ? breakAt : (j > start ? j : start + 1);
    std::size_t stop = end;
    while (stop > start && cps[stop - 1].cp == ' ') --stop;  // no trailing blanks
    out.append(line.substr(cps[start].at, stop > start ? cps[stop - 1].at + cps[stop - 1].len - cps[start].at : 0));
    out.push_back('\n');
    out.append(indent, ' ');
    while (end < cps.size() && cps[end].cp == ' ') ++end;
    start = end;
    col = indent;
    floor = indent;
    i = end;
  }
  buf_.resize(lineStart_);
  buf_.append(out);
}

void TextPrinter::Nl() {
  if (wrap_ != 0) Wrap();
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
