#pragma once
// The dump workflow: Browse stages the dumper, a copy of the chosen file and the
// run script in a private work area; Analyze runs the script hidden; each poll
// tick looks for the listing, shows it and removes what was staged.
// It knows nothing of windows: the window hands it its State and a Platform.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "workflow/Error.h"
#include "workflow/Platform.h"
#include "workflow/RunScript.h"
#include "workflow/State.h"

namespace kestrova::workflow {

// Filter of the file-open dialog that Browse shows.
inline constexpr char16_t kOpenFilter[] = u"应用程序(*.exe,*.dll)|*.exe;*.dll";
// The memo's text while the dumper runs.
inline constexpr char16_t kWaitingLine[] = u"请稍候正在分析...";
inline constexpr unsigned kPollIntervalMs = 1500;
// How long Save as .def waits for the dumper before it gives up.
inline constexpr unsigned kDefinitionWaitMs = 30000;
// The language the window speaks, and so the dumper's listing in it.
inline constexpr char16_t kListingLanguage[] = u"zh-CN";

class Workflow {
 public:
  Workflow(State& state, Platform& platform);
  ~Workflow();  // removes the work area and whatever was staged in it
  Workflow(const Workflow&) = delete;
  Workflow& operator=(const Workflow&) = delete;

  // Button3Click after its dialog: `chosen` is the file's full path, or empty
  // when the user cancelled. Throws Error. The work area (a fresh directory
  // under the user's temporary folder) is made at the first Browse; when it
  // cannot be made, Browse fails with "Cannot create file "<its path>". ...".
  void Browse(const std::optional<std::u16string>& chosen);
  // Button1Click. Throws Error.
  void Analyze();
  // Timer1Timer. Throws Error. A tick that starts while another one is still
  // running returns at once.
  void Tick();
  // Timer1Timer, reporting: as Tick(), but a failure goes to `report` while
  // the tick still counts as running, so that ticks arriving while the error
  // box is open are dropped instead of piling up boxes.
  void Tick(const std::function<void(const Error&)>& report);

  // Save as .def: runs the dumper with --def, hidden, on a fresh copy of the
  // file in the path text and waits for it (at most kDefinitionWaitMs, the
  // window unresponsive meanwhile). Returns the file to save, which starts at
  // its LIBRARY line. Throws Error with a message for the user; what it staged
  // is removed either way.
  Bytes ModuleDefinition();

  // Ctrl+D after its dialog: compares the file on show (the path text) with
  // `newer`, the file the user chose, or does nothing when that is empty. Both
  // are staged under names of our own beside the dumper with a script of their
  // own, run hidden like Analyze; the poll then shows the comparison instead
  // of a listing and removes what was staged. Throws Error, before anything is
  // staged when no file is on show or `newer` cannot be read.
  void Compare(const std::optional<std::u16string>& newer);
  // Throws the Error Compare would when there is no file on show to compare.
  void CheckComparable() const;

  // The work area with its trailing separator; empty until the first Browse.
  const std::u16string& WorkArea() const { return workArea_; }

 private:
  void MakeWorkArea();
  void Remember(const std::u16string& name);
  void RunTick();
  bool ComparisonTick();

  State& state_;
  Platform& platform_;
  bool ticking_ = false;
  bool enteredWorkArea_ = false;
  std::u16string workArea_;
  std::vector<std::u16string> staged_;  // every name ever staged in the work area
  unsigned aliasSerial_ = 0;            // of the current staging's aliases
  // The comparison the poll waits for, with the names to show for its copies.
  struct PendingComparison {
    ComparisonNames names;
    std::u16string olderPath, newerPath;
  };
  std::optional<PendingComparison> comparison_;
};

// The dumper's --def output as the user's file: without the byte-order mark
// and the opening comment (which names the work copy), so that it starts at
// LIBRARY; a LIBRARY line that names `copyName` (a DLL that does not name
// itself) names `userName` instead, or "unknown.dll" when that is not printable
// ASCII or holds a quote. nullopt when
// there is no LIBRARY line: `reason` is then the output's first line.
std::optional<Bytes> DefinitionFile(const Bytes& output, std::u16string_view copyName,
                                    std::u16string_view userName, std::u16string& reason);

// Saves the running module's resource `name` of type `type` to `target`.
// Throws "Resource %s not found", "Cannot create file "%s". %s" or
// "Stream write error" (the file then holds part of the bytes).
void ExtractResource(Platform& platform, std::u16string_view name, std::u16string_view type,
                     const std::u16string& target);

// "http://" + host + "/?v=" + product name + version; the host is the build's
// KESTROVA_UPDATE_HOST.
std::u16string UpdateAddress(std::u16string_view softName, std::u16string_view version);
// Button2Click: asks the shell to open the update address, shown normally.
void OpenUpdatePage(Platform& platform, std::u16string_view softName,
                    std::u16string_view version);

}  // namespace kestrova::workflow
