#pragma once
// The system a program is resolved against: its folders, its KnownDLLs, and
// the search order the loader of a desktop program follows (safe search mode).
// The portable half reads a folder laid out like a Windows drive
// (--windows-root, such as a Wine prefix's drive_c); the Windows half fills
// the same record from the running system.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dumper/lang/Lang.h"
#include "dumper/system/Files.h"

namespace kestrova::dumper::system {

struct SystemView {
  bool present = false;
  std::string why;  // when not present: what is missing
  std::string windows, system32, sysWow64, system16;  // found folders; empty when absent
  std::vector<std::string> knownDlls;                 // lower-case file names
  enum class KnownFrom : std::uint8_t { Registry, SystemReg, FixedList };
  KnownFrom knownFrom = KnownFrom::FixedList;
  std::vector<std::string> path;  // the PATH folders, in order
};

// The KnownDLLs values of a Wine registry file's text (system.reg):
// lower-case file names, empty when the key is not there.
std::vector<std::string> KnownDllsFromSystemReg(std::string_view text);

// The list Windows 10 and later keep in the registry, for a root that has none
// of its own (a Wine prefix's registry has no such key).
std::vector<std::string> FixedKnownDlls();

// The system under `root` (a folder holding "Windows", in any case). KnownDLLs
// come from the system.reg beside it (a Wine prefix) or the fixed list.
SystemView OpenWindowsRoot(Files& files, const std::string& root, std::vector<std::string> pathDirs = {});

// Where the loader found a DLL.
enum class Rule : std::uint8_t {
  Loaded, SideBySide, KnownDlls, AppFolder, SystemFolder, System16Folder, WindowsFolder, PathFolder, NotFound
};
// Its words in the catalog; RuleName gives them in English (JSON's word).
lang::Msg RuleWords(Rule r);
std::string_view RuleName(Rule r);

struct Located {
  Rule rule = Rule::NotFound;
  std::string path;
};

// Finds DLL files by name, case-insensitively, listing each folder at most once.
class Locator {
 public:
  // `wow64`: a 32-bit program on 64-bit Windows, whose system folder is SysWOW64.
  Locator(Files& files, const SystemView& sys, std::string appDir, bool wow64);
  // The search order after API sets and the modules already loaded: KnownDLLs,
  // the application folder, the system folder, the 16-bit system folder, the
  // Windows folder, then PATH. A name without an extension gets ".dll".
  Located Find(std::string_view name);
  const std::string& SystemFolder() const { return systemFolder_; }
  // Folders listed so far, for the bench.
  std::size_t FoldersListed() const { return folders_.size(); }

 private:
  std::optional<std::string> InFolder(const std::string& dir, const std::string& lowerName);
  Files& files_;
  const SystemView& sys_;
  std::string appDir_, systemFolder_;
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> folders_;
};

std::string LowerAscii(std::string_view s);
// The file name of a path (after the last '/' or '\\').
std::string_view BaseName(std::string_view path);
// The name the loader looks for: ".dll" added when there is no extension,
// trailing spaces dropped.
std::string LoaderName(std::string_view imported);

}  // namespace kestrova::dumper::system
