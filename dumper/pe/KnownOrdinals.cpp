#include "dumper/pe/KnownOrdinals.h"

#include <algorithm>
#include <span>

namespace kestrova::dumper::pe {

namespace {

struct KnownOrdinal {
  std::uint16_t ordinal;
  std::string_view name;
};
struct KnownOrdinalTable {
  std::string_view dll;
  std::span<const KnownOrdinal> entries;  // ascending by ordinal
};

#include "dumper/pe/KnownOrdinals.inc"

bool SameDll(std::string_view file, std::string_view base) {
  if (file.size() == base.size() + 4) {
    std::string_view ext = file.substr(base.size());
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (ext.size() != 4 || ext[0] != '.' || lower(ext[1]) != 'd' || lower(ext[2]) != 'l' || lower(ext[3]) != 'l')
      return false;
    file = file.substr(0, base.size());
  }
  if (file.size() != base.size()) return false;
  for (std::size_t i = 0; i < file.size(); ++i) {
    char c = file[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != base[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view KnownOrdinalName(std::string_view dll, std::uint16_t ordinal) {
  for (const KnownOrdinalTable& t : kKnownOrdinalTables) {
    if (!SameDll(dll, t.dll)) continue;
    auto it = std::lower_bound(t.entries.begin(), t.entries.end(), ordinal,
                               [](const KnownOrdinal& k, std::uint16_t o) { return k.ordinal < o; });
    if (it != t.entries.end() && it->ordinal == ordinal) return it->name;
    return {};
  }
  return {};
}

}  // namespace kestrova::dumper::pe
