// Save as .def: the dumper run once more, with --def, on a fresh copy of the
// file on show, in the work area and under names of our own.
#include <optional>
#include <string>

#include "workflow/ListingText.h"
#include "workflow/PathTerms.h"
#include "workflow/RunScript.h"
#include "workflow/Workflow.h"

namespace kestrova::workflow {
namespace {

constexpr unsigned kDefinitionPauseMs = 100;
constexpr unsigned kDefinitionSerials = 1000;

std::u16string Latin(const Bytes& bytes, std::size_t from, std::size_t to) {
  std::u16string s;
  for (std::size_t i = from; i < to && i < bytes.size(); ++i) s.push_back(static_cast<char16_t>(bytes[i]));
  return s;
}

// Letters, digits and . _ - : a name both .def grammars take in quotes.
bool PlainName(std::u16string_view name) {
  if (name.empty() || name.size() > 200) return false;
  for (const char16_t c : name) {
    const bool ok = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
                    c == u'.' || c == u'_' || c == u'-';
    if (!ok) return false;
  }
  return true;
}

void ReplaceFirst(std::u16string& text, std::u16string_view from, std::u16string_view to) {
  const auto at = text.find(from);
  if (at != std::u16string::npos) text.replace(at, from.size(), to);
}

Error DefinitionFailed(const std::u16string& why) { return Error(u"无法生成模块定义文件：" + why); }

}  // namespace

std::optional<Bytes> DefinitionFile(const Bytes& output, std::u16string_view copyName,
                                    std::u16string_view userName, std::u16string& reason) {
  std::size_t start = 0;
  if (output.size() >= 3 && output[0] == 0xEF && output[1] == 0xBB && output[2] == 0xBF) start = 3;
  // The opening comment names the work copy: the file starts at LIBRARY instead.
  static constexpr char kLibrary[] = "LIBRARY \"";
  std::size_t line = start;
  while (line < output.size()) {
    std::size_t end = line;
    while (end < output.size() && output[end] != '\n') ++end;
    if (Latin(output, line, line + sizeof kLibrary - 1) == FromAscii(kLibrary)) break;
    if (output[line] != ';') {
      line = output.size();
      break;
    }
    line = end + 1;
  }
  if (line >= output.size()) {
    std::size_t end = start;
    while (end < output.size() && output[end] != '\n' && output[end] != '\r') ++end;
    reason = DecodeUtf8(std::string(output.begin() + static_cast<std::ptrdiff_t>(start),
                                    output.begin() + static_cast<std::ptrdiff_t>(end)));
    ReplaceFirst(reason, copyName, userName);
    return std::nullopt;
  }
  Bytes file(output.begin() + static_cast<std::ptrdiff_t>(line), output.end());
  // A DLL that does not name itself is named after the file: the user's, not the copy's.
  const std::u16string copied = FromAscii(kLibrary) + std::u16string(copyName) + u"\"";
  if (PlainName(userName) && Latin(file, 0, copied.size()) == copied) {
    Bytes named;
    for (const char c : std::string(kLibrary)) named.push_back(static_cast<std::uint8_t>(c));
    for (const char16_t c : userName) named.push_back(static_cast<std::uint8_t>(c));
    file.erase(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(copied.size() - 1));
    file.insert(file.begin(), named.begin(), named.end());
  }
  return file;
}

Bytes Workflow::ModuleDefinition() {
  const std::u16string path = state_.PathText();
  const std::u16string userName = NamePart(path);
  if (userName.empty()) throw Error(u"尚未选择文件：请先用“浏览”选一个 .exe 或 .dll 文件。");
  MakeWorkArea();

  // An earlier run that outlived its wait may still hold its names.
  DefinitionNames names;
  for (unsigned serial = 0;; ++serial) {
    names = PlanDefinition(userName, serial);
    if (serial == kDefinitionSerials || (!platform_.IsFile(workArea_ + names.copy) &&
                                         !platform_.IsFile(workArea_ + names.output) &&
                                         !platform_.IsFile(workArea_ + names.script))) {
      break;
    }
  }
  const std::u16string copy = workArea_ + names.copy, output = workArea_ + names.output,
                       script = workArea_ + names.script, dumper = workArea_ + kDumperName;
  // Whatever happens, the run leaves nothing behind but what is still held,
  // which the work area's removal at exit takes.
  Remember(names.copy);
  Remember(names.output);
  Remember(names.script);
  bool extracted = false;
  struct CleanUp {
    Workflow& flow;
    const std::u16string& copy;
    const std::u16string& output;
    const std::u16string& script;
    const std::u16string& dumper;
    bool& extracted;
    ~CleanUp() {
      flow.platform_.Erase(copy);
      flow.platform_.Erase(output);
      flow.platform_.Erase(script);
      // A dumper that a Browse staged stays for its Analyze.
      if (extracted) flow.platform_.Erase(dumper);
    }
  } cleanUp{*this, copy, output, script, dumper, extracted};
  platform_.Erase(output);

  if (!platform_.IsFile(dumper)) {
    Remember(kDumperName);
    extracted = true;
    ExtractResource(platform_, u"tdump", u"exe", dumper);
  }
  // The file as it is now: the listing's copy is gone once the listing is shown.
  if (!platform_.CopyReplacing(path, copy)) throw DefinitionFailed(u"读不到文件“" + path + u"”。");
  StagedNames staged;
  staged.copy = names.copy;
  staged.output = names.output;
  const WriteResult written = platform_.WriteWhole(script, RunScript(staged, platform_, u"--def"));
  if (written.status != WriteResult::Status::Ok) {
    throw DefinitionFailed(u"不能在工作文件夹中写入“" + script + u"”。" + written.systemText);
  }

  platform_.ChangeDirectory(workArea_);
  enteredWorkArea_ = true;
  platform_.SetChildEnvironment(u"KESTROVA_APP_DIR", DirectoryPart(path));
  platform_.ShellOpen(script, u"run", kShowHidden);
  // The output exists from the moment cmd redirects into it and stays held
  // until the dumper ends; a run that never starts leaves none.
  for (unsigned waited = 0;; waited += kDefinitionPauseMs) {
    if (platform_.IsFile(output)) {
      const ReadResult read = platform_.ReadDenyingWriters(output);
      if (read.outcome.ok()) {
        std::u16string reason;
        std::optional<Bytes> file = DefinitionFile(read.bytes, names.copy, userName, reason);
        if (file) return std::move(*file);
        if (reason.empty()) throw DefinitionFailed(u"分析工具没有输出。");
        throw DefinitionFailed(u"分析工具报告：" + reason);
      }
      if (read.outcome.status != Outcome::Status::SharingViolation) {
        throw DefinitionFailed(u"读不到分析工具的输出“" + output + u"”。" + read.outcome.systemText);
      }
    }
    if (waited >= kDefinitionWaitMs) {
      throw DefinitionFailed(u"分析工具在 " + Decimal(kDefinitionWaitMs / 1000) + u" 秒内没有完成。");
    }
    platform_.Pause(kDefinitionPauseMs);
  }
}

}  // namespace kestrova::workflow
