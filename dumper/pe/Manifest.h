#pragma once
// The side-by-side manifests (MANIFEST resources): their text, and the facts
// a reader looks for, read with a small XML reader of our own.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/lang/Lang.h"
#include "dumper/pe/Resources.h"

namespace kestrova::dumper::pe {

struct ManifestAssembly {
  std::string name, version, architecture, publicKeyToken, type, language;
};

struct Manifest {
  ResourceLeaf leaf;
  lang::Msg encoding;         // what the text was found to be
  std::string text;           // as UTF-8 (UTF-16 converted); bytes as found when neither
  std::string executionLevel, uiAccess, dpiAware, dpiAwareness, longPathAware, activeCodePage, heapType;
  bool hasExecutionLevel = false;
  std::vector<std::string> supportedOs;  // the GUIDs as written
  std::vector<ManifestAssembly> dependencies;
  std::vector<std::string> files;  // an assembly's own manifest: the files it holds
};

struct ManifestList {
  bool present = false;
  std::vector<Manifest> manifests;
};

// The Manifest part's records. When the Dependencies part has already read
// them (for the side-by-side assemblies), they are taken from there, not read again.
ManifestList ParseManifest(const Context& ctx);
// The records read once per listing and kept (in ctx.facts) for the Manifest
// part; read without keeping when there is no Facts.
std::shared_ptr<const ManifestList> SharedManifest(const Context& ctx);

// The files an assembly's manifest (one in WinSxS's manifests folder) names,
// read with the same XML reader; empty when the text is not well-formed.
std::vector<std::string> AssemblyFiles(std::string_view text);

// The operating systems a manifest can declare itself compatible with: the
// system's name in the catalog, or nothing for a GUID we do not know.
std::optional<lang::Msg> SupportedOs(std::string_view guid);
// The same name in English, as JSON and At a glance give it; empty when unknown.
std::string_view SupportedOsName(std::string_view guid);
// What the loader takes a manifest resource id to be for.
lang::Msg ManifestIdMeaning(std::uint32_t id);

}  // namespace kestrova::dumper::pe
