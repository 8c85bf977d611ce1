#include "dumper/pe/Layout.h"

#include <algorithm>
#include <iterator>

namespace kestrova::dumper::pe {

std::uint64_t FieldBlock::KnownSize() const {
  std::uint64_t end = 0;
  for (const FieldDef& d : defs)
    if (d.Offset(wide) != kNoField) end = std::max<std::uint64_t>(end, std::uint64_t{d.Offset(wide)} + d.Width(wide));
  return end;
}

FieldBlock ReadFields(const io::Reader& r, std::uint64_t off, std::span<const FieldDef> defs, bool wide,
                      std::uint64_t holds) {
  FieldBlock b;
  b.defs = defs;
  b.wide = wide;
  b.offset = r.Base() + off;
  b.holds = holds;
  std::uint64_t inFile = off < r.Size() ? r.Size() - off : 0;
  b.available = std::min(inFile, holds);
  b.values.assign(defs.size(), 0);
  for (std::size_t i = 0; i < defs.size(); ++i) {
    if (!b.Has(i)) continue;
    std::uint64_t at = off + defs[i].Offset(wide);
    switch (defs[i].Width(wide)) {
      case 1: b.values[i] = r.U8(at).value_or(0); break;
      case 2: b.values[i] = r.U16(at).value_or(0); break;
      case 4: b.values[i] = r.U32(at).value_or(0); break;
      default: b.values[i] = r.U64(at).value_or(0); break;
    }
  }
  return b;
}

namespace {

using K = FieldKind;
constexpr FieldDef kOptional[] = {
    {"Magic", 0, 0, 2, 2, K::Special},
    {"MajorLinkerVersion", 2, 2, 1, 1, K::Dec},
    {"MinorLinkerVersion", 3, 3, 1, 1, K::Dec},
    {"SizeOfCode", 4, 4, 4, 4, K::Size},
    {"SizeOfInitializedData", 8, 8, 4, 4, K::Size},
    {"SizeOfUninitializedData", 12, 12, 4, 4, K::Size},
    {"AddressOfEntryPoint", 16, 16, 4, 4, K::Rva},
    {"BaseOfCode", 20, 20, 4, 4, K::Rva},
    {"BaseOfData", 24, kNoField, 4, 0, K::Rva},
    {"ImageBase", 28, 24, 4, 8, K::Hex},
    {"SectionAlignment", 32, 32, 4, 4, K::Hex},
    {"FileAlignment", 36, 36, 4, 4, K::Hex},
    {"MajorOperatingSystemVersion", 40, 40, 2, 2, K::Dec},
    {"MinorOperatingSystemVersion", 42, 42, 2, 2, K::Dec},
    {"MajorImageVersion", 44, 44, 2, 2, K::Dec},
    {"MinorImageVersion", 46, 46, 2, 2, K::Dec},
    {"MajorSubsystemVersion", 48, 48, 2, 2, K::Dec},
    {"MinorSubsystemVersion", 50, 50, 2, 2, K::Dec},
    {"Win32VersionValue", 52, 52, 4, 4, K::Hex},
    {"SizeOfImage", 56, 56, 4, 4, K::Size},
    {"SizeOfHeaders", 60, 60, 4, 4, K::Size},
    {"CheckSum", 64, 64, 4, 4, K::Special},
    {"Subsystem", 68, 68, 2, 2, K::Enum, &Subsystems},
    {"DllCharacteristics", 70, 70, 2, 2, K::Flags, &DllCharacteristics},
    {"SizeOfStackReserve", 72, 72, 4, 8, K::Size},
    {"SizeOfStackCommit", 76, 80, 4, 8, K::Size},
    {"SizeOfHeapReserve", 80, 88, 4, 8, K::Size},
    {"SizeOfHeapCommit", 84, 96, 4, 8, K::Size},
    {"LoaderFlags", 88, 104, 4, 4, K::Hex},
    {"NumberOfRvaAndSizes", 92, 108, 4, 4, K::Dec},
};
static_assert(std::size(kOptional) == kOptFieldCount);

}  // namespace

std::span<const FieldDef> OptionalHeaderLayout() { return kOptional; }

}  // namespace kestrova::dumper::pe
