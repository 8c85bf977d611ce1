#pragma once
// What built a file and whether it is packed: marks that the parts note as they
// read (runtime imports, resource names, the Rich header, the overlay's place,
// the .NET metadata), and the findings worded as evidence that the summary
// opening the listing shows. Identify also reads a few bounded stretches of its
// own (the entry point's first bytes, the header area, the start of the first
// code section, the data sections up to a cap, the overlay's two ends).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::dumper::pe {

struct Context;
struct ImportDll;
struct ResourceLeaf;
struct RichHeader;
namespace clr {
class Metadata;
}

struct RichUse {
  std::uint16_t product = 0, build = 0;
  std::uint32_t uses = 0;
};

// A mark of the table (Marks.def) a parser met: which, and the name it met it in.
struct MarkHit {
  std::uint16_t mark = 0;
  std::string text;
};

struct Marks {
  // From the import tables: the first DLL of each runtime seen, as named in the file.
  std::string gnuRuntime;     // "msvcrt.dll __getmainargs": mingw-w64's start-up code
  std::string gnuLibrary;     // libgcc_s_*.dll, libstdc++-6.dll, libwinpthread-1.dll
  std::string msvcRuntime;    // vcruntime140.dll, msvcr100.dll, ucrtbase.dll ...
  std::string vbRuntime;      // MSVBVM60.DLL / MSVBVM50.DLL
  std::string borlandRuntime; // rtl*.bpl, vcl*.bpl, borlndmm.dll, cc32*.dll
  std::string clrRuntime;     // mscoree.dll _CorExeMain / _CorDllMain
  std::uint64_t importDlls = 0, importFunctions = 0;
  bool loadLibrary = false, getProcAddress = false;
  // From the resources.
  bool dvclal = false, packageInfo = false, autoitScript = false, innoResource = false;
  // From the Rich header (the linker's list of tools), capped.
  bool rich = false;
  std::vector<RichUse> richUses;
  // From the overlay: where it lies (the first piece, and the end of the last).
  std::uint64_t overlayStart = 0, overlaySize = 0, overlayEnd = 0;
  // From the .NET metadata.
  std::string clrVersion;
  // The table's import, resource and .NET type marks the parsers met, each once, capped.
  std::vector<MarkHit> hits;
};

// The notes each parser takes, one call where it already reads the data.
void NoteImport(Marks& m, const ImportDll& dll);
void NoteExport(Marks& m, std::string_view name);
void NoteResource(Marks& m, const ResourceLeaf& leaf);
void NoteRich(Marks& m, const RichHeader& r);
void NoteClr(Marks& m, const clr::Metadata& md);

// A Visual Studio release as the Rich header's product id and build number name it.
struct VsRelease {
  std::string_view release;  // "Visual Studio 2019 16.11"
  std::string_view msvc;     // "MSVC 14.29"
};
std::optional<VsRelease> VisualStudioOf(std::uint16_t product, std::uint16_t build);

// What the file's marks say, by kind, each line with its evidence.
struct Findings {
  std::string linker;                  // "Microsoft LINK 14.29 (...)", or empty
  std::vector<std::string> toolchain;  // compilers and runtimes, or {"toolchain not recognised"}
  std::vector<std::string> packer;     // named packers and protectors
  std::vector<std::string> installer;  // installers and bundlers
  std::vector<std::string> signs;      // general signs of packing when no name fits
  bool toolchainKnown = false;
};

Findings Identify(const Context& ctx, const Marks& m);

}  // namespace kestrova::dumper::pe
