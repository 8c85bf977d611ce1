#include "dumper/pe/Glance.h"

#include "dumper/pe/Constants.h"
#include "dumper/pe/Manifest.h"
#include "dumper/lang/catalog/Glance.h"

namespace kestrova::dumper::pe {

namespace {

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kFileDll = 0x2000, kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kDllHighEntropyVa = 0x0020, kDllDynamicBase = 0x0040, kDllNxCompat = 0x0100,
                        kDllNoSeh = 0x0400, kDllGuardCf = 0x4000;
constexpr std::uint32_t kGuardCfInstrumented = 0x00000100;
constexpr std::uint32_t kSectionCode = 0x00000020, kSectionExecute = 0x20000000;

// The Windows release that brought each subsystem version: the loader refuses
// an image that asks for a newer one than it is.
std::string_view WindowsOf(std::uint16_t major, std::uint16_t minor) {
  struct Release { std::uint16_t major, minor; std::string_view name; };
  static constexpr Release kReleases[] = {
      {3, 10, "Windows NT 3.1"}, {4, 0, "Windows 95 / NT 4.0"}, {5, 0, "Windows 2000"}, {5, 1, "Windows XP"},
      {5, 2, "Windows XP x64 / Server 2003"}, {6, 0, "Windows Vista"}, {6, 1, "Windows 7"},
      {6, 2, "Windows 8"}, {6, 3, "Windows 8.1"}, {10, 0, "Windows 10"},
  };
  std::string_view best;
  for (const Release& r : kReleases)
    if (major > r.major || (major == r.major && minor >= r.minor)) best = r.name;
  return best;
}

lang::Msg SubsystemWord(std::uint16_t s) {
  using lang::Msg;
  namespace M = lang::M;
  switch (s) {
    case 1: return M::GlSubNative;
    case 2: return M::GlSubGui;
    case 3: return M::GlSubConsole;
    case 5: return M::GlSubOs2Console;
    case 7: return M::GlSubPosixConsole;
    case 9: return M::GlSubCeGui;
    case 10: return M::GlSubEfiApp;
    case 11: return M::GlSubEfiBoot;
    case 12: return M::GlSubEfiRuntime;
    case 13: return M::GlSubEfiRom;
    case 14: return M::GlSubXbox;
    case 16: return M::GlSubBootApp;
    default: return M::GlSubUnknown;
  }
}

std::uint32_t DirRva(const Headers& h, int i) {
  return static_cast<std::size_t>(i) < h.dirs.size() ? h.dirs[static_cast<std::size_t>(i)].rva : 0;
}

bool HasCode(const Headers& h) {
  for (const Section& s : h.sections)
    if ((s.characteristics & (kSectionCode | kSectionExecute)) != 0 && s.sizeOfRawData != 0) return true;
  return false;
}

}  // namespace

Glance ParseGlance(const Context& ctx) {
  Glance g;
  g.present = true;
  g.facts = ctx.facts;
  g.anomalies = ctx.an.List().size() + ctx.an.Suppressed();
  const Headers& h = ctx.h;
  if (h.kind != FileKind::Pe || !h.hasCoff || !h.opt.present) return g;
  g.image = true;
  const OptionalHeader& o = h.opt;
  const Facts& f = *ctx.facts;
  using lang::Msg;
  namespace M = lang::M;
  g.bits = o.pe32plus ? M::Gl64Bit : M::Gl32Bit;
  g.machineCode = h.coff.machine;
  if (const Named* m = Find(Machines(), h.coff.machine)) g.machine = m->name;
  const bool dll = (h.coff.characteristics & kFileDll) != 0;
  g.subsystem = SubsystemWord(o.subsystem);
  if (o.subsystem >= 10 && o.subsystem <= 13) g.what = g.subsystem;
  else if (o.subsystem == 1) g.what = M::GlDriver;
  else if (dll && o.addressOfEntryPoint == 0 && !HasCode(h) && DirRva(h, kDirResource) != 0) g.what = M::GlResourceOnlyDll;
  else g.what = dll ? M::GlDll : M::GlExe;
  if (f.clr) g.dotnet = f.ilOnly ? M::GlDotnetIlOnly : M::GlDotnetMixed;
  g.subsystemMajor = o.majorSubsystem;
  g.subsystemMinor = o.minorSubsystem;
  g.oldestWindows = WindowsOf(o.majorSubsystem, o.minorSubsystem);
  for (const std::string& guid : f.supportedOs)
    if (const std::optional<lang::Msg> n = SupportedOs(guid)) g.supportedOs.push_back(*n);
  g.entryPoint = o.addressOfEntryPoint;
  g.entrySection = ctx.map.SectionOf(o.addressOfEntryPoint);
  g.linkTime = h.coff.timeDateStamp;
  g.repro = f.repro;
  g.identity = Identify(ctx, f.marks);
  g.linkerMajor = o.majorLinker;
  g.linkerMinor = o.minorLinker;

  // What hardening checkers ask, each from the flag or table that decides it.
  const std::uint16_t dc = o.dllCharacteristics;
  const bool relocs = DirRva(h, kDirBaseReloc) != 0 && (h.coff.characteristics & kFileRelocsStripped) == 0;
  auto& hd = g.hardening;
  auto yes = [](bool b) -> lang::Msg { return b ? M::GlYes : M::GlNo; };
  if (!(dc & kDllDynamicBase)) hd.push_back({"ASLR", {}, "aslr", M::GlNo, {}, {}});
  else if (!relocs) hd.push_back({"ASLR", {}, "aslr", M::GlNo, M::GlAslrWithoutRelocs, {}});
  else hd.push_back({"ASLR", {}, "aslr", M::GlYes, {}, {}});
  if (o.pe32plus) hd.push_back({{}, M::GlHighEntropyVa, "highEntropyVa", yes(dc & kDllHighEntropyVa), {}, {}});
  hd.push_back({"DEP", {}, "dep", yes(dc & kDllNxCompat), {}, {}});
  const bool cf = (dc & kDllGuardCf) != 0 && (f.guardFlags & kGuardCfInstrumented) != 0;
  hd.push_back({"CFG", {}, "cfg", yes(cf), {}, {}});
  hd.push_back({"/GS", {}, "gs", yes(f.gsCookie), {}, {}});
  if (h.coff.machine == kMachineI386) {
    if (dc & kDllNoSeh) hd.push_back({"SafeSEH", {}, "safeSeh", M::GlNotApplicable, {}, "NO_SEH"});
    else hd.push_back({"SafeSEH", {}, "safeSeh", yes(f.sehTable), {}, {}});
  }
  hd.push_back({"CET", {}, "cet", yes(f.cetCompat), {}, {}});
  return g;
}

}  // namespace kestrova::dumper::pe
