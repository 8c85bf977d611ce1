#include "workflow/RunScript.h"

#include "workflow/PathTerms.h"

namespace kestrova::workflow {
namespace {

bool IsAsciiAlnum(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Signs with no meaning to cmd outside of the first column of a line.
bool IsInertSign(char16_t c) {
  return std::u16string_view(u"._-+~@#$[]{}").find(c) != std::u16string_view::npos;
}

// CON, NUL, COM1 ... stay devices whatever extension follows them.
bool IsDeviceName(std::u16string_view name) {
  const auto base = name.substr(0, name.find(u'.'));
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL"}) {
    if (EqualsIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() == 4 && base[3] >= u'1' && base[3] <= u'9') {
    const auto stem = base.substr(0, 3);
    if (EqualsIgnoringAsciiCase(stem, u"COM") || EqualsIgnoringAsciiCase(stem, u"LPT")) return true;
  }
  return false;
}

std::u16string Serial(unsigned serial) { return serial == 0 ? u"" : u"-" + Decimal(serial); }

// The alias keeps a plain extension, should the dumper care about it.
std::u16string AliasCopy(std::u16string_view name, unsigned serial, std::u16string_view stem = u"input") {
  const auto dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos) {
    const auto ext = name.substr(dot + 1);
    bool plain = !ext.empty() && ext.size() <= 8;
    for (const char16_t c : ext) plain = plain && IsAsciiAlnum(c);
    if (plain) return std::u16string(stem) + Serial(serial) + u"." + std::u16string(ext);
  }
  return std::u16string(stem) + Serial(serial) + u".bin";
}

}  // namespace

bool NeedsNoQuoting(std::u16string_view name, Platform& platform) {
  if (name.empty() || name.front() == u'-' || name.back() == u'.') return false;
  if (EqualsIgnoringAsciiCase(name, kDumperName) || EqualsIgnoringAsciiCase(name, kScriptName)) {
    return false;
  }
  if (IsDeviceName(name)) return false;
  bool ascii = true;
  for (const char16_t c : name) {
    if (c >= 0x80) {
      ascii = false;
    } else if (!IsAsciiAlnum(c) && !IsInertSign(c)) {
      return false;
    }
  }
  if (ascii) return true;
  // cmd decodes the script with the OEM code page, we write it in the ANSI one.
  const Encoded ansi = platform.Encode(platform.AnsiCodePage(), name);
  if (ansi.lossy || platform.Decode(platform.AnsiCodePage(), ansi.bytes) != name) return false;
  const Encoded oem = platform.Encode(platform.OemCodePage(), name);
  return !oem.lossy && oem.bytes == ansi.bytes;
}

StagedNames PlanNames(std::u16string_view namePart, Platform& platform,
                      std::size_t workAreaLength, unsigned aliasSerial) {
  StagedNames names;
  names.listing = std::u16string(namePart) + kListingSuffix;
  if (workAreaLength + names.listing.size() < kMaxPath && NeedsNoQuoting(namePart, platform)) {
    names.copy = std::u16string(namePart);
    names.output = names.listing;
  } else {
    names.copy = AliasCopy(namePart, aliasSerial);
    names.output = u"listing" + Serial(aliasSerial) + u".txt";
    names.aliased = true;
  }
  return names;
}

DefinitionNames PlanDefinition(std::u16string_view namePart, unsigned serial) {
  const std::u16string stem = u"definition" + Serial(serial);
  return {AliasCopy(namePart, serial, u"definition"), stem + u".def", stem + u".bat"};
}

ComparisonNames PlanComparison(std::u16string_view olderName, std::u16string_view newerName, unsigned serial) {
  const std::u16string stem = u"comparison" + Serial(serial);
  return {AliasCopy(olderName, serial, u"compare-old"), AliasCopy(newerName, serial, u"compare-new"),
          stem + u".txt", stem + u".bat"};
}

Bytes RunScript(const StagedNames& names, Platform& platform, std::u16string_view option) {
  std::u16string line = std::u16string(kDumperName) + u" ";
  if (!option.empty()) line += std::u16string(option) + u" ";
  line += names.copy + u" > " + names.output + u"\r\n";
  const Encoded encoded = platform.Encode(platform.AnsiCodePage(), line);
  return Bytes(encoded.bytes.begin(), encoded.bytes.end());
}

}  // namespace kestrova::workflow
