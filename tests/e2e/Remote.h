#pragma once
// Looking at and poking another process's windows from the outside: what the
// end-to-end driver needs to check Kestrova.exe without any hook inside it.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kestrova::e2e {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Polls `ready` every `step` until it holds or `limit` has passed.
bool WaitUntil(Ms limit, const std::function<bool()>& ready, Ms step = Ms(20));

// "/work/x" (a Unix path handed in by ctest) becomes "Z:\work\x"; every path
// comes back absolute.
std::wstring ToWindowsPath(const std::wstring& path);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);  // UTF-8, for failure messages
std::wstring DirectoryOf(const std::wstring& path);  // with trailing '\'

// A child process that is ended when this object goes, if it still runs.
class Process {
 public:
  Process() = default;
  // Starts `exe` with TEMP and TMP set to `temp` (when not empty) and
  // `args` after the quoted program name on its command line.
  static Process Start(const std::wstring& exe, const std::wstring& temp,
                       const std::wstring& workDir = L"", const std::wstring& args = L"");
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  HANDLE handle() const { return process_; }
  DWORD pid() const { return pid_; }
  bool Running() const;
  bool WaitExit(Ms limit) const;
  void Kill();

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Top-level windows of `pid` with class `cls` (any class when empty), visible
// ones only unless `includeHidden`.
std::vector<HWND> TopWindows(DWORD pid, const std::wstring& cls, bool includeHidden = false);
HWND WaitTopWindow(DWORD pid, const std::wstring& cls, Ms limit);

std::vector<HWND> Children(HWND parent);     // direct children, in Z order
std::vector<HWND> Descendants(HWND parent);  // all, depth first
std::wstring ClassOf(HWND w);                // the base class when superclassed
std::wstring TextOf(HWND w);                 // WM_GETTEXT, bounded wait
LONG StyleOf(HWND w);
bool HasStyle(HWND w, LONG bits);

// The window's outer rectangle relative to `parent`'s client area.
RECT RectIn(HWND w, HWND parent);
std::string Describe(const RECT& r);  // "left,top,width,height"

// Memory in another process for messages whose pointers the system does not
// carry across (the common controls' ones).
class RemoteBuffer {
 public:
  RemoteBuffer(HWND owner, size_t bytes);
  ~RemoteBuffer();
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  void* address() const { return remote_; }
  bool Write(const void* data, size_t bytes, size_t offset = 0);
  bool Read(void* data, size_t bytes, size_t offset = 0) const;

 private:
  HANDLE process_ = nullptr;
  void* remote_ = nullptr;
  size_t size_ = 0;
};

std::wstring TabItemText(HWND tab, int index);
std::wstring StatusPartText(HWND status, int part);

// SendMessageTimeout, false when the window did not answer in time.
bool SendBounded(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result, Ms limit);
// Round trip of WM_NULL in milliseconds, or -1 when it timed out.
double PingMs(HWND w, Ms limit);

}  // namespace kestrova::e2e
