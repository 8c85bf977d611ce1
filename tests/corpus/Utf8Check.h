#pragma once
// Streaming UTF-8 check for the listing. The program decodes the tool's output as UTF-8,
// so a name copied raw from a hostile file would turn into mojibake or be refused; the
// listing has to be well-formed whatever the input held. Chunks may split a character.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrova::testing {

class Utf8Checker {
 public:
  // Feeds one chunk; false once any ill-formed sequence has been seen.
  bool Feed(std::string_view chunk) {
    if (!ok_) return false;
    for (char ch : chunk) {
      const auto b = static_cast<std::uint8_t>(ch);
      if (b >= 0x80 || need_ != 0) {  // listings are mostly ASCII: keep that path short
        Step(b);
        if (!ok_) return false;  // offset_ stays on the offending byte
      }
      ++offset_;
    }
    return true;
  }
  // True when everything fed so far is well-formed and no character is left open.
  bool Complete() const { return ok_ && need_ == 0; }
  // Offset of the byte at which the check failed (or the total fed).
  std::size_t offset() const { return offset_; }

 private:
  void Step(std::uint8_t b) {
    if (need_ == 0) {
      if (b < 0x80) return;
      // Lead bytes and the range their first continuation byte may take (Unicode table 3-7),
      // which rules out overlong forms, surrogates and code points past U+10FFFF.
      lo_ = 0x80;
      hi_ = 0xBF;
      if (b >= 0xC2 && b <= 0xDF) {
        need_ = 1;
      } else if (b >= 0xE0 && b <= 0xEF) {
        need_ = 2;
        if (b == 0xE0) lo_ = 0xA0;
        if (b == 0xED) hi_ = 0x9F;
      } else if (b >= 0xF0 && b <= 0xF4) {
        need_ = 3;
        if (b == 0xF0) lo_ = 0x90;
        if (b == 0xF4) hi_ = 0x8F;
      } else {
        ok_ = false;
      }
      return;
    }
    if (b < lo_ || b > hi_) {
      ok_ = false;
      return;
    }
    lo_ = 0x80;
    hi_ = 0xBF;
    --need_;
  }

  bool ok_ = true;
  int need_ = 0;
  std::uint8_t lo_ = 0x80;
  std::uint8_t hi_ = 0xBF;
  std::size_t offset_ = 0;
};

inline bool IsValidUtf8(std::string_view text) {
  Utf8Checker c;
  return c.Feed(text) && c.Complete();
}

}  // namespace kestrova::testing
