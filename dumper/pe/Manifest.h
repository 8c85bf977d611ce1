#pragma once
// The side-by-side manifests (MANIFEST resources): their text, and the facts
// a reader looks for, read with a small XML reader of our own.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/pe/Resources.h"

namespace kestrova::dumper::pe {

struct ManifestAssembly {
  std::string name, version, architecture, publicKeyToken, type;
};

struct Manifest {
  ResourceLeaf leaf;
  std::string_view encoding;  // what the text was found to be
  std::string text;           // as UTF-8 (UTF-16 converted); bytes as found when neither
  std::string executionLevel, uiAccess, dpiAware, dpiAwareness, longPathAware, activeCodePage, heapType;
  bool hasExecutionLevel = false;
  std::vector<std::string> supportedOs;  // the GUIDs as written
  std::vector<ManifestAssembly> dependencies;
};

struct ManifestList {
  bool present = false;
  std::vector<Manifest> manifests;
};

ManifestList ParseManifest(const Context& ctx);

// The operating systems a manifest can declare itself compatible with.
std::string_view SupportedOsName(std::string_view guid);
// What the loader takes a manifest resource id to be for.
std::string_view ManifestIdMeaning(std::uint32_t id);

}  // namespace kestrova::dumper::pe
