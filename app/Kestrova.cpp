// Kestrova's entry: one copy per logon session, the skin, the application
// title, the main window and its message loop.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "platform/win32/Win32Platform.h"
#include "ui/ErrorBox.h"
#include "ui/Skin.h"
#include "ui/Unit1.h"

namespace {
constexpr wchar_t kTitle[] = L".Exe或.Dll文件结构函数、过程列表查看器";
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  using namespace kestrova;
  // Never closed: the system releases it when the process ends, and only
  // then can another copy start.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kTitle);
  if (!mutex) return 0;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;  // another copy runs: leave silently, without disturbing it
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
    code = ui::RunMessageLoop(form->Handle());
    // Destroying the form removes the workflow and its work area.
  } catch (...) {
    ui::ShowCurrentException(nullptr);
    code = 1;
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
