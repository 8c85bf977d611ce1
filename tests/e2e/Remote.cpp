#include "tests/e2e/Remote.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <thread>

namespace kestrova::e2e {

bool WaitUntil(Ms limit, const std::function<bool()>& ready, Ms step) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (ready()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
}

std::wstring ToWindowsPath(const std::wstring& path) {
  if (path.empty()) return path;
  std::wstring out = path;
  if (out[0] == L'/') out = L"Z:" + out;
  std::replace(out.begin(), out.end(), L'/', L'\\');
  // Relative paths would break once the programs run from other directories.
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD n = GetFullPathNameW(out.c_str(), MAX_PATH * 4, full, nullptr);
  return n > 0 && n < MAX_PATH * 4 ? std::wstring(full, n) : out;
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const auto cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

namespace {

// Our own environment with TEMP and TMP replaced, as CreateProcessW wants it:
// sorted without regard to case, each entry NUL-ended, one more NUL at the end.
std::wstring EnvironmentWithTemp(const std::wstring& temp) {
  auto upper = [](std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
  };
  std::map<std::wstring, std::wstring> vars;  // upper-cased name -> "Name=value"
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry = p;
    const auto eq = entry.find(L'=', 1);  // "=C:=C:\" style entries start with '='
    if (eq == std::wstring::npos) continue;
    vars[upper(entry.substr(0, eq))] = entry;
  }
  FreeEnvironmentStringsW(block);
  vars[L"TEMP"] = L"TEMP=" + temp;
  vars[L"TMP"] = L"TMP=" + temp;
  std::wstring out;
  for (const auto& [name, entry] : vars) {
    out += entry;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

}  // namespace

Process Process::Start(const std::wstring& exe, const std::wstring& temp, const std::wstring& workDir,
                       const std::wstring& args) {
  std::wstring cmd = L"\"" + exe + L"\"";
  if (!args.empty()) cmd += L" " + args;
  std::wstring env = temp.empty() ? std::wstring() : EnvironmentWithTemp(temp);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Process p;
  if (CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                     env.empty() ? nullptr : env.data(), workDir.empty() ? nullptr : workDir.c_str(), &si,
                     &pi)) {
    CloseHandle(pi.hThread);
    p.process_ = pi.hProcess;
    p.pid_ = pi.dwProcessId;
  }
  return p;
}

Process::Process(Process&& other) noexcept : process_(other.process_), pid_(other.pid_) {
  other.process_ = nullptr;
  other.pid_ = 0;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Kill();
    process_ = other.process_;
    pid_ = other.pid_;
    other.process_ = nullptr;
    other.pid_ = 0;
  }
  return *this;
}

Process::~Process() { Kill(); }

bool Process::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

bool Process::WaitExit(Ms limit) const {
  return !process_ || WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

void Process::Kill() {
  if (!process_) return;
  if (Running()) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  pid_ = 0;
}

namespace {

struct TopSearch {
  DWORD pid;
  const std::wstring* cls;
  bool includeHidden;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<TopSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid != s->pid) return TRUE;
  if (!s->includeHidden && !IsWindowVisible(w)) return TRUE;
  if (!s->cls->empty()) {
    wchar_t name[256] = {};
    GetClassNameW(w, name, 256);
    if (*s->cls != name) return TRUE;
  }
  s->found.push_back(w);
  return TRUE;
}

}  // namespace

std::vector<HWND> TopWindows(DWORD pid, const std::wstring& cls, bool includeHidden) {
  TopSearch s{pid, &cls, includeHidden, {}};
  EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND WaitTopWindow(DWORD pid, const std::wstring& cls, Ms limit) {
  HWND found = nullptr;
  WaitUntil(limit, [&] {
    auto all = TopWindows(pid, cls);
    if (!all.empty()) found = all.front();
    return found != nullptr;
  }, Ms(5));
  return found;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
  return out;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> out;
  for (HWND c : Children(parent)) {
    out.push_back(c);
    auto below = Descendants(c);
    out.insert(out.end(), below.begin(), below.end());
  }
  return out;
}

std::wstring ClassOf(HWND w) {
  wchar_t name[256] = {};
  if (RealGetWindowClassW(w, name, 256) == 0) GetClassNameW(w, name, 256);
  return name;
}

bool SendBounded(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result, Ms limit) {
  DWORD_PTR dummy = 0;
  return SendMessageTimeoutW(w, msg, wp, lp, SMTO_NORMAL, static_cast<UINT>(limit.count()),
                             result ? result : &dummy) != 0;
}

std::wstring TextOf(HWND w) {
  DWORD_PTR len = 0;
  if (!SendBounded(w, WM_GETTEXTLENGTH, 0, 0, &len, Ms(10000))) return L"<no answer>";
  std::wstring text(len + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendBounded(w, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(text.data()), &got, Ms(30000)))
    return L"<no answer>";
  text.resize(std::min<size_t>(got, len));
  return text;
}

LONG StyleOf(HWND w) { return GetWindowLongW(w, GWL_STYLE); }

bool HasStyle(HWND w, LONG bits) { return (StyleOf(w) & bits) == bits; }

RECT RectIn(HWND w, HWND parent) {
  RECT r{};
  GetWindowRect(w, &r);
  POINT origin{0, 0};
  ClientToScreen(parent, &origin);
  OffsetRect(&r, -origin.x, -origin.y);
  return r;
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right - r.left) +
         "," + std::to_string(r.bottom - r.top);
}

RemoteBuffer::RemoteBuffer(HWND owner, size_t bytes) : size_(bytes) {
  DWORD pid = 0;
  GetWindowThreadProcessId(owner, &pid);
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process_) remote_ = VirtualAllocEx(process_, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

RemoteBuffer::~RemoteBuffer() {
  if (remote_) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
  if (process_) CloseHandle(process_);
}

bool RemoteBuffer::Write(const void* data, size_t bytes, size_t offset) {
  if (!remote_ || offset > size_ || bytes > size_ - offset) return false;
  SIZE_T done = 0;
  return WriteProcessMemory(process_, static_cast<char*>(remote_) + offset, data, bytes, &done) &&
         done == bytes;
}

bool RemoteBuffer::Read(void* data, size_t bytes, size_t offset) const {
  if (!remote_ || offset > size_ || bytes > size_ - offset) return false;
  SIZE_T done = 0;
  return ReadProcessMemory(process_, static_cast<const char*>(remote_) + offset, data, bytes, &done) &&
         done == bytes;
}

std::wstring TabItemText(HWND tab, int index) {
  constexpr int kChars = 512;
  RemoteBuffer buf(tab, sizeof(TCITEMW) + kChars * sizeof(wchar_t));
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(buf.address()) + sizeof(TCITEMW));
  item.cchTextMax = kChars;
  const wchar_t zero = 0;
  if (!buf.Write(&item, sizeof item) || !buf.Write(&zero, sizeof zero, sizeof(TCITEMW)))
    return L"<no remote buffer>";
  DWORD_PTR ok = 0;
  if (!SendBounded(tab, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buf.address()),
                   &ok, Ms(5000)) ||
      !ok)
    return L"<no item>";
  // The control may point pszText at its own copy instead of filling ours.
  TCITEMW back{};
  buf.Read(&back, sizeof back);
  std::wstring text(kChars, L'\0');
  if (back.pszText == item.pszText) {
    buf.Read(text.data(), kChars * sizeof(wchar_t), sizeof(TCITEMW));
  } else {
    DWORD pid = 0;
    GetWindowThreadProcessId(tab, &pid);
    HANDLE p = OpenProcess(PROCESS_VM_READ, FALSE, pid);
    SIZE_T done = 0;
    if (p) {
      ReadProcessMemory(p, back.pszText, text.data(), kChars * sizeof(wchar_t), &done);
      CloseHandle(p);
    }
  }
  text.resize(wcsnlen(text.c_str(), kChars));
  return text;
}

std::wstring StatusPartText(HWND status, int part) {
  DWORD_PTR lenInfo = 0;
  if (!SendBounded(status, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0, &lenInfo, Ms(5000)))
    return L"<no answer>";
  const size_t len = LOWORD(lenInfo);
  RemoteBuffer buf(status, (len + 1) * sizeof(wchar_t));
  if (!SendBounded(status, SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(buf.address()),
                   nullptr, Ms(5000)))
    return L"<no answer>";
  std::wstring text(len + 1, L'\0');
  buf.Read(text.data(), (len + 1) * sizeof(wchar_t));
  text.resize(wcsnlen(text.c_str(), len));
  return text;
}

double PingMs(HWND w, Ms limit) {
  const auto start = Clock::now();
  if (!SendBounded(w, WM_NULL, 0, 0, nullptr, limit)) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace kestrova::e2e
