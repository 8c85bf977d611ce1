#pragma once
// The summary that opens the listing: what the file is, how it was built, how
// it is protected and signed, what it holds and where each part starts. Shown
// first, made last: from the headers and the facts the other parts left.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/lang/Lang.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Facts.h"
#include "dumper/lang/catalog/Glance.h"

namespace kestrova::dumper::pe {

// One of the checks that hardening tools run, and what the file says to it.
struct Hardening {
  std::string_view name;            // "ASLR": the check's own name, the same in every language
  std::optional<lang::Msg> named;     // or a name of ours ("high-entropy VA")
  std::string_view key;             // its key in JSON: "aslr"
  lang::Msg state;                    // yes, no, n/a
  std::optional<lang::Msg> why;       // the evidence in our words
  std::string_view flag;            // or the flag's own name ("NO_SEH")
};

struct Glance {
  bool present = false;
  bool image = false;              // a PE image whose headers could be read
  lang::Msg what = lang::M::GlExe;    // DLL, EXE, driver, EFI application, ...
  lang::Msg bits = lang::M::Gl32Bit;
  std::string_view machine;        // "AMD64", or empty when unknown
  std::uint16_t machineCode = 0;
  lang::Msg subsystem = lang::M::GlSubUnknown;
  std::optional<lang::Msg> dotnet;   // IL only, or mixed
  std::string_view oldestWindows;  // from the subsystem version
  std::uint16_t subsystemMajor = 0, subsystemMinor = 0;
  std::vector<lang::Msg> supportedOs;  // the manifest's, by name
  std::uint32_t entryPoint = 0;
  int entrySection = kNoSection;
  std::vector<Hardening> hardening;
  std::uint32_t linkTime = 0;
  bool repro = false;
  std::uint8_t linkerMajor = 0, linkerMinor = 0;
  Findings identity;               // what built it, whether it is packed
  const Facts* facts = nullptr;    // counts, signatures, the PDB path, where parts start
  std::uint64_t anomalies = 0;
};

// The summary from the headers and `*ctx.facts` (which must be set); parses nothing.
Glance ParseGlance(const Context& ctx);

}  // namespace kestrova::dumper::pe
