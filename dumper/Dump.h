#pragma once
// The dump tool's library entry point: one file's bytes in, the listing out.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dumper/io/Sink.h"
#include "dumper/pe/Options.h"

namespace kestrova::dumper {

using io::PageRelease;
using io::Sink;
using pe::Options;

// Writes the whole listing of one file's bytes to `out`. Never throws or crashes on any input;
// damage is reported in the listing. `displayName` is the name shown in the listing.
void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out);

// DumpImage, telling `pages` (may be null) what the checksum pass is done with.
void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out, PageRelease* pages,
               const Options& options = {});

// Convenience for tests and the fuzzer.
std::string DumpToString(std::span<const std::uint8_t> bytes, std::string_view displayName,
                         const Options& options = {});

// The parts' titles in listing order, for the usage text and the README check.
std::span<const lang::Msg> PartTitles();

}  // namespace kestrova::dumper
