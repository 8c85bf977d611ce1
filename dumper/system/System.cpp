// The portable system view and the loader's search order.
#include "dumper/system/System.h"

#include <algorithm>

#include "dumper/lang/catalog/Dependencies.h"

namespace kestrova::dumper::system {

namespace M = lang::M;

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string_view BaseName(std::string_view path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string LoaderName(std::string_view imported) {
  while (!imported.empty() && imported.back() == ' ') imported.remove_suffix(1);
  std::string name(imported);
  if (BaseName(name).find('.') == std::string_view::npos) name += ".dll";
  return name;
}

std::vector<std::string> FixedKnownDlls() {
  // ntdll.dll is always known: the loader never searches for it.
  return {"advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll",  "difxapi.dll",
          "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",
          "msvcrt.dll",   "normaliz.dll", "nsi.dll",     "ntdll.dll",   "ole32.dll",  "oleaut32.dll",
          "psapi.dll",    "rpcrt4.dll",  "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll",
          "shlwapi.dll",  "user32.dll",  "wldap32.dll", "ws2_32.dll"};
}

std::vector<std::string> KnownDllsFromSystemReg(std::string_view text) {
  // Keys are written "[System\\ControlSet001\\Control\\Session Manager\\KnownDLLs] <time>",
  // relative to HKLM, with each backslash doubled; the current control set is a link to one of them.
  std::vector<std::string> out;
  const std::string want = "\\\\control\\\\session manager\\\\knowndlls]";
  std::size_t pos = 0;
  bool inKey = false;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line[0] == '[') {
      if (inKey) break;
      std::size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      // Most of the file is keys: compare the tail before making a lower-case copy.
      const std::string_view key = line.substr(0, close + 1);
      inKey = key.size() >= want.size() && LowerAscii(key.substr(key.size() - want.size())) == want &&
              LowerAscii(key.substr(0, 9)) == "[system\\\\";
      continue;
    }
    if (!inKey || line.empty() || line[0] != '"') continue;
    // "name"="file.dll"
    std::size_t eq = line.find("\"=\"");
    if (eq == std::string_view::npos) continue;
    std::string_view value = line.substr(eq + 3);
    std::size_t q = value.find('"');
    if (q == std::string_view::npos) continue;
    std::string name = LowerAscii(value.substr(0, q));
    if (name.find('.') == std::string::npos) name += ".dll";
    out.push_back(std::move(name));
  }
  return out;
}

namespace {

std::optional<std::string> FindEntry(Files& files, const std::string& dir, std::string_view lowerName) {
  std::vector<std::string> names;
  if (!files.List(dir, names)) return std::nullopt;
  for (const std::string& n : names)
    if (LowerAscii(n) == lowerName) return JoinPath(dir, n);
  return std::nullopt;
}

}  // namespace

SystemView OpenWindowsRoot(Files& files, const std::string& root, std::vector<std::string> pathDirs) {
  SystemView v;
  auto windows = FindEntry(files, root, "windows");
  if (!windows) {
    std::vector<std::string> probe;
    v.why = lang::Say(lang::Lang::En, files.List(root, probe) ? M::DepWhyNoWindowsIn : M::DepWhyCannotList, {root});
    return v;
  }
  v.windows = *windows;
  v.system32 = FindEntry(files, v.windows, "system32").value_or("");
  v.sysWow64 = FindEntry(files, v.windows, "syswow64").value_or("");
  v.system16 = FindEntry(files, v.windows, "system").value_or("");
  if (v.system32.empty()) {
    v.why = lang::Say(lang::Lang::En, M::DepWhyNoSystem32In, {v.windows});
    return v;
  }
  v.present = true;
  v.path = std::move(pathDirs);
  // A Wine prefix keeps its registry beside drive_c.
  std::string error;
  if (auto reg = files.Open(JoinPath(root, "../system.reg"), error)) {
    auto b = reg->Bytes();
    v.knownDlls = KnownDllsFromSystemReg({reinterpret_cast<const char*>(b.data()), b.size()});
    if (!v.knownDlls.empty()) v.knownFrom = SystemView::KnownFrom::SystemReg;
  }
  if (v.knownDlls.empty()) v.knownDlls = FixedKnownDlls();
  return v;
}

lang::Msg RuleWords(Rule r) {
  switch (r) {
    case Rule::Loaded: return M::DepRuleLoaded;
    case Rule::SideBySide: return M::DepRuleSideBySide;
    case Rule::KnownDlls: return M::DepRuleKnownDlls;
    case Rule::AppFolder: return M::DepRuleAppFolder;
    case Rule::SystemFolder: return M::DepRuleSystemFolder;
    case Rule::System16Folder: return M::DepRuleSystem16Folder;
    case Rule::WindowsFolder: return M::DepRuleWindowsFolder;
    case Rule::PathFolder: return M::DepRulePath;
    case Rule::NotFound: return M::DepRuleNotFound;
  }
  return M::DepRuleNotFound;
}

std::string_view RuleName(Rule r) { return lang::Text(RuleWords(r), lang::Lang::En); }

Locator::Locator(Files& files, const SystemView& sys, std::string appDir, bool wow64)
    : files_(files), sys_(sys), appDir_(std::move(appDir)) {
  systemFolder_ = wow64 && !sys.sysWow64.empty() ? sys.sysWow64 : sys.system32;
}

std::optional<std::string> Locator::InFolder(const std::string& dir, const std::string& lowerName) {
  if (dir.empty()) return std::nullopt;
  auto it = folders_.find(dir);
  if (it == folders_.end()) {
    std::vector<std::string> names;
    std::unordered_map<std::string, std::string> index;
    if (files_.List(dir, names)) {
      index.reserve(names.size());
      for (std::string& n : names) {
        std::string key = LowerAscii(n);
        index.emplace(std::move(key), std::move(n));
      }
    }
    it = folders_.emplace(dir, std::move(index)).first;
  }
  auto hit = it->second.find(lowerName);
  if (hit == it->second.end()) return std::nullopt;
  return JoinPath(dir, hit->second);
}

Located Locator::Find(std::string_view name) {
  const std::string lower = LowerAscii(LoaderName(name));
  if (!sys_.present) {
    if (auto p = InFolder(appDir_, lower)) return {Rule::AppFolder, *p};
    return {};
  }
  if (std::find(sys_.knownDlls.begin(), sys_.knownDlls.end(), lower) != sys_.knownDlls.end())
    if (auto p = InFolder(systemFolder_, lower)) return {Rule::KnownDlls, *p};
  if (auto p = InFolder(appDir_, lower)) return {Rule::AppFolder, *p};
  if (auto p = InFolder(systemFolder_, lower)) return {Rule::SystemFolder, *p};
  if (auto p = InFolder(sys_.system16, lower)) return {Rule::System16Folder, *p};
  if (auto p = InFolder(sys_.windows, lower)) return {Rule::WindowsFolder, *p};
  for (const std::string& dir : sys_.path)
    if (auto p = InFolder(dir, lower)) return {Rule::PathFolder, *p};
  return {};
}

}  // namespace kestrova::dumper::system
