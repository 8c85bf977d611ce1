#include "dumper/pe/Constants.h"

#include "dumper/lang/catalog/Headers.h"

namespace kestrova::dumper::pe {

namespace {

namespace M = lang::M;

constexpr Named kMachines[] = {
    {0x0000, "UNKNOWN", M::HdrMachUnknown},
    {0x014C, "I386", M::HdrMachI386},
    {0x0160, "R3000BE", M::HdrMachR3000Be},
    {0x0162, "R3000", M::HdrMachR3000},
    {0x0166, "R4000", M::HdrMachR4000},
    {0x0168, "R10000", M::HdrMachR10000},
    {0x0169, "WCEMIPSV2", M::HdrMachWceMipsV2},
    {0x0184, "ALPHA", M::HdrMachAlpha},
    {0x01A2, "SH3", M::HdrMachSh3},
    {0x01A3, "SH3DSP", M::HdrMachSh3Dsp},
    {0x01A6, "SH4", M::HdrMachSh4},
    {0x01A8, "SH5", M::HdrMachSh5},
    {0x01C0, "ARM", M::HdrMachArm},
    {0x01C2, "THUMB", M::HdrMachThumb},
    {0x01C4, "ARMNT", M::HdrMachArmNt},
    {0x01D3, "AM33", M::HdrMachAm33},
    {0x01F0, "POWERPC", M::HdrMachPowerPc},
    {0x01F1, "POWERPCFP", M::HdrMachPowerPcFp},
    {0x0200, "IA64", M::HdrMachIa64},
    {0x0266, "MIPS16", M::HdrMachMips16},
    {0x0284, "ALPHA64", M::HdrMachAlpha64},
    {0x0366, "MIPSFPU", M::HdrMachMipsFpu},
    {0x0466, "MIPSFPU16", M::HdrMachMipsFpu16},
    {0x0520, "TRICORE", M::HdrMachTriCore},
    {0x0CEF, "CEF", M::HdrMachCef},
    {0x0EBC, "EBC", M::HdrMachEbc},
    {0x5032, "RISCV32", M::HdrMachRiscV32},
    {0x5064, "RISCV64", M::HdrMachRiscV64},
    {0x5128, "RISCV128", M::HdrMachRiscV128},
    {0x6232, "LOONGARCH32", M::HdrMachLoongArch32},
    {0x6264, "LOONGARCH64", M::HdrMachLoongArch64},
    {0x8664, "AMD64", M::HdrMachAmd64},
    {0x9041, "M32R", M::HdrMachM32R},
    {0xA641, "ARM64EC", M::HdrMachArm64Ec},
    {0xA64E, "ARM64X", M::HdrMachArm64X},
    {0xAA64, "ARM64", M::HdrMachArm64},
    {0xC0EE, "CEE", M::HdrMachCee},
};

constexpr Named kSubsystems[] = {
    {0, "UNKNOWN", M::HdrSubUnknown},
    {1, "NATIVE", M::HdrSubNative},
    {2, "WINDOWS_GUI", M::HdrSubWindowsGui},
    {3, "WINDOWS_CUI", M::HdrSubWindowsCui},
    {5, "OS2_CUI", M::HdrSubOs2Cui},
    {7, "POSIX_CUI", M::HdrSubPosixCui},
    {8, "NATIVE_WINDOWS", M::HdrSubNativeWindows},
    {9, "WINDOWS_CE_GUI", M::HdrSubWindowsCe},
    {10, "EFI_APPLICATION", M::HdrSubEfiApp},
    {11, "EFI_BOOT_SERVICE_DRIVER", M::HdrSubEfiBoot},
    {12, "EFI_RUNTIME_DRIVER", M::HdrSubEfiRuntime},
    {13, "EFI_ROM", M::HdrSubEfiRom},
    {14, "XBOX", M::HdrSubXbox},
    {16, "WINDOWS_BOOT_APPLICATION", M::HdrSubBootApp},
};

constexpr Named kFileCharacteristics[] = {
    {0x0001, "RELOCS_STRIPPED", M::HdrFileRelocsStripped},
    {0x0002, "EXECUTABLE_IMAGE", M::HdrFileExecutable},
    {0x0004, "LINE_NUMS_STRIPPED", M::HdrFileLineNums},
    {0x0008, "LOCAL_SYMS_STRIPPED", M::HdrFileLocalSyms},
    {0x0010, "AGGRESSIVE_WS_TRIM", M::HdrFileWsTrim},
    {0x0020, "LARGE_ADDRESS_AWARE", M::HdrFileLargeAddress},
    {0x0040, "RESERVED_40", M::HdrReserved},
    {0x0080, "BYTES_REVERSED_LO", M::HdrFileBytesLo},
    {0x0100, "32BIT_MACHINE", M::HdrFile32Bit},
    {0x0200, "DEBUG_STRIPPED", M::HdrFileDebugStripped},
    {0x0400, "REMOVABLE_RUN_FROM_SWAP", M::HdrFileRemovableSwap},
    {0x0800, "NET_RUN_FROM_SWAP", M::HdrFileNetSwap},
    {0x1000, "SYSTEM", M::HdrFileSystem},
    {0x2000, "DLL", M::HdrFileDll},
    {0x4000, "UP_SYSTEM_ONLY", M::HdrFileUpOnly},
    {0x8000, "BYTES_REVERSED_HI", M::HdrFileBytesHi},
};

constexpr Named kDllCharacteristics[] = {
    {0x0001, "RESERVED_1", M::HdrReserved},
    {0x0002, "RESERVED_2", M::HdrReserved},
    {0x0004, "RESERVED_4", M::HdrReserved},
    {0x0008, "RESERVED_8", M::HdrReserved},
    {0x0020, "HIGH_ENTROPY_VA", M::HdrDllHighEntropy},
    {0x0040, "DYNAMIC_BASE", M::HdrDllDynamicBase},
    {0x0080, "FORCE_INTEGRITY", M::HdrDllForceIntegrity},
    {0x0100, "NX_COMPAT", M::HdrDllNxCompat},
    {0x0200, "NO_ISOLATION", M::HdrDllNoIsolation},
    {0x0400, "NO_SEH", M::HdrDllNoSeh},
    {0x0800, "NO_BIND", M::HdrDllNoBind},
    {0x1000, "APPCONTAINER", M::HdrDllAppContainer},
    {0x2000, "WDM_DRIVER", M::HdrDllWdmDriver},
    {0x4000, "GUARD_CF", M::HdrDllGuardCf},
    {0x8000, "TERMINAL_SERVER_AWARE", M::HdrDllTerminalServer},
};

constexpr Named kSectionFlags[] = {
    {0x00000008, "TYPE_NO_PAD", M::HdrScnNoPad},
    {0x00000020, "CNT_CODE", M::HdrScnCode},
    {0x00000040, "CNT_INITIALIZED_DATA", M::HdrScnInitData},
    {0x00000080, "CNT_UNINITIALIZED_DATA", M::HdrScnUninitData},
    {0x00000100, "LNK_OTHER", M::HdrReserved},
    {0x00000200, "LNK_INFO", M::HdrScnInfo},
    {0x00000800, "LNK_REMOVE", M::HdrScnRemove},
    {0x00001000, "LNK_COMDAT", M::HdrScnComdat},
    {0x00008000, "GPREL", M::HdrScnGpRel},
    {0x00020000, "MEM_PURGEABLE", M::HdrReserved},
    {0x00040000, "MEM_LOCKED", M::HdrReserved},
    {0x00080000, "MEM_PRELOAD", M::HdrReserved},
    {0x01000000, "LNK_NRELOC_OVFL", M::HdrScnRelocOvfl},
    {0x02000000, "MEM_DISCARDABLE", M::HdrScnDiscardable},
    {0x04000000, "MEM_NOT_CACHED", M::HdrScnNotCached},
    {0x08000000, "MEM_NOT_PAGED", M::HdrScnNotPaged},
    {0x10000000, "MEM_SHARED", M::HdrScnShared},
    {0x20000000, "MEM_EXECUTE", M::HdrScnExecute},
    {0x40000000, "MEM_READ", M::HdrScnRead},
    {0x80000000, "MEM_WRITE", M::HdrScnWrite},
};

constexpr Named kDirectories[] = {
    {0, "Export", M::HdrDirExport},
    {1, "Import", M::HdrDirImport},
    {2, "Resource", M::HdrDirResource},
    {3, "Exception", M::HdrDirException},
    {4, "Certificate", M::HdrDirCertificate},
    {5, "BaseReloc", M::HdrDirBaseReloc},
    {6, "Debug", M::HdrDirDebug},
    {7, "Architecture", M::HdrReserved},
    {8, "GlobalPtr", M::HdrDirGlobalPtr},
    {9, "TLS", M::HdrDirTls},
    {10, "LoadConfig", M::HdrDirLoadConfig},
    {11, "BoundImport", M::HdrDirBoundImport},
    {12, "IAT", M::HdrDirIat},
    {13, "DelayImport", M::HdrDirDelayImport},
    {14, "CLR", M::HdrDirClr},
    {15, "Reserved", M::HdrReserved},
};

}  // namespace

std::span<const Named> Machines() { return kMachines; }
std::span<const Named> Subsystems() { return kSubsystems; }
std::span<const Named> FileCharacteristics() { return kFileCharacteristics; }
std::span<const Named> DllCharacteristics() { return kDllCharacteristics; }
std::span<const Named> SectionFlags() { return kSectionFlags; }
std::span<const Named> DirectoryNames() { return kDirectories; }

const Named* Find(std::span<const Named> table, std::uint32_t value) {
  for (const Named& n : table)
    if (n.value == value) return &n;
  return nullptr;
}

}  // namespace kestrova::dumper::pe
