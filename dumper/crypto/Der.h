#pragma once
// A reader for DER, the encoding of signatures and certificates. Everything it
// hands out is a view into the file; every length is checked against the
// element that holds it, nesting is capped, and the forms DER forbids
// (indefinite lengths, lengths longer than needed) are refused. The first
// fault stops the whole decode: one fault, with the offset where it was found,
// is what a reader of a damaged signature needs, not a cascade.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::der {

// Identifier octets for the tags we name (class and constructed bit included).
enum Tag : std::uint8_t {
  kBoolean = 0x01,
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kUtf8String = 0x0C,
  kPrintableString = 0x13,
  kT61String = 0x14,
  kIa5String = 0x16,
  kUtcTime = 0x17,
  kGeneralizedTime = 0x18,
  kUniversalString = 0x1C,
  kBmpString = 0x1E,
  kSequence = 0x30,
  kSet = 0x31,
};
// Context-specific [n], primitive or constructed.
constexpr std::uint8_t Ctx(int n) { return static_cast<std::uint8_t>(0x80 | n); }
constexpr std::uint8_t CtxCons(int n) { return static_cast<std::uint8_t>(0xA0 | n); }

// Deepest nesting followed. A certificate needs about ten levels; each nested
// signature adds about a dozen more, and a handful of those is plenty.
inline constexpr int kMaxDepth = 64;

enum class Fault : std::uint8_t {
  kNone,
  kCut,          // the data ends inside an element's header
  kPastParent,   // an element claims more bytes than its parent has left
  kIndefinite,   // 0x80: indefinite length, a BER form
  kOverlong,     // a length or tag number in a longer form than needed
  kHugeLength,   // more length octets than any real element needs
  kUnexpected,   // not the element the structure calls for
  kTooDeep,      // nested past kMaxDepth
  kBadValue,     // an element whose content breaks its type's rules
};

// What went wrong first, shared by every reader of one decode.
struct Status {
  Fault fault = Fault::kNone;
  std::uint64_t offset = 0;  // file offset of the element at fault
  std::string text;          // one line, for the listing
  lang::Lang lang = lang::Lang::En;  // the language `text` is said in
  bool ok() const { return fault == Fault::kNone; }
  void Fail(Fault f, std::uint64_t off, std::string t) {
    if (fault != Fault::kNone) return;
    fault = f;
    offset = off;
    text = std::move(t);
  }
};

struct Element {
  std::uint8_t id = 0;       // first identifier octet (0x1F marks a high tag number)
  std::uint32_t number = 0;  // the tag number, also for high ones
  std::uint64_t offset = 0;  // file offset of the identifier
  std::uint64_t headerSize = 0;
  io::Reader body;           // the content octets
  io::Reader whole;          // the element with its header (signed attributes are hashed so)
  bool Constructed() const { return (id & 0x20) != 0; }
  std::uint64_t End() const { return body.Base() + body.Size(); }  // file offset past it
};

// The elements inside one element (or a top-level blob), read one by one.
class Reader {
 public:
  // A top-level reader over `data`; `status` collects the first fault.
  Reader(const io::Reader& data, Status& status) : data_(data), status_(&status) {}

  bool ok() const { return status_->ok(); }
  bool AtEnd() const { return !ok() || pos_ >= data_.Size(); }

  // The next element, whatever it is.
  std::optional<Element> Next();
  // The next element, which must carry `tag`; `what` names it in the fault.
  std::optional<Element> Expect(std::uint8_t tag, lang::Msg what);
  // The next element when it carries `tag`; nothing (and no fault) otherwise.
  std::optional<Element> Optional(std::uint8_t tag);
  // The elements inside `e` (which must be constructed), one level deeper.
  Reader Enter(const Element& e) const;

  void Fail(Fault f, std::uint64_t off, std::string text) const { status_->Fail(f, off, std::move(text)); }
  // The language the faults are said in.
  lang::Lang Language() const { return status_->lang; }

 private:
  Reader(const io::Reader& data, Status& status, int depth) : data_(data), status_(&status), depth_(depth) {}
  std::optional<Element> Peek(std::uint64_t& next) const;

  io::Reader data_;
  Status* status_;
  int depth_ = 0;
  std::uint64_t pos_ = 0;
};

// "INTEGER", "SEQUENCE", "[0]" ...: a tag as a reader of a fault wants it.
std::string TagName(std::uint8_t id, lang::Lang l = lang::Lang::En);

// Values. Each checks its content and faults through `r` (at e's offset).
// Dotted decimal; nothing when the encoding is not minimal or an arc overflows.
std::optional<std::string> Oid(const Reader& r, const Element& e);
// A small non-negative INTEGER (versions).
std::optional<std::uint64_t> SmallInt(const Reader& r, const Element& e);
// An INTEGER's octets without a sign byte of zero (serial numbers, moduli).
io::Reader Unsigned(const Element& e);
// UTCTime or GeneralizedTime as "YYYY-MM-DD HH:MM:SS UTC".
std::optional<std::string> Time(const Reader& r, const Element& e);
// A directory string (UTF-8, printable, IA5, T61, BMP, universal) as UTF-8
// bytes; T61 is taken as Latin-1. The caller escapes what it prints.
std::optional<std::string> Text(const Reader& r, const Element& e);

}  // namespace kestrova::dumper::der
