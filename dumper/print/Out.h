#pragma once
// The listing writer: a bounded buffer in front of the Sink, with column
// padding and the escaping that keeps file-supplied names valid UTF-8.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "dumper/Dump.h"
#include "dumper/demangle/Demangle.h"

namespace kestrova::dumper::print {

class Out {
 public:
  // `budget`: listing bytes after which the item loops stop, so a small file
  // whose tables point at each other cannot produce gigabytes of text.
  Out(Sink& sink, std::uint64_t budget);
  ~Out();
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;

  Out& Text(std::string_view s) {
    buf_.append(s);
    return *this;
  }
  Out& Ch(char c) {
    buf_.push_back(c);
    return *this;
  }
  // Bytes taken from the file: printable ASCII and valid UTF-8 as they are,
  // anything else as \xNN (and bidirectional controls as \u{NNNN}).
  Out& Name(std::string_view bytes);
  // Upper-case hex, zero-padded to `width` digits.
  Out& Hex(std::uint64_t v, int width);
  Out& Dec(std::uint64_t v);
  // Decimal, right-aligned in `width` columns.
  Out& DecR(std::uint64_t v, int width);
  // Pads with blanks to column `c` of the current line (at least one blank).
  Out& Col(std::size_t c);
  // "2024-05-01 12:00:00 UTC" for a 32-bit time stamp.
  Out& Date(std::uint32_t t);
  void Nl();

  bool Exhausted() const { return written_ + buf_.size() > budget_; }
  // Past the budget nothing more reaches the sink, whether or not a printer's
  // loop asked Exhausted(): the bound holds for every part. The closing lines
  // (where the listing stops, the summary) are let through with Close().
  void Close() {
    Flush();
    closing_ = true;
  }
  void Flush();

  // Names shown with a readable form, by scheme, for the closing summary.
  std::array<std::uint64_t, static_cast<std::size_t>(demangle::Scheme::Count)> readable{};

 private:
  Sink& sink_;
  std::string buf_;
  std::size_t lineStart_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t budget_;
  bool closing_ = false;
};

}  // namespace kestrova::dumper::print
