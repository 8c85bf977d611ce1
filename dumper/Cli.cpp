#include "dumper/Cli.h"

#include <new>
#include <string>

#include "dumper/DefFile.h"
#include "dumper/banner.h"
#include "dumper/system/Closure.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"

namespace kestrova::dumper {

namespace {

// The parts come from the listing's own table, so the text cannot fall behind it.
void WriteUsage(Sink& out) {
  std::string text =
      "Usage: tdump FILE...\n"
      "       tdump --def FILE\n"
      "Writes a listing of each Windows executable or DLL (PE file) to standard output,\n"
      "in these parts, each present only when the file has it:\n";
  std::string line = " ";
  auto titles = PartTitles();
  for (std::size_t i = 0; i < titles.size(); ++i) {
    std::string word = " " + std::string(titles[i]) + ",";
    if (line.size() + word.size() > 78) {
      text += line + "\n";
      line = " ";
    }
    line += word;
  }
  line += " Anomalies.";
  text += line + "\n";
  text +=
      "The file is only read, never loaded or run.\n"
      "\n"
      "  --json       one JSON object per file, on one line (JSON Lines), with\n"
      "               the same facts as the listing\n"
      "  --raw        names as they are in the file, without the readable form\n"
      "               of mangled C++ names (also --no-demangle)\n"
      "  --windows-root DIR\n"
      "               resolve the Dependencies against DIR, a folder laid out like a\n"
      "               Windows drive (DIR/Windows/System32, ...), such as a Wine prefix's drive_c\n"
      "  --app-dir DIR  the application folder for that (default: the file's own folder)\n"
      "  --no-deps    no Dependencies part\n"
      "  --def        instead of the listing, a module-definition (.def) file of\n"
      "               FILE's exports, from which a linker makes an import library\n"
      "  --help       show this text\n"
      "  --version    show the version\n"
      "  --           treat every later argument as a file name\n"
      "\n"
      "Exit status: 0 when every file could be read, 1 when one could not.\n";
  out.Write(text);
}

}  // namespace

int RunCli(std::span<const std::string> args, FileSource& files, Sink& out) {
  std::vector<std::size_t> names;
  Options opts;
  std::string windowsRoot, appDir;
  bool options = true;
  bool def = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Only these exact words are options: anything else, even "-x.dll", is a file name.
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h" || a == "/?")) {
      out.Write(kBanner);
      out.Write("\n\n");
      WriteUsage(out);
      return 0;
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
    } else if (options && a == "--version") {
      out.Write(kBanner);
      out.Write("\n");
      return 0;
    } else {
      names.push_back(i);
    }
  }
  if (names.empty()) {
    out.Write(kBanner);
    out.Write("\n\ntdump: no file given\n\n");
    WriteUsage(out);
    return 1;
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
    out.Write("tdump: --def takes exactly one file\n");
    return 1;
  }
  int rc = 0;
  std::vector<std::uint8_t> bytes;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k != 0 && !opts.json) out.Write("\n");
    std::size_t i = names[k];
    std::string error;
    bytes.clear();
    bool ok = false;
    try {
      ok = files.Read(i, bytes, error);
    } catch (const std::bad_alloc&) {
      error = "not enough memory to read it";
    }
    if (!ok) {
      // Names and system texts are shown escaped like any other bytes.
      auto say = [&](print::Printer& o) {
        o.BeginDocument();
        o.Text("tdump: cannot read \"").Name("file", args[i]).Text("\": ").Name("error", error);
        o.Nl();
        o.EndDocument();
      };
      if (opts.json) {
        print::JsonPrinter o(out, UINT64_MAX);
        say(o);
      } else {
        print::TextPrinter o(out, UINT64_MAX);
        say(o);
      }
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
      rc = WriteDefFile(mapped.empty() ? std::span<const std::uint8_t>(bytes) : mapped, args[i], out, opts.deps);
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
