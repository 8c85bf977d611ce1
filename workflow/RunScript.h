#pragma once
// Which names the run script may carry bare, and the script itself.
//
// cmd reads a batch file in the OEM code page and gives meaning to many
// characters (& | < > ^ % ! ( ) , ; = blanks ...), re-expanding % even inside
// quotes and inside substituted values. So instead of quoting, a name that is
// not plainly inert is never put in the script: the working copy and the
// output are staged under plain aliases, and the poll renames the output to
// the listing's real name once cmd has let go of it.
#include <string>
#include <string_view>

#include "workflow/Platform.h"

namespace kestrova::workflow {

inline constexpr char16_t kDumperName[] = u"tdump.exe";
inline constexpr char16_t kScriptName[] = u"tdump.bat";
inline constexpr char16_t kListingSuffix[] = u".txt";

// True when `name` can stand bare in the script and mean the same file to cmd:
// ASCII letters, digits and a few inert signs, or non-ASCII characters that the
// ANSI and OEM code pages both encode, and alike; not a device name, not the
// dumper's or script's own name, no leading "-" (the dumper would take it for
// an option), no trailing dot.
bool NeedsNoQuoting(std::u16string_view name, Platform& platform);

// Names, inside the work area, of one staging.
struct StagedNames {
  std::u16string copy;     // the working copy
  std::u16string output;   // what the script redirects into
  std::u16string listing;  // name part + ".txt"
  bool aliased = false;    // copy and output are aliases
};
// Names that fit no path within the work area (the listing's path must stay
// under the classic 260-character limit, which cmd's redirection obeys) are
// staged under the aliases too; their listing is then read where it lands.
//
// Aliases are "input.EXT" and "listing.txt"; `aliasSerial` n > 0 makes them
// "input-n.EXT" and "listing-n.txt", for when an earlier run still holds those.
inline constexpr std::size_t kMaxPath = 260;
StagedNames PlanNames(std::u16string_view namePart, Platform& platform,
                      std::size_t workAreaLength = 0, unsigned aliasSerial = 0);

// "tdump.exe COPY > OUTPUT" CR LF in the ANSI code page, with no byte-order
// mark: cmd does not skip one, not even under code page 65001. `option`, when
// given, goes between the dumper and the copy.
Bytes RunScript(const StagedNames& names, Platform& platform, std::u16string_view option = {});

// Names of the run that makes a .def: never the user's name, so that nothing
// of it reaches cmd, and apart from the listing's names, so that a listing run
// still going is not disturbed. `serial` n > 0 makes "definition-n.*".
struct DefinitionNames {
  std::u16string copy;    // "definition.EXT"
  std::u16string output;  // "definition.def"
  std::u16string script;  // "definition.bat"
};
DefinitionNames PlanDefinition(std::u16string_view namePart, unsigned serial);

// Names of a comparison run, of our own for the same reasons: the older file
// (the one on show) "compare-old.EXT", the newer "compare-new.EXT", the output
// "comparison.txt" and the script "compare.bat"; `serial` n > 0 adds "-n".
struct ComparisonNames {
  std::u16string older, newer, output, script;
};
ComparisonNames PlanComparison(std::u16string_view olderName, std::u16string_view newerName, unsigned serial);

}  // namespace kestrova::workflow
