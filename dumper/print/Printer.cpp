#include "dumper/print/Printer.h"

#include <algorithm>

namespace kestrova::dumper::print {

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
    if (layout_) lines_ += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
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
