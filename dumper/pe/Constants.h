#pragma once
// Names of the PE format's numbered values and flag bits, as tables.
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrova::dumper::pe {

struct Named {
  std::uint32_t value;
  std::string_view name;     // the format's identifier, without its prefix
  std::string_view meaning;  // a few words for a reader who does not know it
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
