#pragma once
// Names of the PE format's numbered values and flag bits, as tables.
#include <cstdint>
#include <span>
#include <string_view>

#include "dumper/lang/Lang.h"

namespace kestrova::dumper::pe {

// A few words for a reader who does not know a name: an entry of the catalog
// (or, until a table is moved there, its English text).
struct Gloss {
  constexpr Gloss(const char* text) : text_(text) {}  // NOLINT: tables read as they are written
  constexpr Gloss(lang::Msg m) : entry_(m), catalogued_(true) {}  // NOLINT
  constexpr Gloss(const lang::Entry& e) : entry_(e), catalogued_(true) {}  // NOLINT: a table names M::Foo itself
  std::string_view In(lang::Lang l) const { return catalogued_ ? lang::Text(entry_, l) : text_; }

 private:
  std::string_view text_;
  lang::Msg entry_{};
  bool catalogued_ = false;
};

struct Named {
  std::uint32_t value;
  std::string_view name;  // the format's identifier, without its prefix
  Gloss meaning;          // a few words for a reader who does not know it
};

std::span<const Named> Machines();
std::span<const Named> Subsystems();
std::span<const Named> FileCharacteristics();  // bits
std::span<const Named> DllCharacteristics();   // bits
std::span<const Named> SectionFlags();         // bits, without the alignment field
std::span<const Named> DirectoryNames();       // by index

// The entry for `value`, or nullptr.
const Named* Find(std::span<const Named> table, std::uint32_t value);

inline constexpr std::uint32_t kSectionAlignMask = 0x00F00000;

}  // namespace kestrova::dumper::pe
