#pragma once
// What one file offers the programs built against it and the people who run
// it, taken from the parsers' records in a form that two files can be set
// against each other by: its exports with what a caller must know of each,
// its imports, the header facts a user asks about, a .NET assembly's public
// types and methods, an archive's members and symbols. What every rebuild
// changes (time stamps, checksums, debug GUIDs, addresses) is not taken.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/lang/Lang.h"

namespace kestrova::dumper::compare {

enum class Kind : std::uint8_t { Unknown, Pe, Archive, Object, Ne };

struct Export {
  std::uint64_t ordinal = 0;
  std::string name;      // empty: exported by ordinal only
  std::string forward;   // "DLL.Function": the loader goes there instead; empty for code or data here
  bool data = false;     // the address holds data: a caller must import it as DATA
  std::int32_t args = -1;  // i386 code: the bytes of arguments it pops; -1 when not known
};

struct Import {
  std::string dll;   // as the file names it
  std::string name;  // empty when by ordinal
  std::uint16_t ordinal = 0;
  bool byOrdinal = false;
};

// A value of a header fact: a name or number shown as it is, or a word of ours.
struct Value {
  std::string text;
  std::optional<lang::Msg> word;
  bool operator==(const Value& o) const { return word == o.word && (word || text == o.text); }
};

// A header fact: its key (also its name in JSON), its label and its value.
struct Fact {
  std::string_view key;
  std::optional<lang::Msg> label;  // a label of ours, or
  std::string_view name;           // a name of its own ("ASLR")
  Value value;
  bool breaks = false;             // a change of it breaks every caller
};

struct Snapshot {
  Kind kind = Kind::Unknown;
  std::vector<Export> exports;
  std::vector<Import> imports;
  std::vector<std::string> dlls;     // every DLL it needs (or delay-loads), as named
  std::vector<Fact> facts;
  std::vector<std::string> types, methods;   // a .NET assembly's public ones
  std::vector<std::string> members;          // an archive's members by name
  std::vector<std::string> symbols;          // an archive's index, an object's defined symbols
  std::vector<std::string> needs;            // an object's undefined symbols
};

// The snapshot of a file's bytes. Never throws on any input (only on memory
// running out); damage found on the way is not reported here: the listing does that.
Snapshot Take(std::span<const std::uint8_t> bytes);

}  // namespace kestrova::dumper::compare
