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

struct Facts {
  std::string_view otherKind;  // a file that is no PE image but a kind read here: what it is
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
