#pragma once
// The sample images the golden and damage tests start from.
#include "tests/dumper/PeBuilder.h"

namespace kestrova::dumper::testing {

inline constexpr std::uint32_t kCode = 0x60000020;   // code, execute, read
inline constexpr std::uint32_t kRData = 0x40000040;  // initialized data, read
inline constexpr std::uint32_t kData = 0xC0000040;   // initialized data, read, write

// A 32-bit console program importing by name and by ordinal.
inline PeBuilder Pe32Program() {
  PeBuilder pe(false);
  PeBuilder::Section& text = pe.Add(".text", kCode);
  text.data.Zeros(0x20).U8(0xC3);
  PeBuilder::Section& idata = pe.Add(".idata", kData);
  std::vector<std::uint32_t> iats;
  std::uint32_t dir = WriteImports(pe, idata,
                                   {{"KERNEL32.dll", {{"ExitProcess", 0x120}, {"GetStdHandle", 0x2D0}}},
                                    {"WS2_32.dll", {{"", 115}, {"", 3}}}},
                                   &iats);
  pe.dirs[1] = {dir, 60};
  pe.dirs[12] = {iats[0], 12};
  pe.fixChecksum = true;
  return pe;
}

// A 64-bit DLL with every table this tool reads: exports (names, two names
// on one entry, an unnamed ordinal, an empty slot, forwarders by name and by
// ordinal), imports with one bound DLL, a bound import directory, delay-load imports.
inline PeBuilder Pe32PlusLibrary() {
  PeBuilder pe(true);
  PeBuilder::Section& text = pe.Add(".text", kCode);
  text.data.Zeros(0x40).U8(0xC3);
  PeBuilder::Section& rdata = pe.Add(".rdata", kRData);
  ExportPlan e;
  e.dll = "sample.dll";
  e.base = 5;
  e.functions = {{0x1000, ""}, {0x1010, ""}, {0, ""}, {0x1020, ""}, {0, "NTDLL.RtlAllocateHeap"}, {0, "WS2_32.#115"}};
  e.names = {{"Alias", 1}, {"AllocHeap", 4}, {"First", 0}, {"Second", 1}, {"Socket", 5}};
  auto ex = WriteExports(rdata, e);
  pe.dirs[0] = {ex[0], ex[1]};
  PeBuilder::Section& idata = pe.Add(".idata", kData);
  std::vector<DllPlan> dlls = {{"KERNEL32.dll", {{"GetProcAddress", 0x2A1}, {"LoadLibraryW", 0x3C5}}, 0xFFFFFFFF},
                               {"msvcrt.dll", {{"malloc", 0x4E0}, {"", 42}}}};
  std::vector<std::uint32_t> iats;
  pe.dirs[1] = {WriteImports(pe, idata, dlls, &iats), 60};
  pe.dirs[12] = {iats[0], 0x30};
  PeBuilder::Section& didat = pe.Add(".didat", kData);
  pe.dirs[13] = {WriteImports(pe, didat, {{"USER32.dll", {{"MessageBoxW", 0x28C}, {"", 2000}}, 0}}, nullptr, true), 64};
  // Bound imports: KERNEL32 bound, with a forwarder reference to NTDLL.
  Blob& b = pe.headerExtra;
  b.U32(0x5E000000).U16(24).U16(1);
  b.U32(0x5E000001).U16(37).U16(0);
  b.U32(0).U32(0);
  b.Str("KERNEL32.dll").Str("NTDLL.dll");
  pe.dirs[11] = {pe.HeaderExtraOffset(), b.Size()};
  return pe;
}

}  // namespace kestrova::dumper::testing
