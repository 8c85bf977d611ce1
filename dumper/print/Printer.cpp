#include "dumper/print/Printer.h"

#include <algorithm>
#include <cstring>

namespace kestrova::dumper::print {

namespace {

// Line ends in `s`, eight bytes at a time: a listing is megabytes of short
// lines, and a byte-at-a-time count was a tenth of its time.
std::uint64_t CountLineEnds(std::string_view s) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kLow7 = 0x7F7F7F7F7F7F7F7Fu;
  std::uint64_t total = 0;
  std::size_t i = 0;
  while (i + 8 <= s.size()) {
    // Up to 255 words add into one byte per lane before the lanes are summed.
    std::uint64_t lanes = 0;
    for (int k = 0; k < 255 && i + 8 <= s.size(); ++k, i += 8) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      const std::uint64_t x = w ^ (kOnes * '\n');  // a line end becomes a zero byte
      lanes += (~(((x & kLow7) + kLow7) | x) >> 7) & kOnes;
    }
    const std::uint64_t pairs = (lanes & 0x00FF00FF00FF00FFu) + ((lanes >> 8) & 0x00FF00FF00FF00FFu);
    total += (pairs * 0x0001000100010001u) >> 48;  // four sums below 2^16
  }
  for (; i < s.size(); ++i) total += s[i] == '\n' ? 1u : 0u;
  return total;
}

}  // namespace

Printer::Printer(io::Sink& sink, std::uint64_t budget, bool layout, lang::Lang lang)
    : home_(sink), sink_(&sink), limit_(budget), layout_(layout), lang_(lang), wide_(lang != lang::Lang::En) {
  buf_.reserve(kChunk + 8192);
}

void Printer::Flush() {
  if (buf_.empty()) return;
  if (!dropping_) {
    std::string_view piece = buf_;
    if (layout_ && !passAll_ && written_ + piece.size() > limit_) {
      // The listing's piece that crosses the allowance is kept to its last
      // whole line, so a cut part stops at a line's end. JSON checks before
      // each value, so its pieces never cross.
      std::size_t keep = static_cast<std::size_t>(limit_ - written_);  // below the piece's size
      std::size_t nl = piece.rfind('\n', keep);
      piece = piece.substr(0, nl == std::string_view::npos ? 0 : nl + 1);
      dropping_ = true;
    }
    written_ += piece.size();
    if (layout_) lines_ += CountLineEnds(piece);
    sink_->Write(piece);
  }
  buf_.clear();
  lineStart_ = 0;
}

void Printer::BeginPart(Key id, std::string_view title, std::uint64_t allowance) {
  Flush();
  OpenPart(id, title);
  Flush();
  limit_ = written_ + allowance;
  dropping_ = cut_ = false;
  passAll_ = false;
}

bool Printer::EndBody() {
  // A part cut inside a line's buffer is cut at the flush; one whose loops
  // stopped on Exhausted() has buffered past its allowance.
  const bool over = Exhausted();
  Flush();
  const bool cut = over || dropping_ || cut_;
  dropping_ = cut_ = false;
  passAll_ = true;
  return cut;
}

void Printer::EndPart() { ClosePart(); }

void Printer::BeginClosing() {
  Flush();
  dropping_ = cut_ = false;
  passAll_ = true;
}

}  // namespace kestrova::dumper::print
