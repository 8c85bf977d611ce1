#pragma once
// A .NET assembly: the CLR header and the metadata it points at. The tables
// stay in the file; the printer walks them through clr::Metadata and clr::Names.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "dumper/pe/ClrMeta.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Layout.h"

namespace kestrova::dumper::pe {

// Fields of the CLR header the part looks at, by their place in its field table.
enum ClrField : std::size_t {
  kClrCb = 0, kClrMetaDataRva = 3, kClrMetaDataSize = 4, kClrFlags = 5, kClrEntryPoint = 6,
};
inline constexpr std::uint32_t kClrNativeEntryPoint = 0x10;

struct ClrInfo {
  bool present = false;
  FieldBlock header;
  std::optional<clr::Metadata> md;  // when the metadata directory is backed by the file
};

ClrInfo ParseClr(const Context& ctx);

namespace clr {

std::span<const Named> HeaderFlags();
std::span<const Named> AssemblyFlags();
std::span<const Named> HashAlgorithms();
std::span<const Named> TypeFlagWords();    // single bits of TypeDef flags
std::span<const Named> MethodFlagWords();  // single bits of MethodDef flags (not access)
std::span<const Named> MethodImplWords();  // single bits of MethodDef implementation flags
std::span<const Named> FieldFlagWords();   // single bits of Field flags (not access)
std::span<const Named> ImplMapWords();     // single bits of ImplMap flags
std::string_view MemberAccess(std::uint32_t flags);  // "public", "private" ...
std::string_view TypeVisibility(std::uint32_t flags);
std::string_view CharSet(std::uint32_t implMapFlags);
std::string_view CallingConvention(std::uint32_t implMapFlags);

// The public key token: the last 8 bytes of the key's SHA-1, in reverse.
std::array<std::uint8_t, 8> KeyToken(const io::Reader& key);

// The size of the IL body of a method at `rva`, or nothing when its header is
// not readable there.
std::optional<std::uint32_t> IlSize(const Context& ctx, std::uint32_t rva);

// The ImplMap row of method def `row`, or 0 (the table is sorted by member).
std::uint32_t ImplMapOf(const Metadata& md, std::uint32_t methodRow);

}  // namespace clr
}  // namespace kestrova::dumper::pe
