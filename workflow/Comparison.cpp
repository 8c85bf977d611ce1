// Ctrl+D: the file on show compared with a second one. Both are copied into the
// work area under names of our own, the dumper runs "--diff" on them hidden,
// and the poll shows what it wrote, as it shows a listing.
#include <string>

#include "workflow/ListingText.h"
#include "workflow/PathTerms.h"
#include "workflow/RunScript.h"
#include "workflow/Workflow.h"

namespace kestrova::workflow {
namespace {

constexpr unsigned kComparisonSerials = 1000;

void ReplaceAll(std::u16string& text, std::u16string_view from, std::u16string_view to) {
  for (auto at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

void Workflow::CheckComparable() const {
  if (state_.PathText().empty()) throw Error(u"请先打开一个文件，再选择要与它比较的文件");
}

void Workflow::Compare(const std::optional<std::u16string>& newer) {
  CheckComparable();
  if (!newer || newer->empty()) return;
  const std::u16string older = state_.PathText();
  MakeWorkArea();
  // A comparison or listing still running keeps its names: take free ones.
  ComparisonNames names;
  for (unsigned serial = 0; serial < kComparisonSerials; ++serial) {
    names = PlanComparison(NamePart(older), NamePart(*newer), serial);
    if (!platform_.IsFile(workArea_ + names.older) && !platform_.IsFile(workArea_ + names.newer) &&
        !platform_.IsFile(workArea_ + names.output) && !platform_.IsFile(workArea_ + names.script))
      break;
  }
  const std::u16string dumper = workArea_ + kDumperName;
  if (!platform_.IsFile(dumper)) {
    Remember(kDumperName);
    try {
      ExtractResource(platform_, u"tdump", u"exe", dumper);
    } catch (const Error&) {
      platform_.Erase(dumper);
      throw;
    }
  }
  for (const std::u16string* n : {&names.older, &names.newer, &names.output, &names.script}) Remember(*n);
  if (!platform_.CopyReplacing(older, workArea_ + names.older) ||
      !platform_.CopyReplacing(*newer, workArea_ + names.newer)) {
    platform_.Erase(workArea_ + names.older);
    platform_.Erase(workArea_ + names.newer);
    throw Error(u"读不到要比较的文件“" + (platform_.IsFile(workArea_ + names.older) ? *newer : older) + u"”");
  }
  StagedNames staged;
  staged.copy = names.newer;
  staged.output = names.output;
  const std::u16string script = workArea_ + names.script;
  const WriteResult written = platform_.WriteWhole(script, RunScript(staged, platform_, u"--diff " + names.older));
  if (written.status != WriteResult::Status::Ok) {
    platform_.Erase(script);
    platform_.Erase(workArea_ + names.older);
    platform_.Erase(workArea_ + names.newer);
    throw Error(u"Cannot create file \"" + script + u"\". " + written.systemText);
  }
  comparison_ = PendingComparison{names, older, *newer};
  state_.SetListingText(std::u16string(kWaitingLine) + u"\r\n");
  state_.ProcessPendingMessages();
  platform_.ChangeDirectory(workArea_);
  enteredWorkArea_ = true;
  platform_.SetChildEnvironment(u"KESTROVA_APP_DIR", DirectoryPart(older));
  platform_.SetChildEnvironment(u"KESTROVA_LANG", kListingLanguage);
  platform_.SetChildEnvironment(u"KESTROVA_WIDTH", u"");
  platform_.ShellOpen(script, u"run", kShowHidden);
  state_.SetPollOn(true);
}

bool Workflow::ComparisonTick() {
  const PendingComparison& c = *comparison_;
  const std::u16string output = workArea_ + c.names.output;
  if (!platform_.IsFile(output)) return false;
  const ReadResult read = platform_.ReadDenyingWriters(output);
  if (read.outcome.status == Outcome::Status::SharingViolation) return false;  // still written
  state_.SetListingText(u"");
  if (!read.outcome.ok()) throw Error(u"Cannot open file \"" + output + u"\". " + read.outcome.systemText);
  std::u16string text = DecodeListing(read.bytes, platform_);
  // The dumper names the copies it was given: show the user's files instead.
  ReplaceAll(text, c.names.older, c.olderPath);
  ReplaceAll(text, c.names.newer, c.newerPath);
  const ComparisonNames names = c.names;
  comparison_.reset();
  state_.SetListingText(text);
  state_.SetPollOn(false);
  for (const std::u16string* n : {&names.older, &names.newer, &names.output, &names.script})
    platform_.Erase(workArea_ + *n);
  // A Browse's dumper waits for its Analyze.
  if (!state_.AnalyzeEnabled()) platform_.Erase(workArea_ + kDumperName);
  return true;
}

}  // namespace kestrova::workflow
