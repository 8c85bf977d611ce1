#pragma once
// Path terms of the workflow. Only "\" and ":" separate: "/" is part of a name.
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova::workflow {

// Everything up to and including the last "\" or ":"; empty when there is neither.
std::u16string DirectoryPart(std::u16string_view path);
// Everything after the last "\" or ":"; the whole text when there is neither.
std::u16string NamePart(std::u16string_view path);

// ASCII-only case folding, which is all the names compared here need.
bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

// Plain ASCII text (every char below 0x80) as UTF-16.
std::u16string FromAscii(std::string_view text);
// The decimal digits of `value`.
std::u16string Decimal(std::uint64_t value);

}  // namespace kestrova::workflow
