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

// Text known to be ASCII (our own names, or ones PlainName passed).
std::string Ascii(std::u16string_view text) {
  std::string s;
  for (const char16_t c : text) s.push_back(static_cast<char>(c));
  return s;
}

// Printable ASCII without quotes: a name both .def grammars take in quotes.
bool PlainName(std::u16string_view name) {
  if (name.empty() || name.size() > 200) return false;
  for (const char16_t c : name) {
    if (c < 0x20 || c > 0x7E || c == u'"') return false;
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
  std::string text(output.begin(), output.end());
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  // The opening comment names the work copy: the file starts at LIBRARY instead.
  std::size_t line = 0;
  while (line < text.size() && text[line] == ';') {
    const std::size_t end = text.find('\n', line);
    line = end == std::string::npos ? text.size() : end + 1;
  }
  const std::string library = "LIBRARY \"";
  if (text.compare(line, library.size(), library) != 0) {
    reason = DecodeUtf8(text.substr(0, text.find_first_of("\r\n")));
    ReplaceFirst(reason, copyName, userName);
    return std::nullopt;
  }
  text.erase(0, line);
  // A DLL that does not name itself is named after the file: the user's, not
  // the copy's; a name the grammars cannot take gets the tool's own stand-in.
  if (text.rfind(library + Ascii(copyName) + "\"", 0) == 0) {
    text.replace(library.size(), copyName.size(), PlainName(userName) ? Ascii(userName) : "unknown.dll");
  }
  return Bytes(text.begin(), text.end());
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
  platform_.SetChildEnvironment(u"KESTROVA_LANG", kListingLanguage);
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
