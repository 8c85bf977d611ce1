#pragma once
// The one interface a part's printer describes its records to. A printer says
// what each value is (its key and its kind) and how the listing lays it out
// (words, columns, line ends); the text backend writes the listing and ignores
// the keys, the JSON backend writes keys and values and ignores the layout.
// So a part is written once and shows in both forms, and a printer never asks
// which form it is writing.
//
// Both backends share the bounded buffer in front of the Sink: the listing as a
// whole has a budget, and each part is given its own allowance of it (see
// BeginPart), so that a part that outgrows its share is cut where it stands and
// the parts after it still show.
#include <array>
#include <cstdint>
#include <type_traits>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/demangle/Demangle.h"
#include "dumper/io/Sink.h"
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::print {

// A value's name in the JSON form. Empty: the value takes the key of the
// pending field label (Label), and is layout only when there is none.
using Key = std::string_view;
// The key of a value that is layout only, whatever label is pending: a count
// the rows already give, a number inside a sentence.
inline constexpr Key kNoKey{"\x01", 1};

// The listing's column where field values start.
inline constexpr std::size_t kValueCol = 36;

class Printer {
 public:
  virtual ~Printer() = default;
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // Layout: the listing's own words, columns and line ends. The JSON form has none.
  Printer& Text(std::string_view s) {
    if (layout_) buf_.append(s);
    return *this;
  }
  Printer& Ch(char c) {
    if (layout_) buf_.push_back(c);
    return *this;
  }
  // Pads with blanks to column `c` of the current line (at least one blank).
  // A translated listing counts columns as a monospace font shows them, where
  // a CJK character takes two.
  Printer& Col(std::size_t c) {
    if (layout_) {
      std::size_t at = wide_ ? lang::DisplayWidth(std::string_view(buf_).substr(lineStart_)) : buf_.size() - lineStart_;
      buf_.append(at < c ? c - at : 1, ' ');
    }
    return *this;
  }
  // Words of our own, from the catalog, in the listing's language (layout only).
  Printer& Say(lang::Msg m, std::initializer_list<lang::Arg> args = {}) {
    if (layout_) lang::Append(buf_, m, lang_, args);
    return *this;
  }
  // The entry's text in the listing's language.
  std::string_view L(lang::Msg m) const { return lang::Text(m, lang_); }
  lang::Lang Language() const { return lang_; }
  virtual void Nl() = 0;

  // A field's label: "  Label<pad>" in the listing; in JSON the key of the next
  // unkeyed value on the line.
  virtual Printer& Label(std::string_view label, Key key) = 0;
  // A label of our own words; JSON keys it by `key`, or by the first word of
  // its English text.
  Printer& Label(lang::Msg label, Key key) {
    if (key.empty()) {
      const std::string_view en = lang::Text(label, lang::Lang::En);
      key = en.substr(0, en.find(' '));
    }
    return Label(L(label), key);
  }

  // Values, each under its key. Upper-case hex zero-padded to `width` digits;
  // decimal; decimal right-aligned in `width` columns.
  virtual Printer& Hex(Key k, std::uint64_t v, int width) = 0;
  virtual Printer& Dec(Key k, std::uint64_t v) = 0;
  virtual Printer& DecR(Key k, std::uint64_t v, int width) = 0;
  // Bytes taken from the file: kept valid UTF-8 in both forms (docs/json.md says how).
  virtual Printer& Name(Key k, std::string_view bytes) = 0;
  // Words of our own (a kind, a verdict): `text` in the listing, `json` in JSON.
  virtual Printer& Word(Key k, std::string_view text, std::string_view json) = 0;
  // A measure with a fraction: `text` in the listing, `number` (a JSON number
  // literal, or empty for null) in JSON.
  virtual Printer& Real(Key k, std::string_view text, std::string_view number) = 0;
  // "2024-05-01 12:00:00 UTC" for a 32-bit time stamp; JSON: "2024-05-01T12:00:00Z".
  virtual Printer& Date(Key k, std::uint32_t t) = 0;
  // Facts the listing says in its words or its layout, and JSON says as values.
  virtual Printer& Fact(Key k, bool v) = 0;
  virtual Printer& Fact(Key k, std::uint64_t v) = 0;
  // Any other count (a size_t is 32 bits on 32-bit Windows): a number, never a yes/no.
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, std::uint64_t>, int> = 0>
  Printer& Fact(Key k, T v) {
    return Fact(k, static_cast<std::uint64_t>(v));
  }
  virtual Printer& FactName(Key k, std::string_view bytes) = 0;

  Printer& Hex(std::uint64_t v, int width) { return Hex({}, v, width); }
  Printer& Dec(std::uint64_t v) { return Dec({}, v); }
  Printer& DecR(std::uint64_t v, int width) { return DecR({}, v, width); }
  Printer& Name(std::string_view bytes) { return Name({}, bytes); }
  Printer& Word(Key k, std::string_view words) { return Word(k, words, words); }
  // A word of the catalog: the listing's language in the listing, English in JSON.
  Printer& Word(Key k, lang::Msg m) { return Word(k, L(m), lang::Text(m, lang::Lang::En)); }
  Printer& Word(Key k, lang::Msg m, std::string_view json) { return Word(k, L(m), json); }
  Printer& Date(std::uint32_t t) { return Date({}, t); }

  // Structure. An object or a list under key `k` of the enclosing object; in a
  // list, `k` is not used. Close ends the innermost one. The listing has no
  // structure beyond its lines.
  virtual void Open(Key k) = 0;
  virtual void OpenList(Key k) = 0;
  virtual void Close() = 0;

  // The whole document and each part of it: the driver's calls.
  virtual void BeginDocument() = 0;
  virtual void EndDocument() = 0;
  // A part titled `title`, under `id` in JSON, that may write `allowance` bytes
  // before it is cut.
  void BeginPart(Key id, std::string_view title, std::uint64_t allowance);
  // Ends the part's body: true when it was cut. Its own warnings follow, always
  // shown, then EndPart.
  bool EndBody();
  void EndPart();
  // The closing lines (the summary) are always shown.
  void BeginClosing();

  // Sends what follows to `to` instead of the document's sink (null: back to
  // it), so that a part made last can still be shown first.
  void Divert(io::Sink* to) {
    Flush();
    sink_ = to != nullptr ? to : &home_;
  }
  // In JSON, whether the current object already holds a member: a part shown
  // before the diverted ones is written as the first, and they follow it.
  virtual void Members(bool any) = 0;
  // The document's own sink, for what a caller held back and now adds after
  // a Divert(nullptr), which has written out everything before it.
  io::Sink& Home() { return home_; }
  // Lines written to the sinks so far.
  std::uint64_t Lines() const { return lines_; }

  // The printers' loops stop when the part's allowance is spent.
  bool Exhausted() const { return !passAll_ && (dropping_ || cut_ || written_ + buf_.size() > limit_); }
  std::uint64_t Written() const { return written_ + buf_.size(); }
  void Flush();

  // Names shown with a readable form, by scheme, for the closing summary.
  std::array<std::uint64_t, static_cast<std::size_t>(demangle::Scheme::Count)> readable{};

 protected:
  Printer(io::Sink& sink, std::uint64_t budget, bool layout, lang::Lang lang = lang::Lang::En);
  virtual void OpenPart(Key id, std::string_view title) = 0;
  virtual void ClosePart() = 0;

  static constexpr std::size_t kChunk = 64 * 1024;

  io::Sink& home_;
  io::Sink* sink_;
  std::string buf_;
  std::uint64_t lines_ = 0;
  std::size_t lineStart_ = 0;
  std::uint64_t written_ = 0;  // bytes handed to the sink
  std::uint64_t limit_;        // where the current part must stop
  bool dropping_ = false;      // the listing's part was cut: its lines go nowhere
  bool cut_ = false;           // the JSON part was cut: values are no longer written
  bool passAll_ = true;        // the intro, a part's warnings, the summary
  const bool layout_;          // the backend keeps the listing's layout
  const lang::Lang lang_;      // the listing's language; JSON's is English
  const bool wide_;            // columns by display width (a translated listing)
};

// An object or list scope that closes itself, so an early return keeps the JSON whole.
class Scoped {
 public:
  enum Kind : std::uint8_t { kObject, kList };
  Scoped(Printer& o, Kind kind, Key k) : o_(o) {
    if (kind == kObject) o.Open(k);
    else o.OpenList(k);
  }
  ~Scoped() { o_.Close(); }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

 private:
  Printer& o_;
};

}  // namespace kestrova::dumper::print
