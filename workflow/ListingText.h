#pragma once
// Turning the dumper's output file into the memo's text.
#include <string>
#include <string_view>
#include <vector>

#include "workflow/Platform.h"

namespace kestrova::workflow {

// By byte-order mark (UTF-8, UTF-16 LE or BE; the mark is dropped), else in the
// ANSI code page; then every line break made CR LF.
std::u16string DecodeListing(const Bytes& bytes, Platform& platform);

// Malformed sequences become U+FFFD, one per offending byte.
std::u16string DecodeUtf8(std::string_view bytes);
// CR LF, lone CR and lone LF all become CR LF.
std::u16string NormalizeLineBreaks(std::u16string_view text);

// A part of the listing: its title line "== Title ==", where the line starts
// (a character offset into the text) and its number (0 for the first line).
struct PartLine {
  std::u16string title;
  std::size_t offset = 0;
  std::size_t line = 0;
};
// Every part title of the listing, in order.
std::vector<PartLine> ListingParts(std::u16string_view text);

}  // namespace kestrova::workflow
