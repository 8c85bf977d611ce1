#pragma once
// The fuzzers' sink: it keeps no copy of the listing, so a run measures the tool and not
// string growth, and it checks what every listing must be: valid UTF-8, and as JSON whole.
#include <cstddef>
#include <string_view>

#include "dumper/Dump.h"
#include "tests/corpus/Utf8Check.h"

namespace kestrova::testing {

class CheckingSink final : public kestrova::dumper::Sink {
 public:
  void Write(std::string_view text) override {
    bytes_ += text.size();
    utf8_.Feed(text);
    for (char c : text) Json(c);
  }
  std::size_t bytes() const { return bytes_; }
  const kestrova::testing::Utf8Checker& utf8() const { return utf8_; }
  // The JSON's brackets balance, strings close, and it ends with its one line break.
  bool WholeJson() const { return depth_ == 0 && !broken_ && !inString_ && lines_ == 1 && last_ == '\n'; }

 private:
  void Json(char c) {
    last_ = c;
    if (inString_) {
      if (escaped_) escaped_ = false;
      else if (c == '\\') escaped_ = true;
      else if (c == '"') inString_ = false;
      else if (static_cast<unsigned char>(c) < 0x20) broken_ = true;
      return;
    }
    if (c == '"') inString_ = true;
    else if (c == '{' || c == '[') ++depth_;
    else if (c == '}' || c == ']') broken_ |= depth_-- <= 0;
    else if (c == '\n') ++lines_;
  }
  std::size_t bytes_ = 0;
  kestrova::testing::Utf8Checker utf8_;
  long depth_ = 0;
  int lines_ = 0;
  bool inString_ = false, escaped_ = false, broken_ = false;
  char last_ = 0;
};

}  // namespace kestrova::testing
