#include "ui/WaysIn.h"

#include <cwchar>

#include "platform/win32/Win32Platform.h"
#include "ui/Unit1.h"
#include "workflow/Error.h"

// Both copies, and Explorer for a drop, run at the user's own integrity
// level (the manifest asks for asInvoker), so WM_COPYDATA and WM_DROPFILES
// reach the window without any message filter being lifted.

namespace kestrova::ui {

namespace {

// "KSTO": a hand-over of a path, from one copy of the program to another.
constexpr ULONG_PTR kOpenPath = 0x4B53544F;
constexpr DWORD kMaxPath = 32767;

std::u16string U(const wchar_t* s, std::size_t n) { return std::u16string(s, s + n); }

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK OnTopWindow(HWND hwnd, LPARAM lp) {
  wchar_t cls[32] = {};
  GetClassNameW(hwnd, cls, 32);
  if (wcscmp(cls, TForm1::kClassName) != 0) return TRUE;
  // Other programs may well name a class TForm1: ours has our title.
  wchar_t title[64] = {};
  GetWindowTextW(hwnd, title, 64);
  const std::u16string& soft = SoftTitle.empty() ? std::u16string(u".Exe或.Dll文件结构函数、过程列表查看器") : SoftTitle;
  if (std::u16string(title, title + wcslen(title)).rfind(soft, 0) != 0) return TRUE;
  reinterpret_cast<Search*>(lp)->found = hwnd;
  return FALSE;
}

}  // namespace

std::optional<std::u16string> FileFromCommandLine(const wchar_t* commandLine) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
  if (!argv) return std::nullopt;
  std::optional<std::u16string> file;
  if (argc >= 2 && argv[1][0] != L'\0') {
    std::wstring full(kMaxPath + 1, L'\0');
    const DWORD n = GetFullPathNameW(argv[1], static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n > 0 && n < full.size())
      file = U(full.data(), n);
    else
      file = U(argv[1], wcslen(argv[1]));
  }
  LocalFree(argv);
  return file;
}

std::vector<std::u16string> DroppedFiles(HDROP drop) {
  std::vector<std::u16string> files;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT n = DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(static_cast<std::size_t>(n) + 1, L'\0');
    path.resize(DragQueryFileW(drop, i, path.data(), n + 1));
    files.push_back(U(path.data(), path.size()));
  }
  return files;
}

std::u16string FirstReadableFile(const std::vector<std::u16string>& paths) {
  DWORD firstError = ERROR_FILE_NOT_FOUND;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // Without backup semantics a folder cannot be opened: it fails as the
    // system says (access denied), like any unreadable file.
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(paths[i].c_str()), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return paths[i];
    }
    if (i == 0) firstError = GetLastError();
  }
  const std::u16string first = paths.empty() ? std::u16string() : paths.front();
  throw workflow::Error(u"Cannot open file \"" + first + u"\". " + platform::Win32Platform::SystemText(firstError));
}

bool HandToRunningCopy(const std::u16string& path) {
  Search search;
  // The first copy may still be making its window: give it a moment.
  for (int i = 0; i < 50 && !search.found; ++i) {
    EnumWindows(OnTopWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(100);
  }
  if (!search.found) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(search.found, &pid);
  // Only the foreground process may hand the foreground on.
  AllowSetForegroundWindow(pid);
  COPYDATASTRUCT data{};
  data.dwData = kOpenPath;
  data.cbData = static_cast<DWORD>((path.size() + 1) * sizeof(char16_t));
  data.lpData = const_cast<char16_t*>(path.c_str());
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(search.found, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, 10000, &result) != 0 &&
         result != 0;
}

std::optional<std::u16string> PathFromCopyData(const COPYDATASTRUCT& data) {
  if (data.dwData != kOpenPath || !data.lpData || data.cbData < 2 * sizeof(char16_t) ||
      data.cbData % sizeof(char16_t) != 0 || data.cbData > (kMaxPath + 1) * sizeof(char16_t))
    return std::nullopt;
  const auto* chars = static_cast<const char16_t*>(data.lpData);
  const std::size_t count = data.cbData / sizeof(char16_t);
  if (chars[count - 1] != u'\0') return std::nullopt;
  std::u16string path(chars, count - 1);
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return std::nullopt;
  return path;
}

}  // namespace kestrova::ui
