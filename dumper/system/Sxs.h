#pragma once
// Side-by-side assemblies: the dependent assemblies of a program's manifest
// (Common Controls 6, the VC 8 and 9 runtimes ...) bound in the Windows
// folder's WinSxS store, which the loader consults before any other folder
// for the DLLs those assemblies hold.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/system/Files.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::system {

struct Assembly {
  std::string name, version, architecture, publicKeyToken, language;
};

// One DLL an assembly provides, and where it was bound.
struct SxsDll {
  std::string dll;       // lower-case file name
  std::string assembly;  // "Name version", the version bound (or asked for, when not bound)
  std::string path;      // empty when not bound
};

struct SxsBinding {
  Assembly asked;
  std::string folder;          // the assembly's folder in WinSxS; empty when not bound
  std::string version;         // the version bound
  bool judged = false;         // false: no WinSxS folder to look in
  std::vector<SxsDll> dlls;    // from its manifest; the usual files when it is not bound
};

// The WinSxS folder name's architecture for a machine ("x86", "amd64" ...).
std::string_view SxsArchitecture(std::uint16_t machine);

// Binds each assembly as the loader does: the same name, architecture ("*"
// meaning the program's), public key token and language, the same major and
// minor version and the highest build.revision not below the one asked for
// (what the publisher policies of these assemblies allow). Reads the
// manifests folder's listing once and only the manifests of assemblies bound;
// binds the first 32 assemblies asked for, no more.
std::vector<SxsBinding> BindAssemblies(Files& files, const SystemView& sys, std::uint16_t machine,
                                       const std::vector<Assembly>& asked);

}  // namespace kestrova::dumper::system
