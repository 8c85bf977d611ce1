#pragma once
// The first VERSION resource: the fixed file information, the string tables
// and the translation list. Keys and values stay UTF-16 views into the file.
#include <cstdint>
#include <span>
#include <vector>

#include "dumper/pe/Resources.h"

namespace kestrova::dumper::pe {

struct VersionString {
  std::span<const std::uint8_t> key, value;  // UTF-16LE
};

struct VersionTable {
  std::span<const std::uint8_t> key;  // eight hex digits: language, then code page
  std::vector<VersionString> strings;
};

// VS_FIXEDFILEINFO's fields, in order.
enum FixedField : std::uint8_t {
  kSignature, kStrucVersion, kFileVersionMs, kFileVersionLs, kProductVersionMs, kProductVersionLs,
  kFileFlagsMask, kFileFlags, kFileOs, kFileType, kFileSubtype, kFileDateMs, kFileDateLs, kFixedCount
};

struct VersionInfo {
  bool present = false;
  ResourceLeaf leaf;
  std::vector<std::uint32_t> otherLanguages;  // of the further VERSION resources, which the system may pick instead
  bool hasFixed = false;
  std::uint32_t fixed[kFixedCount] = {};
  std::vector<VersionTable> tables;
  std::vector<std::uint32_t> translations;  // language in the low half, code page in the high
};

VersionInfo ParseVersion(const Context& ctx);

std::span<const Named> VersionFileFlags();  // bits
std::span<const Named> VersionFileOs();
std::span<const Named> VersionFileTypes();
std::span<const Named> VersionDriverSubtypes();
std::span<const Named> VersionFontSubtypes();

}  // namespace kestrova::dumper::pe
