// Kestrova's entry: one copy per logon session, the skin, the application
// title, the main window and its message loop. A file named on the command
// line is opened once the window is shown, or handed to the copy that runs.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "platform/win32/Win32Platform.h"
#include "ui/ErrorBox.h"
#include "ui/Skin.h"
#include "ui/Unit1.h"
#include "ui/WaysIn.h"

namespace {
constexpr wchar_t kTitle[] = L".Exe或.Dll文件结构函数、过程列表查看器";
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  using namespace kestrova;
  // Made absolute now, against the directory the program was started in.
  const auto file = ui::FileFromCommandLine(GetCommandLineW());
  // Never closed: the system releases it when the process ends, and only
  // then can another copy start.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kTitle);
  if (!mutex) return 0;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    // Another copy runs: leave silently. A file goes to that copy's window.
    if (file) ui::HandToRunningCopy(*file);
    return 0;
  }

  const INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  // The shell's handlers for "open" may be COM objects that want an apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

  // The main window is unowned (see TForm1), so it carries the taskbar button.
  ui::skin::Apply(u"Onyx Blue", true);
  ui::SetApplicationTitle(reinterpret_cast<const char16_t*>(kTitle));

  int code = 0;
  try {
    platform::Win32Platform platform;
    auto form = ui::TForm1::Create(instance, ui::LoadLayout(instance), platform);
    platform.SetOwner(form->Handle());
    form->Show(show);
    if (file) form->OpenWhenRunning(*file);
    code = ui::RunMessageLoop(form->Handle());
    // Destroying the form removes the workflow and its work area.
  } catch (...) {
    ui::ShowCurrentException(nullptr);
    code = 1;
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
