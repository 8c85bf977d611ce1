#include "workflow/Workflow.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "workflow/ListingText.h"
#include "workflow/PathTerms.h"
#include "workflow/RunScript.h"

namespace kestrova::workflow {
namespace {

// Distinguishes the work areas of several workflows in one process.
std::atomic<unsigned> workAreaSerial{0};

constexpr unsigned kWorkAreaAttempts = 1000;
// cmd may still be ending when the workflow goes, holding the work area as its
// current directory; it is given this long to let go.
constexpr unsigned kExitPauseMs = 100;
constexpr unsigned kExitPauses = 20;

class TickScope {
 public:
  explicit TickScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~TickScope() { flag_ = false; }
  TickScope(const TickScope&) = delete;
  TickScope& operator=(const TickScope&) = delete;

 private:
  bool& flag_;
};

Error CannotCreate(const std::u16string& path, const std::u16string& systemText) {
  return Error(u"Cannot create file \"" + path + u"\". " + systemText);
}

}  // namespace

Workflow::Workflow(State& state, Platform& platform) : state_(state), platform_(platform) {}

Workflow::~Workflow() {
  if (workArea_.empty()) return;
  try {
    // A directory that is some process's current directory cannot be removed.
    if (enteredWorkArea_) platform_.ChangeDirectory(platform_.TempFolder());
    for (unsigned pause = 0;; ++pause) {
      for (const auto& name : staged_) platform_.Erase(workArea_ + name);
      if (platform_.RemoveEmptyDirectory(workArea_) || pause == kExitPauses) break;
      platform_.Pause(kExitPauseMs);
    }
  } catch (...) {
    // Leaving a few files in the temporary folder beats ending the process.
  }
}

void Workflow::MakeWorkArea() {
  if (!workArea_.empty()) return;
  const std::u16string temp = platform_.TempFolder();
  const std::u16string base = temp + u"Kestrova-" + Decimal(platform_.ProcessId()) + u"-";
  // Without a temporary folder the name would be relative to wherever we stand,
  // perhaps the program's own directory.
  if (temp.empty()) throw CannotCreate(base + u"0", u"");
  for (unsigned attempt = 0; attempt < kWorkAreaAttempts; ++attempt) {
    const std::u16string dir = base + Decimal(workAreaSerial++);
    const Outcome made = platform_.MakeDirectory(dir);
    if (made.ok()) {
      workArea_ = dir + u"\\";
      return;
    }
    // Only a name that is taken is worth another try; anything else will not get better.
    if (made.status != Outcome::Status::AlreadyExists || attempt + 1 == kWorkAreaAttempts) {
      throw CannotCreate(dir, made.systemText);
    }
  }
}

void Workflow::Remember(const std::u16string& name) {
  const bool known = std::any_of(staged_.begin(), staged_.end(), [&](const std::u16string& s) {
    return EqualsIgnoringAsciiCase(s, name);
  });
  if (!known && !name.empty()) staged_.push_back(name);
}

void Workflow::Browse(const std::optional<std::u16string>& chosen) {
  if (!chosen || chosen->empty()) return;
  // A new file is what the poll waits for now, not a comparison still running.
  comparison_.reset();
  // Analyze comes on only once everything below is staged: a failed Browse must
  // not leave it runnable against an earlier file.
  state_.SetAnalyzeEnabled(false);
  state_.SetPathText(*chosen);
  MakeWorkArea();

  // Whatever an earlier Browse staged goes, the dumper excepted (it is always ours).
  for (const auto& name : staged_) {
    if (!EqualsIgnoringAsciiCase(name, kDumperName)) platform_.Erase(workArea_ + name);
  }

  const std::u16string dumper = workArea_ + kDumperName;
  if (!platform_.IsFile(dumper)) {
    Remember(kDumperName);
    try {
      ExtractResource(platform_, u"tdump", u"exe", dumper);
    } catch (const Error&) {
      // A partial dumper would be used as it is by every later Browse.
      platform_.Erase(dumper);
      throw;
    }
  }

  // Aliases that an earlier run still holds (and so outlived the clean-up above)
  // must not be taken for this staging's.
  StagedNames names;
  for (aliasSerial_ = 0;; ++aliasSerial_) {
    names = PlanNames(NamePart(*chosen), platform_, workArea_.size(), aliasSerial_);
    if (!names.aliased || aliasSerial_ == kWorkAreaAttempts ||
        (!platform_.IsFile(workArea_ + names.copy) && !platform_.IsFile(workArea_ + names.output))) {
      break;
    }
  }
  Remember(names.copy);
  Remember(names.output);
  Remember(names.listing);
  Remember(kScriptName);
  // A copy that fails (a typed name that does not exist) is the dumper's to report.
  platform_.CopyReplacing(*chosen, workArea_ + names.copy);

  const std::u16string script = workArea_ + kScriptName;
  const WriteResult written = platform_.WriteWhole(script, RunScript(names, platform_));
  if (written.status == WriteResult::Status::CreateFailed) {
    throw CannotCreate(script, written.systemText);
  }
  if (written.status == WriteResult::Status::WriteFailed) {
    platform_.Erase(script);  // half a command line must not run
    throw Error(u"Stream write error");
  }
  state_.SetAnalyzeEnabled(true);
}

void Workflow::Analyze() {
  state_.SetListingText(std::u16string(kWaitingLine) + u"\r\n");
  state_.ProcessPendingMessages();
  if (!workArea_.empty()) {
    // The script names its files without a directory.
    platform_.ChangeDirectory(workArea_);
    enteredWorkArea_ = true;
    const std::u16string script = workArea_ + kScriptName;
    // The folder goes by the environment, not the script, so cmd never parses it;
    // so do the language and the memo's width, which the listing is laid out for.
    platform_.SetChildEnvironment(u"KESTROVA_APP_DIR", DirectoryPart(state_.PathText()));
    platform_.SetChildEnvironment(u"KESTROVA_LANG", kListingLanguage);
    const unsigned columns = state_.ListingColumns();
    std::u16string width;
    for (unsigned n = columns; n != 0; n /= 10) width.insert(width.begin(), static_cast<char16_t>(u'0' + n % 10));
    platform_.SetChildEnvironment(u"KESTROVA_WIDTH", width);
    if (platform_.IsFile(script)) platform_.ShellOpen(script, u"run", kShowHidden);
  }
  state_.SetPollOn(true);
}

void Workflow::Tick() {
  if (ticking_) return;
  const TickScope scope(ticking_);
  RunTick();
}

void Workflow::Tick(const std::function<void(const Error&)>& report) {
  if (ticking_) return;
  const TickScope scope(ticking_);
  try {
    RunTick();
  } catch (const Error& e) {
    report(e);
  }
}

void Workflow::RunTick() {
  if (workArea_.empty() || !state_.PollOn()) return;
  if (comparison_) {
    ComparisonTick();
    return;
  }
  const std::u16string name = NamePart(state_.PathText());
  const StagedNames names = PlanNames(name, platform_, workArea_.size(), aliasSerial_);
  const std::u16string listing = workArea_ + names.listing;
  std::u16string source = listing;
  if (names.aliased) {
    const std::u16string output = workArea_ + names.output;
    if (platform_.IsFile(output)) {
      const Outcome moved = platform_.Rename(output, listing);
      if (moved.status == Outcome::Status::SharingViolation) return;  // cmd still writes it
      if (!moved.ok()) source = output;  // the real name is unusable here: read it in place
    }
  }
  if (!platform_.IsFile(source)) return;

  const ReadResult read = platform_.ReadDenyingWriters(source);
  // The dumper still holds it open: not finished, and no failure either.
  if (read.outcome.status == Outcome::Status::SharingViolation) return;
  state_.SetListingText(u"");
  if (!read.outcome.ok()) {
    throw Error(u"Cannot open file \"" + source + u"\". " + read.outcome.systemText);
  }
  std::u16string text = DecodeListing(read.bytes, platform_);
  if (names.aliased) {
    // The dumper names the file it was given before anything else: show the
    // user's name there, not the alias.
    const auto at = text.find(names.copy);
    if (at != std::u16string::npos) text.replace(at, names.copy.size(), name);
  }
  state_.SetListingText(text);
  state_.SetAnalyzeEnabled(false);
  state_.SetPollOn(false);

  if (!names.copy.empty()) platform_.Erase(workArea_ + names.copy);
  platform_.Erase(listing);
  if (source != listing) platform_.Erase(source);
  platform_.Erase(workArea_ + kDumperName);
  platform_.Erase(workArea_ + kScriptName);
}

}  // namespace kestrova::workflow
