#pragma once
// What every part's printer shares: titles, fields, flags, time stamps, byte
// dumps, GUIDs and field tables. Printers only format records; they never read the file.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"
#include "dumper/pe/Layout.h"
#include "dumper/print/Printer.h"
#include "dumper/lang/catalog/Common.h"

namespace kestrova::dumper::print {

// "1 DLL", "2 DLLs"; the number under `k`.
void Count(Printer& o, Key k, std::uint64_t n, std::string_view one, std::string_view many);
// The same from two catalog entries, each with the number as "{0}".
void Count(Printer& o, Key k, std::uint64_t n, lang::Msg one, lang::Msg many);

// Only the counts that are not zero, one after another: "2 DLLs missing, 1
// function missing", the first after `first`.
class NonZeroCounts {
 public:
  NonZeroCounts(Printer& o, std::string_view first) : o_(o), sep_(first) {}
  void Add(Key k, std::uint64_t n, lang::Msg one, lang::Msg many) {
    if (n == 0) return;
    if (any_) o_.Say(lang::M::ListSep);
    else o_.Text(sep_);
    any_ = true;
    Count(o_, k, n, one, many);
  }
  void Add(Key k, std::uint64_t n, std::string_view one, std::string_view many) {
    if (n == 0) return;
    o_.Text(any_ ? ", " : sep_);
    any_ = true;
    Count(o_, k, n, one, many);
  }

 private:
  Printer& o_;
  std::string_view sep_;
  bool any_ = false;
};

// "  Label<pad>" ready for the value, which JSON keys by `key`, or by the
// label's first word when `key` is empty.
inline Printer& Field(Printer& o, std::string_view label, Key key = {}) { return o.Label(label, key); }
inline Printer& Field(Printer& o, lang::Msg label, Key key = {}) { return o.Label(label, key); }
// The set bits of `value`, one per line under the field, unknown bits named as
// such; in JSON the list of names under `k`.
void FlagLines(Printer& o, Key k, std::uint64_t value, std::span<const pe::Named> table, int width);
// The set bits' names on the current line, the first after `first` and the
// others after a blank; returns the bits the table knows.
std::uint64_t FlagWords(Printer& o, Key k, std::uint64_t value, std::span<const pe::Named> table,
                        std::string_view first = " ");

enum class StampStyle : std::uint8_t {
  Header,  // 0 is "(not set)"; anything else is a date
  Table,   // 0 and 0xFFFFFFFF (the binder's "bound, see elsewhere") get no date
};
// A 32-bit time stamp under `k`: hex, then the UTC date.
void Stamp(Printer& o, Key k, std::uint32_t t, StampStyle style);

// The three fields that open several directories: Characteristics,
// TimeDateStamp and Version, one a line.
void DirectoryStamp(Printer& o, std::uint32_t characteristics, std::uint32_t stamp, std::uint16_t major,
                    std::uint16_t minor);
// "  in .text" when a section holds `rva`, its name under `k`; nothing otherwise.
void InSection(Printer& o, const pe::Context& ctx, std::uint64_t rva, Key k = "section");
// Up to `max` bytes as "4D 5A 90 00  |MZ..|" (hex, then printable ASCII); in
// JSON a string of hex digits under `k`.
void HexBytes(Printer& o, Key k, std::span<const std::uint8_t> bytes, std::size_t max);
// A 16-byte GUID in its registry form, {00000000-0000-0000-0000-000000000000}.
void Guid(Printer& o, Key k, std::span<const std::uint8_t> bytes);

// Prints the fields of a structure read through its field table, one a line:
// those the structure holds, "(past the end of the file)" where the file stops
// first. `special` prints the value of FieldKind::Special fields (index, value).
using FieldHook = std::function<void(Printer&, std::size_t, std::uint64_t)>;
void PrintFields(Printer& o, const pe::FieldBlock& b, const pe::Context& ctx, const FieldHook& special = {});

// After a name from the file: "  = " and its readable form, when it is a
// mangled C++ name and the listing shows them (counted in o.readable).
void Readable(Printer& o, std::string_view name, const pe::Context& ctx);

// The problems of one part, one line each.
void AreaAnomalies(Printer& o, const pe::Anomalies& an, pe::Area area);
// " (file offset 0x..)" / " (RVA 0x..)".
void Where(Printer& o, const pe::Anomaly& a);

// The start of the listing: banner, file name, size and kind. `otherKind`
// names a file that is not a PE image but a kind the tool reads (an archive,
// an object, an NE module), in the listing's words and JSON's; empty otherwise.
void PrintIntro(Printer& o, std::string_view displayName, const pe::Headers& h, std::string_view otherKind = {},
                std::string_view otherKindJson = {});
// The closing summary: how many names were shown readable by each scheme
// (when any were), then every problem found, by part.
void PrintSummary(Printer& o, const pe::Anomalies& an);
void PrintReadableTally(Printer& o);
// The parts' keys in JSON, by area ("File" first).
Key AreaKey(pe::Area area);

// The section name for display: the long name when resolved, else the field.
std::string_view SectionName(const pe::Section& s);

}  // namespace kestrova::dumper::print
