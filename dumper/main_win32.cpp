// The Windows command line: wide file names in, and out either wide
// characters to a console or UTF-8 with a byte-order mark to a file or pipe
// (the program decodes its listing by that mark, whatever the code page).
#include <windows.h>

#include <cstdint>

#include "dumper/Cli.h"
#include "dumper/system_win32.h"

namespace {

using kestrova::dumper::FileSource;
using kestrova::dumper::Sink;

std::string ToUtf8(const wchar_t* w, int n = -1) {
  int len = WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return {};
  std::string s(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), len, nullptr, nullptr);
  if (n == -1 && !s.empty()) s.pop_back();  // the converted NUL
  return s;
}

std::string SystemMessage(DWORD code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string s;
  if (n != 0 && buf != nullptr) {
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ' || buf[n - 1] == L'.')) --n;
    s = ToUtf8(buf, static_cast<int>(n));
  }
  if (buf != nullptr) LocalFree(buf);
  if (s.empty()) s = "system error " + std::to_string(code);
  return s;
}

class StdoutSink final : public Sink {
 public:
  StdoutSink() : h_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = h_ != nullptr && h_ != INVALID_HANDLE_VALUE && GetConsoleMode(h_, &mode) != 0;
  }
  void Write(std::string_view text) override {
    if (h_ == nullptr || h_ == INVALID_HANDLE_VALUE || text.empty()) return;
    if (console_) return ToConsole(text);
    if (!bomWritten_) {
      bomWritten_ = true;
      Raw("\xEF\xBB\xBF", 3);
    }
    // Windows text files end their lines in CR LF.
    std::string& b = scratch_;
    b.clear();
    b.reserve(text.size() + text.size() / 32 + 16);
    for (char c : text) {
      if (c == '\n') b.push_back('\r');
      b.push_back(c);
    }
    Raw(b.data(), b.size());
  }

 private:
  void Raw(const char* p, std::size_t n) {
    while (n > 0) {
      DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
      DWORD done = 0;
      if (!WriteFile(h_, p, chunk, &done, nullptr) || done == 0) return;
      p += done;
      n -= done;
    }
  }
  void ToConsole(std::string_view text) {
    // A chunk may end inside a UTF-8 sequence: keep the tail for the next one.
    pending_.append(text);
    std::size_t end = pending_.size();
    std::size_t back = 0;
    while (back < 3 && back < end && (static_cast<unsigned char>(pending_[end - 1 - back]) & 0xC0) == 0x80) ++back;
    if (back < end) {
      unsigned char lead = static_cast<unsigned char>(pending_[end - 1 - back]);
      std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (need > back + 1) end -= back + 1;
    }
    if (end == 0) return;
    int wlen = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), nullptr, 0);
    if (wlen > 0) {
      std::wstring w(static_cast<std::size_t>(wlen), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), w.data(), wlen);
      const wchar_t* p = w.data();
      std::size_t left = w.size();
      while (left > 0) {
        DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteConsoleW(h_, p, chunk, &done, nullptr) || done == 0) break;
        p += done;
        left -= done;
      }
    }
    pending_.erase(0, end);
  }

  HANDLE h_;
  bool console_ = false;
  bool bomWritten_ = false;
  std::string pending_;
  std::string scratch_;
};

// Maps each file read-only (the view is only read, never executed); reads it
// when it cannot be mapped (an empty file, or one too large for the address space).
class Win32Files final : public FileSource {
 public:
  explicit Win32Files(wchar_t** argv) : argv_(argv) {}
  ~Win32Files() override { Unmap(); }

  std::span<const std::uint8_t> Mapped() const override { return {view_, viewSize_}; }
  kestrova::dumper::system::Files* SystemFiles() override { return system_.get(); }
  bool RunningSystem(kestrova::dumper::system::SystemView& view) override {
    view = kestrova::dumper::win32::RunningSystem(*system_);
    return view.present;
  }
  std::string AppDirHint() override { return kestrova::dumper::win32::AppDirFromEnvironment(); }
  std::string Environment(std::string_view name) override {
    return kestrova::dumper::win32::EnvironmentValue(std::wstring(name.begin(), name.end()).c_str());
  }
  std::string UserLanguage() override { return kestrova::dumper::win32::UserUiLanguage(); }

  bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& error) override {
    Unmap();
    HANDLE f = CreateFileW(argv_[index], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
      error = SystemMessage(GetLastError());
      return false;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(f, &size) && size.QuadPart > 0 &&
        static_cast<unsigned long long>(size.QuadPart) <= SIZE_MAX) {
      if (HANDLE m = CreateFileMappingW(f, nullptr, PAGE_READONLY, 0, 0, nullptr)) {
        void* v = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(m);
        if (v != nullptr) {
          CloseHandle(f);
          view_ = static_cast<const std::uint8_t*>(v);
          viewSize_ = static_cast<std::size_t>(size.QuadPart);
          return true;
        }
      }
      bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    std::uint8_t chunk[1 << 16];
    while (true) {
      DWORD n = 0;
      if (!ReadFile(f, chunk, sizeof chunk, &n, nullptr)) {
        error = SystemMessage(GetLastError());
        CloseHandle(f);
        return false;
      }
      if (n == 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    CloseHandle(f);
    return true;
  }

 private:
  void Unmap() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    view_ = nullptr;
    viewSize_ = 0;
  }
  wchar_t** argv_;
  std::unique_ptr<kestrova::dumper::system::Files> system_ = kestrova::dumper::win32::SystemFiles();
  const std::uint8_t* view_ = nullptr;
  std::size_t viewSize_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(ToUtf8(argv[i]));
  Win32Files files(argv + 1);
  StdoutSink out;
  return kestrova::dumper::RunCli(args, files, out);
}
