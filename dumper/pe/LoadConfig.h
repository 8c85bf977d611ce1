#pragma once
// The load configuration: a structure that grew with every Windows release (its
// own Size says how much of it there is), and the tables it points at.
#include <array>
#include <cstdint>
#include <span>

#include "dumper/io/Reader.h"
#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Layout.h"

namespace kestrova::dumper::pe {

enum LoadConfigField : std::size_t {
  kLcSize, kLcTimeDateStamp, kLcMajorVersion, kLcMinorVersion, kLcGlobalFlagsClear, kLcGlobalFlagsSet,
  kLcCriticalSectionTimeout, kLcDeCommitFree, kLcDeCommitTotal, kLcLockPrefixTable, kLcMaximumAllocation,
  kLcVirtualMemoryThreshold, kLcProcessHeapFlags, kLcProcessAffinityMask, kLcCsdVersion, kLcDependentLoadFlags,
  kLcEditList, kLcSecurityCookie, kLcSehTable, kLcSehCount, kLcCfCheck, kLcCfDispatch, kLcCfTable, kLcCfCount,
  kLcGuardFlags, kLcCiFlags, kLcCiCatalog, kLcCiCatalogOffset, kLcCiReserved, kLcIatTable, kLcIatCount,
  kLcLongJumpTable, kLcLongJumpCount, kLcDynamicRelocTable, kLcChpeMetadata, kLcRfFailure, kLcRfFailurePointer,
  kLcDynamicRelocOffset, kLcDynamicRelocSection, kLcReserved2, kLcRfVerifyStackPointer, kLcHotPatchOffset,
  kLcReserved3, kLcEnclaveConfiguration, kLcVolatileMetadata, kLcEhContTable, kLcEhContCount, kLcXfgCheck,
  kLcXfgDispatch, kLcXfgTableDispatch, kLcCastGuardFailureMode, kLcGuardMemcpy, kLcFieldCount
};
std::span<const FieldDef> LoadConfigLayout();
std::span<const Named> GuardFlagNames();     // bits, without the stride field
std::span<const Named> GuardEntryFlagNames();  // bits of the byte after a table entry's RVA

inline constexpr std::uint32_t kGuardStrideMask = 0xF0000000, kGuardStrideShift = 28;

// A table of RVAs the load configuration points at (by VA, with a count).
struct GuardTable {
  std::uint64_t count = 0;   // as the structure says
  std::uint64_t listed = 0;  // entries inside the file that can be listed
  std::uint32_t stride = 4;  // bytes per entry: the RVA, then flag bytes
  io::Reader view;           // exactly `listed` entries
};

struct LoadConfig {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  FieldBlock fields;
  bool cookieRead = false;
  std::uint64_t cookie = 0;  // the security cookie's value as the file holds it
  GuardTable seh, cf, iat, longJump, ehCont;
};

struct GuardEntry {
  std::uint32_t rva = 0;
  std::array<std::uint8_t, 15> extra{};  // the flag bytes after the RVA
  std::uint32_t extraCount = 0;
};

LoadConfig ParseLoadConfig(const Context& ctx);
GuardEntry GuardEntryAt(const GuardTable& t, std::uint64_t i);

}  // namespace kestrova::dumper::pe
