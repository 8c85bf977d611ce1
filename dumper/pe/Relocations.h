#pragma once
// The base relocation blocks. A large DLL has hundreds of thousands of
// entries, so the record is the directory's view plus its totals; blocks are
// decoded one at a time, each into a count per type.
#include <array>
#include <cstdint>
#include <string_view>

#include "dumper/io/Reader.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

struct RelocationTable {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  io::Reader blocks;  // the whole blocks found, in order
  std::uint64_t blockCount = 0, entryCount = 0;
};

struct RelocationBlock {
  std::uint64_t offset = 0;  // file offset of the block's header
  std::uint32_t page = 0, size = 0;
  std::uint32_t entries = 0;
  std::array<std::uint32_t, 16> byType{};
  std::uint32_t outside = 0;  // entries whose target lies outside the image
};

// Produces the blocks in order; invalid types and targets outside the image
// are reported to ctx.an, once per block.
class RelocationWalker {
 public:
  RelocationWalker(const RelocationTable& t, const Context& ctx) : t_(t), ctx_(ctx) {}
  bool Next(RelocationBlock& b);

 private:
  const RelocationTable& t_;
  const Context& ctx_;
  std::uint64_t at_ = 0;
};

// The type's name for this machine, or empty when the type is not valid for it.
std::string_view RelocationTypeName(std::uint16_t machine, unsigned type);

RelocationTable ParseRelocations(const Context& ctx);

}  // namespace kestrova::dumper::pe
