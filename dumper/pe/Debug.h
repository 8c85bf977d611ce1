#pragma once
// The debug directory: a table of entries, each pointing at data of its own
// kind (a PDB reference, a build hash, compiler feature counts...).
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "dumper/io/Reader.h"
#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

inline constexpr std::uint32_t kDebugEntrySize = 28;

enum DebugType : std::uint32_t {
  kDebugCodeView = 2, kDebugFpo = 3, kDebugMisc = 4, kDebugVcFeature = 12, kDebugPogo = 13,
  kDebugRepro = 16, kDebugExDllCharacteristics = 20,
};

std::span<const Named> DebugTypes();
std::span<const Named> ExDllCharacteristics();  // bits

struct DebugDirectory {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  std::uint32_t count = 0;  // entries inside the file (the size may claim more)
  io::Reader entries;       // exactly `count` entries
};

struct DebugEntry {
  std::uint64_t offset = 0;  // file offset of the entry
  std::uint32_t characteristics = 0, timeDateStamp = 0;
  std::uint16_t majorVersion = 0, minorVersion = 0;
  std::uint32_t type = 0, sizeOfData = 0, addressOfRawData = 0, pointerToRawData = 0;
  io::Reader data;  // the entry's data, clipped to the file; empty when not found
};

// What the decoders make of an entry's data.
struct CodeViewInfo {
  bool ok = false;
  std::uint32_t signature = 0;          // "RSDS", "NB10" or anything else
  std::array<std::uint8_t, 16> guid{};  // RSDS
  std::uint32_t nb10Signature = 0;      // NB10: time stamp style signature
  std::uint32_t age = 0;
  std::string_view path;
};

struct PogoEntry {
  std::uint32_t rva = 0, size = 0;
  std::string_view name;
};

inline constexpr std::uint32_t kCodeViewRsds = 0x53445352, kCodeViewNb10 = 0x3031424E;

// The first bytes of an entry's data (a signature), as text; zeros where the data is shorter.
std::array<char, 4> DebugSignature(const DebugEntry& e);

DebugDirectory ParseDebug(const Context& ctx);
// Entry `i` (< count), with its data located; problems with the data are reported.
DebugEntry ReadDebugEntry(const Context& ctx, const DebugDirectory& d, std::uint32_t i);
CodeViewInfo ReadCodeView(const Context& ctx, const DebugEntry& e);
// The POGO section list: calls `each` per entry until it returns false; reports a
// list that runs off its data. Returns the list's signature.
template <class Each>
std::uint32_t WalkPogo(const Context& ctx, const DebugEntry& e, Each each);

// ------------------------------------------------------------------ inline

namespace detail {
// One POGO entry at `at`; the offset of the next in `next`, or false at the end.
bool PogoAt(const Context& ctx, const DebugEntry& e, std::uint64_t at, PogoEntry& out, std::uint64_t& next);
}  // namespace detail

template <class Each>
std::uint32_t WalkPogo(const Context& ctx, const DebugEntry& e, Each each) {
  std::uint32_t signature = e.data.U32(0).value_or(0);
  PogoEntry p;
  for (std::uint64_t at = 4, next = 0; detail::PogoAt(ctx, e, at, p, next); at = next)
    if (!each(p)) break;
  return signature;
}

}  // namespace kestrova::dumper::pe
