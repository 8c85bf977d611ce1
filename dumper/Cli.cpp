#include "dumper/Cli.h"

#include <new>
#include <optional>
#include <string>

#include "dumper/DefFile.h"
#include "dumper/Many.h"
#include "dumper/banner.h"
#include "dumper/system/Closure.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"
#include "dumper/lang/catalog/Cli.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Compare.h"

namespace kestrova::dumper {

namespace {

using lang::Msg;
namespace M = lang::M;

// The parts come from the listing's own table, so the text cannot fall behind it.
void WriteUsage(Sink& out, lang::Lang l) {
  std::string text(lang::Text(M::UsageHead, l));
  std::string line = " ";
  auto titles = PartTitles();
  for (std::size_t i = 0; i <= titles.size(); ++i) {
    const std::string word = i < titles.size() ? lang::Say(l, M::UsagePart, {lang::Text(titles[i], l)})
                                               : lang::Say(l, M::UsagePartLast, {lang::Text(M::TitleAnomalies, l)});
    if (lang::DisplayWidth(line) + lang::DisplayWidth(word) > 78) {
      text += line + "\n";
      line = " ";
    }
    line += word;
  }
  text += line + "\n";
  text += lang::Text(M::UsageOnlyRead, l);
  text += "\n";
  text += lang::Text(M::UsageOptions, l);
  text += lang::Text(M::UsageLang, l);
  text += lang::Text(M::UsageTail, l);
  out.Write(text);
}

// A width in columns, or 0 when `s` is not one the listing can be laid out in.
std::size_t Columns(std::string_view s) {
  std::size_t n = 0;
  if (s.empty() || s.size() > 4) return 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n >= 40 && n <= 1000 ? n : 0;
}

}  // namespace

int RunCli(std::span<const std::string> args, FileSource& files, Sink& out) {
  std::vector<std::size_t> names;
  Options opts;
  std::string windowsRoot, appDir;
  bool options = true;
  bool def = false, help = false, diff = false;
  std::optional<std::string> find;
  // The language and the width come first: every later text is in that language.
  std::optional<std::string> langName, width;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if ((args[i] == "--lang" || args[i] == "--width") && i + 1 < args.size()) {
      std::optional<std::string>& slot = args[i] == "--lang" ? langName : width;
      slot = args[++i];
    }
  }
  opts.lang = lang::Choose(files.Environment("KESTROVA_LANG"), files.UserLanguage());
  if (langName) {
    auto l = lang::Parse(*langName);
    if (!l) {
      out.Write(lang::Say(opts.lang, M::CliBadLang, {*langName, lang::kNames}));
      return 1;
    }
    opts.lang = *l;
  }
  const lang::Lang ui = opts.lang;
  // A .def file's comments follow the language only when the user named it:
  // the file goes to build tools and other machines, not to this reader's screen.
  lang::Lang defLang = lang::Parse(files.Environment("KESTROVA_LANG")).value_or(lang::Lang::En);
  if (langName) defLang = ui;
  if (width) {
    opts.wrap = Columns(*width);
    if (opts.wrap == 0) {
      out.Write(lang::Say(ui, M::CliBadWidth, {*width}));
      return 1;
    }
  } else {
    // The window tells the carried tool its width this way; a value it cannot use means none.
    opts.wrap = Columns(files.Environment("KESTROVA_WIDTH"));
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Only these exact words are options: anything else, even "-x.dll", is a file name.
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--lang" || a == "--width")) {
      if (i + 1 >= args.size()) {
        out.Write(lang::Say(ui, M::CliNeedsValue, {a}));
        return 1;
      }
      ++i;  // taken above
    } else if (options && (a == "--help" || a == "-h" || a == "/?")) {
      help = true;
      break;
    } else if (options && a == "--json") {
      opts.json = true;
    } else if (options && (a == "--raw" || a == "--no-demangle")) {
      opts.demangle = false;
    } else if (options && (a == "--windows-root" || a == "--app-dir") && i + 1 < args.size()) {
      (a == "--windows-root" ? windowsRoot : appDir) = args[++i];
    } else if (options && a == "--no-deps") {
      opts.noDeps = true;
    } else if (options && a == "--no-usage") {
      opts.exportUsage = false;  // for the benchmark only, so not in the usage text
    } else if (options && a == "--def") {
      def = true;
    } else if (options && a == "--diff") {
      diff = true;
    } else if (options && a == "--find") {
      if (i + 1 >= args.size()) {
        out.Write(lang::Text(M::FindNeedsName, ui));
        return 1;
      }
      find = args[++i];
    } else if (options && a == "--version") {
      out.Write(kBanner);
      out.Write("\n");
      return 0;
    } else {
      names.push_back(i);
    }
  }
  if (help) {
    out.Write(kBanner);
    out.Write("\n\n");
    WriteUsage(out, ui);
    return 0;
  }
  if (names.empty()) {
    out.Write(kBanner);
    out.Write("\n\n");
    out.Write(lang::Text(M::CliNoFile, ui));
    out.Write("\n");
    WriteUsage(out, ui);
    return 1;
  }
  if (diff) {
    if (names.size() != 2) {
      out.Write(lang::Text(M::CmpTwoFiles, ui));
      return 2;
    }
    return RunDiff(args, names[0], names[1], files, out, opts);
  }
  if (find) {
    std::vector<std::string> paths;
    for (std::size_t i : names) paths.push_back(args[i]);
    system::Files* fs = files.SystemFiles();
    if (paths.empty() || fs == nullptr) {
      out.Write(lang::Text(M::FindNeedsName, ui));
      return 1;
    }
    Options english = opts;
    if (opts.json) english.lang = lang::Lang::En;
    return RunFind(*find, paths, *fs, out, english);
  }
  // The system the Dependencies part resolves against: read once for all the files.
  system::Environment env;
  env.files = files.SystemFiles();
  if (env.files != nullptr && !windowsRoot.empty()) env.view = system::OpenWindowsRoot(*env.files, windowsRoot);
  else if (!windowsRoot.empty()) env.view.why = "this build cannot read other files";
  else if (!files.RunningSystem(env.view)) env.view.why = "--windows-root DIR names one";
  if (appDir.empty()) appDir = files.AppDirHint();
  if (!opts.noDeps) opts.deps = &env;
  if (def && names.size() != 1) {
    // One .def names one library.
    out.Write(lang::Text(M::CliDefOneFile, ui));
    return 1;
  }
  int rc = 0;
  std::vector<std::uint8_t> bytes;
  bool first = true;
  for (std::size_t k = 0; k < names.size(); ++k) {
    std::size_t i = names[k];
    // A folder: every file under it that the tool reads.
    if (!def && files.SystemFiles() != nullptr && IsFolder(*files.SystemFiles(), args[i])) {
      if (ListFolder(args[i], *files.SystemFiles(), out, opts, appDir, first) != 0) rc = 1;
      continue;
    }
    if (!first && !opts.json) out.Write("\n");
    first = false;
    std::string error;
    bytes.clear();
    bool ok = false;
    try {
      ok = files.Read(i, bytes, error);
    } catch (const std::bad_alloc&) {
      error = lang::Text(M::CliNotEnoughMemory, ui);
    }
    if (!ok) {
      // Names and system texts are shown escaped like any other bytes.
      CannotRead(out, opts, args[i], error);
      rc = 1;
      continue;
    }
    env.program = args[i];
    env.appDir = appDir;
    if (appDir.empty()) {
      const std::size_t slash = args[i].find_last_of("/\\");
      env.appDir = slash == std::string::npos ? "." : args[i].substr(0, slash == 0 ? 1 : slash);
    }
    std::span<const std::uint8_t> mapped = files.Mapped();
    if (def) {
      rc = WriteDefFile(mapped.empty() ? std::span<const std::uint8_t>(bytes) : mapped, args[i], out, opts.deps, defLang,
                        ui);
      continue;
    }
    if (mapped.empty()) DumpImage(bytes, args[i], out, nullptr, opts);
    else DumpImage(mapped, args[i], out, files.Pages(), opts);
    // Release the buffer between files so a huge one does not linger.
    std::vector<std::uint8_t>().swap(bytes);
  }
  return rc;
}

}  // namespace kestrova::dumper
