// Side-by-side binding in WinSxS, from the folder names alone plus the bound
// assembly's manifest for the files it holds.
#include "dumper/system/Sxs.h"

#include <array>
#include <optional>

#include "dumper/io/Format.h"
#include "dumper/pe/Manifest.h"

namespace kestrova::dumper::system {

namespace {

using Version = std::array<std::uint32_t, 4>;

std::optional<Version> ParseVersion(std::string_view s) {
  Version v{};
  std::size_t part = 0;
  bool digit = false;
  for (char c : s) {
    if (c == '.') {
      if (!digit || ++part == v.size()) return std::nullopt;
      digit = false;
    } else if (c >= '0' && c <= '9') {
      v[part] = v[part] * 10 + static_cast<std::uint32_t>(c - '0');
      if (v[part] > 65535) return std::nullopt;
      digit = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digit || part != v.size() - 1) return std::nullopt;
  return v;
}

// The files of the assemblies met most, for naming the DLLs of one that is not bound.
std::vector<std::string> UsualFiles(std::string_view lowerName) {
  if (lowerName == "microsoft.windows.common-controls") return {"comctl32.dll"};
  if (lowerName == "microsoft.vc80.crt") return {"msvcr80.dll", "msvcp80.dll", "msvcm80.dll"};
  if (lowerName == "microsoft.vc90.crt") return {"msvcr90.dll", "msvcp90.dll", "msvcm90.dll"};
  if (lowerName == "microsoft.windows.gdiplus") return {"gdiplus.dll"};
  return {};
}

constexpr std::string_view kSuffix = ".manifest";
constexpr std::uint64_t kManifestCap = 1u << 20;  // an assembly manifest is a few KiB
// A program names a handful; each costs a pass over the store's listing (tens
// of thousands of names on Windows), so a hostile manifest's thousands do not.
constexpr std::size_t kMaxAssemblies = 32;

}  // namespace

std::string_view SxsArchitecture(std::uint16_t machine) {
  switch (machine) {
    case 0x014c: return "x86";
    case 0x8664: return "amd64";
    case 0xaa64: return "arm64";
    case 0x01c4: return "arm";
    case 0x0200: return "ia64";
    default: return "";
  }
}

std::vector<SxsBinding> BindAssemblies(Files& files, const SystemView& sys, std::uint16_t machine,
                                       const std::vector<Assembly>& asked) {
  std::vector<SxsBinding> out;
  if (asked.empty()) return out;
  // Names in WinSxS are lower case; a store copied by hand may not be.
  std::string store, manifests;
  std::vector<std::string> names;
  if (sys.present && files.List(sys.windows, names))
    for (const std::string& n : names)
      if (LowerAscii(n) == "winsxs") store = JoinPath(sys.windows, n);
  names.clear();
  if (!store.empty() && files.List(store, names)) {
    for (const std::string& n : names)
      if (LowerAscii(n) == "manifests") manifests = JoinPath(store, n);
  }
  std::vector<std::string> entries;
  if (!manifests.empty()) files.List(manifests, entries);

  for (const Assembly& a : asked) {
    if (out.size() == kMaxAssemblies) break;
    SxsBinding b;
    b.asked = a;
    b.version = a.version;
    b.judged = !manifests.empty();
    const std::string name = LowerAscii(a.name);
    std::string arch = LowerAscii(a.architecture);
    if (arch.empty() || arch == "*") arch = std::string(SxsArchitecture(machine));
    std::string lang = LowerAscii(a.language);
    if (lang == "*" || lang == "neutral") lang.clear();
    const std::string prefix = arch + "_" + name + "_" + LowerAscii(a.publicKeyToken) + "_";
    const auto want = ParseVersion(a.version);
    std::optional<Version> best;
    std::string bestEntry;
    if (want && !a.publicKeyToken.empty()) {
      for (const std::string& e : entries) {
        const std::string low = LowerAscii(e);
        if (low.size() <= prefix.size() + kSuffix.size() || !low.starts_with(prefix) || !low.ends_with(kSuffix))
          continue;
        // <version>_<language>_<hash>
        const std::string_view rest = std::string_view(low).substr(prefix.size(), low.size() - prefix.size() - kSuffix.size());
        const std::size_t u1 = rest.find('_');
        const std::size_t u2 = u1 == std::string_view::npos ? u1 : rest.find('_', u1 + 1);
        if (u2 == std::string_view::npos) continue;
        const auto v = ParseVersion(rest.substr(0, u1));
        const std::string_view l = rest.substr(u1 + 1, u2 - u1 - 1);
        if (!v || (*v)[0] != (*want)[0] || (*v)[1] != (*want)[1] || *v < *want) continue;
        if (lang.empty() ? l != "none" : l != lang) continue;
        if (!best || *v > *best) {
          best = v;
          bestEntry = e;
        }
      }
    }
    std::vector<std::string> dllNames;
    if (best) {
      b.folder = JoinPath(store, bestEntry.substr(0, bestEntry.size() - kSuffix.size()));
      b.version = io::Dec((*best)[0]) + "." + io::Dec((*best)[1]) + "." + io::Dec((*best)[2]) + "." + io::Dec((*best)[3]);
      std::string error;
      if (auto f = files.Open(JoinPath(manifests, bestEntry), error)) {
        auto bytes = f->Bytes();
        if (bytes.size() <= kManifestCap)
          dllNames = pe::AssemblyFiles({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
      }
    }
    if (dllNames.empty()) dllNames = UsualFiles(name);
    std::vector<std::string> inFolder;
    if (!b.folder.empty()) files.List(b.folder, inFolder);
    for (const std::string& d : dllNames) {
      SxsDll s;
      s.dll = LowerAscii(BaseName(d));
      s.assembly = a.name + " " + b.version;
      for (const std::string& n : inFolder)
        if (LowerAscii(n) == s.dll) s.path = JoinPath(b.folder, n);
      b.dlls.push_back(std::move(s));
    }
    out.push_back(std::move(b));
  }
  return out;
}

}  // namespace kestrova::dumper::system
