#pragma once
// The dump workflow: Browse stages the dumper, a copy of the chosen file and the
// run script in a private work area; Analyze runs the script hidden; each poll
// tick looks for the listing, shows it and removes what was staged.
// It knows nothing of windows: the window hands it its State and a Platform.
#include <optional>
#include <string>

#include "workflow/Platform.h"
#include "workflow/State.h"

namespace kestrova::workflow {

// Filter of the file-open dialog that Browse shows.
inline constexpr char16_t kOpenFilter[] = u"应用程序(*.exe,*.dll)|*.exe;*.dll";
// The memo's text while the dumper runs.
inline constexpr char16_t kWaitingLine[] = u"请稍候正在分析...";
inline constexpr unsigned kPollIntervalMs = 1500;

class Workflow {
 public:
  Workflow(State& state, Platform& platform);
  ~Workflow();  // removes the work area
  Workflow(const Workflow&) = delete;
  Workflow& operator=(const Workflow&) = delete;

  // Button3Click after its dialog: `chosen` is the file's full path, or empty
  // when the user cancelled. Throws Error.
  void Browse(const std::optional<std::u16string>& chosen);
  // Button1Click. Throws Error.
  void Analyze();
  // Timer1Timer. Throws Error. A tick that starts while another one is still
  // running (its error box open) returns at once.
  void Tick();

 private:
  State& state_;
  Platform& platform_;
  bool ticking_ = false;
  // Implementation may add what it needs.
};

// "http://" + host + "/?v=" + product name + version; the host is the build's
// KESTROVA_UPDATE_HOST.
std::u16string UpdateAddress(std::u16string_view softName, std::u16string_view version);

}  // namespace kestrova::workflow
