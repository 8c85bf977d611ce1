#pragma once
// The linker's record of the tools that built an image, between the DOS stub
// and the PE header. Its entries are masked with the XOR key and are read
// from the file while printing.
#include <cstdint>
#include <span>

#include "dumper/io/Reader.h"
#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

struct RichHeader {
  bool present = false;
  std::uint64_t start = 0;     // file offset of the masked "DanS"
  std::uint64_t richAt = 0;    // file offset of "Rich"
  std::uint32_t key = 0;
  std::uint32_t computed = 0;  // checksum over the DOS header, stub and entries
  bool whole = false;          // the start marker was found, so the entries are all there
  io::Reader entries;          // the masked 8-byte entries
  std::uint32_t count = 0;
};

struct RichEntry {
  std::uint16_t product = 0, build = 0;
  std::uint32_t uses = 0;
};

RichEntry RichEntryAt(const RichHeader& r, std::uint32_t i);

// Product ids of the tools a reader looks for, with what they are.
std::span<const Named> RichProducts();

RichHeader ParseRich(const Context& ctx);

}  // namespace kestrova::dumper::pe
