#include "dumper/pe/Constants.h"

namespace kestrova::dumper::pe {

namespace {

constexpr Named kMachines[] = {
    {0x0000, "UNKNOWN", "any machine"},
    {0x014C, "I386", "Intel 386 and later (x86)"},
    {0x0160, "R3000BE", "MIPS R3000 big-endian"},
    {0x0162, "R3000", "MIPS R3000 little-endian"},
    {0x0166, "R4000", "MIPS R4000 little-endian"},
    {0x0168, "R10000", "MIPS R10000 little-endian"},
    {0x0169, "WCEMIPSV2", "MIPS little-endian WCE v2"},
    {0x0184, "ALPHA", "Alpha AXP 32-bit"},
    {0x01A2, "SH3", "Hitachi SH3"},
    {0x01A3, "SH3DSP", "Hitachi SH3 DSP"},
    {0x01A6, "SH4", "Hitachi SH4"},
    {0x01A8, "SH5", "Hitachi SH5"},
    {0x01C0, "ARM", "ARM little-endian"},
    {0x01C2, "THUMB", "ARM Thumb"},
    {0x01C4, "ARMNT", "ARM Thumb-2 little-endian (ARMv7)"},
    {0x01D3, "AM33", "Matsushita AM33"},
    {0x01F0, "POWERPC", "Power PC little-endian"},
    {0x01F1, "POWERPCFP", "Power PC with floating point"},
    {0x0200, "IA64", "Intel Itanium"},
    {0x0266, "MIPS16", "MIPS16"},
    {0x0284, "ALPHA64", "Alpha AXP 64-bit"},
    {0x0366, "MIPSFPU", "MIPS with FPU"},
    {0x0466, "MIPSFPU16", "MIPS16 with FPU"},
    {0x0520, "TRICORE", "Infineon TriCore"},
    {0x0CEF, "CEF", "CEF"},
    {0x0EBC, "EBC", "EFI byte code"},
    {0x5032, "RISCV32", "RISC-V 32-bit"},
    {0x5064, "RISCV64", "RISC-V 64-bit"},
    {0x5128, "RISCV128", "RISC-V 128-bit"},
    {0x6232, "LOONGARCH32", "LoongArch 32-bit"},
    {0x6264, "LOONGARCH64", "LoongArch 64-bit"},
    {0x8664, "AMD64", "x64"},
    {0x9041, "M32R", "Mitsubishi M32R little-endian"},
    {0xA641, "ARM64EC", "ARM64 code that interoperates with x64"},
    {0xA64E, "ARM64X", "ARM64 and ARM64EC code in one image"},
    {0xAA64, "ARM64", "ARM64 little-endian"},
    {0xC0EE, "CEE", "managed code (CEE)"},
};

constexpr Named kSubsystems[] = {
    {0, "UNKNOWN", "unknown subsystem"},
    {1, "NATIVE", "device driver or native system process"},
    {2, "WINDOWS_GUI", "Windows graphical program"},
    {3, "WINDOWS_CUI", "Windows console program"},
    {5, "OS2_CUI", "OS/2 console program"},
    {7, "POSIX_CUI", "POSIX console program"},
    {8, "NATIVE_WINDOWS", "native Win9x driver"},
    {9, "WINDOWS_CE_GUI", "Windows CE"},
    {10, "EFI_APPLICATION", "EFI application"},
    {11, "EFI_BOOT_SERVICE_DRIVER", "EFI driver with boot services"},
    {12, "EFI_RUNTIME_DRIVER", "EFI driver with run-time services"},
    {13, "EFI_ROM", "EFI ROM image"},
    {14, "XBOX", "Xbox"},
    {16, "WINDOWS_BOOT_APPLICATION", "Windows boot application"},
};

constexpr Named kFileCharacteristics[] = {
    {0x0001, "RELOCS_STRIPPED", "no base relocations: loads only at its preferred base"},
    {0x0002, "EXECUTABLE_IMAGE", "a valid, runnable image"},
    {0x0004, "LINE_NUMS_STRIPPED", "COFF line numbers removed"},
    {0x0008, "LOCAL_SYMS_STRIPPED", "COFF local symbols removed"},
    {0x0010, "AGGRESSIVE_WS_TRIM", "aggressively trim the working set (obsolete)"},
    {0x0020, "LARGE_ADDRESS_AWARE", "can handle addresses above 2 GB"},
    {0x0040, "RESERVED_40", "reserved"},
    {0x0080, "BYTES_REVERSED_LO", "little-endian (obsolete)"},
    {0x0100, "32BIT_MACHINE", "32-bit word machine"},
    {0x0200, "DEBUG_STRIPPED", "debug information removed"},
    {0x0400, "REMOVABLE_RUN_FROM_SWAP", "copy to swap when run from removable media"},
    {0x0800, "NET_RUN_FROM_SWAP", "copy to swap when run from the network"},
    {0x1000, "SYSTEM", "a system file, not a user program"},
    {0x2000, "DLL", "a dynamic-link library"},
    {0x4000, "UP_SYSTEM_ONLY", "run only on a uniprocessor machine"},
    {0x8000, "BYTES_REVERSED_HI", "big-endian (obsolete)"},
};

constexpr Named kDllCharacteristics[] = {
    {0x0001, "RESERVED_1", "reserved"},
    {0x0002, "RESERVED_2", "reserved"},
    {0x0004, "RESERVED_4", "reserved"},
    {0x0008, "RESERVED_8", "reserved"},
    {0x0020, "HIGH_ENTROPY_VA", "64-bit address space layout randomization"},
    {0x0040, "DYNAMIC_BASE", "can be relocated at load time (ASLR)"},
    {0x0080, "FORCE_INTEGRITY", "code integrity checks are enforced"},
    {0x0100, "NX_COMPAT", "compatible with data execution prevention"},
    {0x0200, "NO_ISOLATION", "isolation aware, but do not isolate"},
    {0x0400, "NO_SEH", "uses no structured exception handling"},
    {0x0800, "NO_BIND", "do not bind the image"},
    {0x1000, "APPCONTAINER", "must run in an AppContainer"},
    {0x2000, "WDM_DRIVER", "a WDM driver"},
    {0x4000, "GUARD_CF", "supports Control Flow Guard"},
    {0x8000, "TERMINAL_SERVER_AWARE", "terminal server aware"},
};

constexpr Named kSectionFlags[] = {
    {0x00000008, "TYPE_NO_PAD", "no padding (obsolete)"},
    {0x00000020, "CNT_CODE", "code"},
    {0x00000040, "CNT_INITIALIZED_DATA", "initialized data"},
    {0x00000080, "CNT_UNINITIALIZED_DATA", "uninitialized data"},
    {0x00000100, "LNK_OTHER", "reserved"},
    {0x00000200, "LNK_INFO", "comments or other information"},
    {0x00000800, "LNK_REMOVE", "not part of the image"},
    {0x00001000, "LNK_COMDAT", "COMDAT data"},
    {0x00008000, "GPREL", "referenced through the global pointer"},
    {0x00020000, "MEM_PURGEABLE", "reserved"},
    {0x00040000, "MEM_LOCKED", "reserved"},
    {0x00080000, "MEM_PRELOAD", "reserved"},
    {0x01000000, "LNK_NRELOC_OVFL", "extended relocations"},
    {0x02000000, "MEM_DISCARDABLE", "can be discarded"},
    {0x04000000, "MEM_NOT_CACHED", "cannot be cached"},
    {0x08000000, "MEM_NOT_PAGED", "not pageable"},
    {0x10000000, "MEM_SHARED", "shared in memory"},
    {0x20000000, "MEM_EXECUTE", "executable"},
    {0x40000000, "MEM_READ", "readable"},
    {0x80000000, "MEM_WRITE", "writable"},
};

constexpr Named kDirectories[] = {
    {0, "Export", "export table"},
    {1, "Import", "import table"},
    {2, "Resource", "resource table"},
    {3, "Exception", "exception table"},
    {4, "Certificate", "attribute certificate table (file offset)"},
    {5, "BaseReloc", "base relocation table"},
    {6, "Debug", "debug data"},
    {7, "Architecture", "reserved"},
    {8, "GlobalPtr", "global pointer register"},
    {9, "TLS", "thread local storage"},
    {10, "LoadConfig", "load configuration"},
    {11, "BoundImport", "bound import table"},
    {12, "IAT", "import address table"},
    {13, "DelayImport", "delay-load import descriptors"},
    {14, "CLR", "CLR runtime header"},
    {15, "Reserved", "reserved"},
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
