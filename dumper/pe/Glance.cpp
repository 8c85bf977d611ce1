#include "dumper/pe/Glance.h"

#include "dumper/pe/Constants.h"
#include "dumper/pe/Manifest.h"

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

std::string_view SubsystemWord(std::uint16_t s) {
  switch (s) {
    case 1: return "native";
    case 2: return "GUI";
    case 3: return "console";
    case 5: return "OS/2 console";
    case 7: return "POSIX console";
    case 9: return "Windows CE GUI";
    case 10: return "EFI application";
    case 11: return "EFI boot service driver";
    case 12: return "EFI runtime driver";
    case 13: return "EFI ROM";
    case 14: return "Xbox";
    case 16: return "boot application";
    default: return "unknown subsystem";
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
  g.bits = o.pe32plus ? "64-bit" : "32-bit";
  g.machineCode = h.coff.machine;
  if (const Named* m = Find(Machines(), h.coff.machine)) g.machine = m->name;
  const bool dll = (h.coff.characteristics & kFileDll) != 0;
  g.subsystem = SubsystemWord(o.subsystem);
  if (o.subsystem >= 10 && o.subsystem <= 13) g.what = g.subsystem;
  else if (o.subsystem == 1) g.what = "driver";
  else if (dll && o.addressOfEntryPoint == 0 && !HasCode(h) && DirRva(h, kDirResource) != 0) g.what = "resource-only DLL";
  else g.what = dll ? "DLL" : "EXE";
  if (f.clr) g.dotnet = f.ilOnly ? ".NET, IL only" : ".NET, mixed (IL and native code)";
  g.subsystemMajor = o.majorSubsystem;
  g.subsystemMinor = o.minorSubsystem;
  g.oldestWindows = WindowsOf(o.majorSubsystem, o.minorSubsystem);
  for (const std::string& guid : f.supportedOs)
    if (std::string_view n = SupportedOsName(guid); !n.empty()) g.supportedOs.push_back(n);
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
  if (!(dc & kDllDynamicBase)) hd.push_back({"ASLR", "aslr", "no", ""});
  else if (!relocs) hd.push_back({"ASLR", "aslr", "no", "DYNAMIC_BASE without relocations"});
  else hd.push_back({"ASLR", "aslr", "yes", ""});
  if (o.pe32plus) hd.push_back({"high-entropy VA", "highEntropyVa", (dc & kDllHighEntropyVa) ? "yes" : "no", ""});
  hd.push_back({"DEP", "dep", (dc & kDllNxCompat) ? "yes" : "no", ""});
  const bool cf = (dc & kDllGuardCf) != 0 && (f.guardFlags & kGuardCfInstrumented) != 0;
  hd.push_back({"CFG", "cfg", cf ? "yes" : "no", ""});
  hd.push_back({"/GS", "gs", f.gsCookie ? "yes" : "no", ""});
  if (h.coff.machine == kMachineI386) {
    if (dc & kDllNoSeh) hd.push_back({"SafeSEH", "safeSeh", "n/a", "NO_SEH"});
    else hd.push_back({"SafeSEH", "safeSeh", f.sehTable ? "yes" : "no", ""});
  }
  hd.push_back({"CET", "cet", f.cetCompat ? "yes" : "no", ""});
  return g;
}

}  // namespace kestrova::dumper::pe
