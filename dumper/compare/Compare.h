#pragma once
// Two snapshots of files of one kind set against each other: what was removed,
// added and changed, and which of those changes break the programs built
// against the older file.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dumper/compare/Snapshot.h"

namespace kestrova::dumper::compare {

// The kinds of change that break a caller built against the older file.
enum class Break : std::uint8_t {
  ExportRemoved,     // an import of it no longer resolves
  NameDropped,       // exported by ordinal only now: an import by name no longer resolves
  OrdinalMoved,      // an import by ordinal now reaches another function
  ForwarderChanged,  // the call now lands in another DLL or function
  DataOrCode,        // a function became data, or data a function
  ArgsChanged,       // i386: the function pops another number of argument bytes
  HeaderChanged,     // the machine: the file no longer loads into the same processes
  TypeRemoved,       // .NET
  MethodRemoved,
  SymbolRemoved,     // an archive or object no longer defines a symbol a link used
  Count
};
inline constexpr std::size_t kBreakKinds = static_cast<std::size_t>(Break::Count);

struct ExportChange {
  enum class What : std::uint8_t { Ordinal, Forwarder, Unforwarded, DataOrCode, Args, NameDropped };
  What what = What::Ordinal;
  Export before, after;
  bool breaks = false;
};

struct FactChange {
  Fact before, after;  // a fact one file lacks has the key and an empty value
  bool beforeMissing = false, afterMissing = false;
};

struct Comparison {
  Kind kind = Kind::Unknown;
  std::vector<Export> exportsRemoved, exportsAdded;
  std::vector<ExportChange> exportsChanged;
  std::vector<Import> importsAdded, importsRemoved;
  std::vector<std::string> dllsAdded, dllsRemoved;
  std::vector<FactChange> facts;
  std::vector<std::string> typesAdded, typesRemoved, methodsAdded, methodsRemoved;
  std::vector<std::string> membersAdded, membersRemoved, symbolsAdded, symbolsRemoved, needsAdded, needsRemoved;
  std::array<std::uint64_t, kBreakKinds> breaks{};

  bool BreaksCallers() const;
  bool Identical() const;
};

// `before` and `after` must be of the same kind.
Comparison Compare(const Snapshot& before, const Snapshot& after);

}  // namespace kestrova::dumper::compare
