#pragma once
// The API-set schema: the table in apisetschema.dll's `.apiset` section that
// maps contract names (api-ms-win-*, ext-ms-win-*) to the DLLs that host them.
// Three layouts exist (versions 2, 4 and 6); each is read into the same record.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::system {

// A UTF-16 name inside the schema: byte offset from the schema's start and byte length.
struct WideName {
  std::uint32_t offset = 0, length = 0;
  bool Empty() const { return length == 0; }
};

// One host of a contract: for every importer (the default, `importer` empty)
// or as an exception for the one importer named.
struct ApiSetValue {
  WideName importer;
  WideName host;  // empty: the contract has no host here
};

struct ApiSetEntry {
  WideName name;                   // without ".dll"; versions 2 and 4 also without "api-"
  std::uint32_t hashedLength = 0;  // version 6: bytes of the name the hash covers
  std::uint32_t flags = 0;         // versions 4 and 6: bit 0 sealed
  std::vector<ApiSetValue> values;
};

struct ApiSetSchema {
  bool present = false;
  std::uint32_t version = 0, size = 0, flags = 0, count = 0;
  std::uint32_t entryOffset = 0, hashOffset = 0, hashFactor = 0;  // version 6
  io::Reader data;                     // the schema from its first byte
  std::vector<ApiSetEntry> entries;    // those whose fields lie inside the data
};

// Reads a schema from its bytes. Damage (counts past the data, names and value
// tables outside it, a hash table out of order or not matching the names) is
// reported against `area` at file offsets, and the entries that are whole are kept.
ApiSetSchema ReadApiSetSchema(const io::Reader& data, pe::Anomalies& an, pe::Area area, pe::Budget& budget,
                               lang::Lang language = lang::Lang::En);

// The schema of an image: its `.apiset` section, read as the loader maps it.
ApiSetSchema ParseApiSetSchema(const pe::Context& ctx, pe::Area area);

// A name of the schema as text; code units outside ASCII become '?', since no
// contract or DLL name has any.
std::string Narrow(const ApiSetSchema& s, WideName n);

// The full contract name an entry stands for, lower case, without ".dll"
// ("api-ms-win-core-file-l1-2-0"); versions 2 and 4 give it back its "api-".
std::string ContractName(const ApiSetSchema& s, const ApiSetEntry& e);

struct ApiSetHit {
  enum class Kind : std::uint8_t {
    NotContract,  // no "api-" or "ext-" prefix: an ordinary DLL name
    Unknown,      // a contract name the schema does not hold
    NoHost,       // held, but with no host (the loader: DLL not found)
    Host,
  };
  Kind kind = Kind::NotContract;
  std::string host;        // the hosting DLL's name as the schema writes it
  bool exception = false;  // chosen for this importer, not the default
  std::uint32_t entry = 0;
};

// What the loader makes of an imported DLL name for `importer` (the importing
// module's file name; empty for none): the lookup, case-insensitive, of version 6
// by the hash of the name up to its last hyphen, of versions 2 and 4 by the
// whole name after its prefix.
ApiSetHit ResolveApiSet(const ApiSetSchema& s, std::string_view dll, std::string_view importer);

// Whether a DLL name has the prefix of a contract.
bool IsContractName(std::string_view dll);

}  // namespace kestrova::dumper::system
