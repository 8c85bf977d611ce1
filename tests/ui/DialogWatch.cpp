#include "DialogWatch.h"

#include <chrono>

namespace kestrova::test {
namespace {

struct Find {
  const std::wstring* caption;
  HWND found;
};

BOOL CALLBACK OnTop(HWND hwnd, LPARAM lp) {
  auto& f = *reinterpret_cast<Find*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[32] = {}, text[256] = {};
  GetClassNameW(hwnd, cls, 32);
  GetWindowTextW(hwnd, text, 256);
  if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd) && lstrcmpW(cls, L"#32770") == 0 &&
      *f.caption == text) {
    f.found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK OnChild(HWND hwnd, LPARAM lp) {
  auto& seen = *reinterpret_cast<SeenDialog*>(lp);
  wchar_t cls[32] = {}, text[512] = {};
  GetClassNameW(hwnd, cls, 32);
  GetWindowTextW(hwnd, text, 512);
  const auto style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  if (lstrcmpiW(cls, L"Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON)
      seen.hasErrorIcon = true;
    else if (text[0])
      seen.texts.push_back(text);
  } else if (lstrcmpiW(cls, L"Button") == 0) {
    seen.buttons.push_back(text);
    if ((style & BS_TYPEMASK) == BS_OWNERDRAW) ++seen.ownerDrawButtons;
  }
  return TRUE;
}

struct Press {
  const std::wstring* text;
  HWND button;
};

BOOL CALLBACK OnButton(HWND hwnd, LPARAM lp) {
  auto& p = *reinterpret_cast<Press*>(lp);
  wchar_t cls[32] = {}, text[256] = {};
  GetClassNameW(hwnd, cls, 32);
  GetWindowTextW(hwnd, text, 256);
  if (lstrcmpiW(cls, L"Button") == 0 && (p.text->empty() || *p.text == text)) {
    p.button = hwnd;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

bool SeenDialog::Shows(const std::wstring& s) const {
  for (const auto& t : texts)
    if (t.find(s) != std::wstring::npos) return true;
  return false;
}

DialogWatch::DialogWatch(std::wstring caption, std::wstring press)
    : caption_(std::move(caption)), press_(std::move(press)) {
  thread_ = std::thread([this] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      Find f{&caption_, nullptr};
      EnumWindows(OnTop, reinterpret_cast<LPARAM>(&f));
      if (f.found) {
        Sleep(200);  // let it finish its WM_INITDIALOG
        seen_.found = true;
        seen_.caption = caption_;
        EnumChildWindows(f.found, OnChild, reinterpret_cast<LPARAM>(&seen_));
        Press p{&press_, nullptr};
        EnumChildWindows(f.found, OnButton, reinterpret_cast<LPARAM>(&p));
        if (p.button)
          PostMessageW(GetParent(p.button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(p.button), BN_CLICKED),
                       reinterpret_cast<LPARAM>(p.button));
        else
          PostMessageW(f.found, WM_CLOSE, 0, 0);
        return;
      }
      Sleep(50);
    }
  });
}

DialogWatch::~DialogWatch() {
  if (thread_.joinable()) thread_.join();
}

const SeenDialog& DialogWatch::Result() {
  if (thread_.joinable()) thread_.join();
  return seen_;
}

}  // namespace kestrova::test
