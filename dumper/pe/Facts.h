#pragma once
// What the parts leave for the summary that opens the listing ("At a glance"):
// each parser notes the few facts of its records that the summary needs as it
// reads them, so nothing is read twice and no part's records are kept.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dumper/pe/Identify.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::pe {

struct ManifestList;

struct SignatureFacts {
  std::string signer;        // the signer certificate's common name, or its full name
  std::string digestOid;
  bool digestChecked = false;  // the file's digest was computed with the signed algorithm
  bool digestMatches = false;
  std::string stampTime;     // the first time stamp's time, or the signing time
  std::string stampAuthority;
};

// What the parts of the other file kinds (kinds/Parts.cpp) leave for the
// summary: the questions a library, an object or an NE file is opened for.
// Names are views into the file, which outlives the listing.
struct LibraryFacts {
  bool present = false;
  std::uint64_t members = 0;       // ordinary members: not the symbol indexes or the long names
  std::uint64_t shortImports = 0, longImports = 0;  // import members of each form
  std::uint64_t objects = 0;       // objects of code or data, big objects too
  std::uint64_t ltcgObjects = 0;   // objects compiled with /GL: only the linker reads them
  std::uint64_t others = 0;
  std::uint64_t defined = 0;       // external symbols the objects define
  bool complete = true;            // false: the walk stopped early (damage or its budget)
  std::vector<std::uint16_t> machines;  // distinct, first seen first
  // The imports, when the library has any.
  std::vector<std::string_view> dlls;   // first named first
  std::uint64_t functions = 0, byName = 0, byOrdinal = 0, data = 0, constants = 0;
};

struct CompilerNote {
  enum class From : std::uint8_t { Comment, GccIdent, CompileRecord, CompId, LlvmSection };
  From from = From::Comment;
  std::string_view text;           // the object's own words (.comment, the compile record)
  std::uint16_t product = 0, build = 0;  // @comp.id
  std::uint16_t major = 0, minor = 0, patch = 0;  // the compile record's front-end version
};

struct ObjectFacts {
  bool present = false;
  bool bigObject = false, ltcg = false;
  std::uint16_t machine = 0;
  std::uint64_t sections = 0, symbols = 0, defined = 0, needed = 0, weak = 0;
  std::vector<CompilerNote> compiledBy;
};

struct NeFacts {
  bool present = false;
  bool library = false;
  std::string_view module, description;
  std::uint8_t targetOs = 0;
  std::uint16_t expectedWindows = 0;  // major in the high byte
  std::uint64_t entries = 0, exported = 0, constants = 0, moduleRefs = 0;
  std::uint16_t cs = 0, ip = 0;       // a program's start
};

struct Facts {
  std::string_view otherKind;  // a file that is no PE image but a kind read here: what it is
  LibraryFacts library;
  ObjectFacts object;
  NeFacts ne;
  // The part that answers what the file is opened for, named first under
  // "Where to look" (0: the parts in their order).
  std::size_t leadArea = 0;
  std::uint64_t importDlls = 0, importFunctions = 0, delayDlls = 0, delayFunctions = 0;
  std::uint64_t exports = 0, forwarded = 0;  // counted as the exports are walked
  std::uint64_t resources = 0;
  std::string pdbPath;
  bool repro = false;        // a REPRO debug entry: the time stamps are a hash
  bool cetCompat = false;    // EX_DLLCHARACTERISTICS says CET_COMPAT
  bool loadConfig = false;
  bool gsCookie = false;     // the load configuration names a security cookie
  bool sehTable = false;     // SEHandlerTable is set (32-bit SafeSEH)
  std::uint64_t sehHandlers = 0;
  std::uint32_t guardFlags = 0;
  std::vector<std::string> supportedOs;  // the manifest's GUIDs
  std::string executionLevel;
  bool signatureTable = false;            // a certificate table, signed or not
  std::vector<SignatureFacts> signatures;  // top-level signatures, the file's own first
  bool clr = false, ilOnly = false;
  std::uint64_t clrTypes = 0, clrMethods = 0;
  std::string targetFramework;
  // The dependency walk's verdict (Dependencies).
  bool depsWalked = false, depsLoads = false;
  std::uint64_t depsModules = 0, depsDllsMissing = 0, depsFunctionsMissing = 0, depsBadImages = 0;
  std::uint64_t depsDelayedFailures = 0, depsAssembliesMissing = 0;
  // Where each DLL the program imports was found (lower-case name as imported, path),
  // for the Exports part to follow a thunk into it.
  std::vector<std::pair<std::string, std::string>> depsPaths;
  // The manifests, when the Dependencies part needed them before the Manifest
  // part: read once, kept until the Manifest part takes them.
  std::shared_ptr<ManifestList> manifests;
  // The listing's line on which each part's title stands (0: not shown), by
  // area, counted from the parts' first line; lineBase is the lines before it.
  std::array<std::uint64_t, kAreaCount> startLine{};
  std::uint64_t lineBase = 0;
  Marks marks;
};

}  // namespace kestrova::dumper::pe
