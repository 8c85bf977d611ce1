#pragma once
// Turning the dumper's output file into the memo's text.
#include <string>
#include <string_view>

#include "workflow/Platform.h"

namespace kestrova::workflow {

// By byte-order mark (UTF-8, UTF-16 LE or BE; the mark is dropped), else in the
// ANSI code page; then every line break made CR LF.
std::u16string DecodeListing(const Bytes& bytes, Platform& platform);

// Malformed sequences become U+FFFD, one per offending byte.
std::u16string DecodeUtf8(std::string_view bytes);
// CR LF, lone CR and lone LF all become CR LF.
std::u16string NormalizeLineBreaks(std::u16string_view text);

}  // namespace kestrova::workflow
