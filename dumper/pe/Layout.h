#pragma once
// Layouts of the format's fixed structures as field tables: where each field
// sits in the 32- and 64-bit forms and how it reads. Parsers read through them,
// printers walk them, so a structure's layout is written down once.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/pe/Constants.h"

namespace kestrova::dumper::pe {

enum class FieldKind : std::uint8_t {
  Hex,       // zero-padded hex of the field's width
  Size,      // hex, then the decimal value
  Dec,       // decimal
  Rva,       // hex RVA, then the section that holds it
  Va,        // hex virtual address, then its RVA and section (image base taken off)
  Stamp,     // time stamp: raw and as a UTC date
  Flags,     // hex, then one line per set bit from `names`
  Enum,      // hex, then the value's name from `names`
  Special,   // printed by the part itself (the printer's hook)
};

inline constexpr std::uint16_t kNoField = 0xFFFF;

struct FieldDef {
  std::string_view label;
  std::uint16_t off32, off64;    // byte offset in each form, kNoField where the form lacks it
  std::uint8_t width32, width64; // bytes: 1, 2, 4 or 8
  FieldKind kind = FieldKind::Hex;
  std::span<const Named> (*names)() = nullptr;  // for Flags and Enum
  std::uint16_t Offset(bool wide) const { return wide ? off64 : off32; }
  std::uint8_t Width(bool wide) const { return wide ? width64 : width32; }
};

// One structure read through its field table.
struct FieldBlock {
  std::span<const FieldDef> defs;
  bool wide = false;
  std::uint64_t offset = 0;    // file offset of the structure
  std::uint64_t holds = 0;     // bytes the structure claims to have (its Size field, or the full layout)
  std::uint64_t available = 0; // bytes of it that the file has
  std::vector<std::uint64_t> values;  // per field; 0 where not there

  // The field exists in this form and lies within what the structure claims.
  bool Claimed(std::size_t i) const {
    const FieldDef& d = defs[i];
    return d.Offset(wide) != kNoField && std::uint64_t{d.Offset(wide)} + d.Width(wide) <= holds;
  }
  // Claimed, and its bytes are in the file.
  bool Has(std::size_t i) const {
    return Claimed(i) && std::uint64_t{defs[i].Offset(wide)} + defs[i].Width(wide) <= available;
  }
  std::uint64_t operator[](std::size_t i) const { return values[i]; }
  // End of the last field the table knows in this form.
  std::uint64_t KnownSize() const;
};

// Reads the fields of `defs` from `r` at `off`, for a structure of `holds` bytes.
FieldBlock ReadFields(const io::Reader& r, std::uint64_t off, std::span<const FieldDef> defs, bool wide,
                      std::uint64_t holds);

}  // namespace kestrova::dumper::pe

namespace kestrova::dumper::pe {

// The optional header's fields, in file order (the data directories follow them).
enum OptionalField : std::size_t {
  kOptMagic, kOptMajorLinker, kOptMinorLinker, kOptSizeOfCode, kOptSizeOfInitializedData,
  kOptSizeOfUninitializedData, kOptEntryPoint, kOptBaseOfCode, kOptBaseOfData, kOptImageBase,
  kOptSectionAlignment, kOptFileAlignment, kOptMajorOs, kOptMinorOs, kOptMajorImage, kOptMinorImage,
  kOptMajorSubsystem, kOptMinorSubsystem, kOptWin32Version, kOptSizeOfImage, kOptSizeOfHeaders,
  kOptCheckSum, kOptSubsystem, kOptDllCharacteristics, kOptStackReserve, kOptStackCommit,
  kOptHeapReserve, kOptHeapCommit, kOptLoaderFlags, kOptNumberOfRvaAndSizes, kOptFieldCount
};
std::span<const FieldDef> OptionalHeaderLayout();
// Bytes of the fixed fields before the data directories.
inline constexpr std::uint32_t kOptionalFixed32 = 96, kOptionalFixed64 = 112;

}  // namespace kestrova::dumper::pe
