#include "platform/win32/Win32Platform.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <string>

namespace kestrova::platform {
namespace {

using workflow::Bytes;
using workflow::Encoded;
using workflow::Outcome;
using workflow::ReadResult;
using workflow::WriteResult;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

// The Win32 APIs take NUL-terminated wide strings; std::u16string holds the same units.
std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string Narrow16(const wchar_t* text, std::size_t size) {
  return std::u16string(text, text + size);
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

bool IsSharingError(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

Outcome Failed(DWORD code) {
  const auto status = IsSharingError(code)          ? Outcome::Status::SharingViolation
                      : code == ERROR_ALREADY_EXISTS ? Outcome::Status::AlreadyExists
                      : code == ERROR_FILE_EXISTS    ? Outcome::Status::AlreadyExists
                                                     : Outcome::Status::Failed;
  return Outcome::Failure(status, Win32Platform::SystemText(code));
}

constexpr DWORD kChunk = 1u << 20;

}  // namespace

std::u16string Win32Platform::SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (n != 0 && buffer != nullptr) text = Narrow16(buffer, n);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    // Some codes have no text; the number still helps whoever reads the box.
    text = u"Error ";
    for (const char c : std::to_string(code)) text += static_cast<char16_t>(c);
  }
  return text;
}

std::u16string Win32Platform::ModulePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return Narrow16(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool Win32Platform::IsFile(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<Bytes> Win32Platform::ReadResource(std::u16string_view name,
                                                 std::u16string_view type) {
  // String lookups are case-insensitive: the resource directory keeps names in capitals.
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, Wide(name).c_str(), Wide(type).c_str());
  if (info == nullptr) return std::nullopt;
  const DWORD size = SizeofResource(module, info);
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return std::nullopt;
  const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
  if (data == nullptr && size != 0) return std::nullopt;
  // Resources of the running image need no FreeResource.
  return Bytes(data, data + size);
}

WriteResult Win32Platform::WriteWhole(const std::u16string& path, const Bytes& bytes) {
  Handle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    return {WriteResult::Status::CreateFailed, SystemText(GetLastError())};
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kChunk));
    DWORD wrote = 0;
    if (!WriteFile(file.get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0) {
      return {WriteResult::Status::WriteFailed, SystemText(GetLastError())};
    }
    done += wrote;
  }
  return {};
}

bool Win32Platform::CopyReplacing(const std::u16string& from, const std::u16string& to) {
  return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) != 0;
}

bool Win32Platform::Erase(const std::u16string& path) {
  return DeleteFileW(Wide(path).c_str()) != 0;
}

Outcome Win32Platform::Rename(const std::u16string& from, const std::u16string& to) {
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), 0)) return Outcome::Success();
  return Failed(GetLastError());
}

ReadResult Win32Platform::ReadDenyingWriters(const std::u16string& path) {
  Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return {Failed(GetLastError()), {}};
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return {Failed(GetLastError()), {}};
  // No edit control takes more than this; refuse before allocating it.
  if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > INT_MAX) {
    return {Failed(ERROR_FILE_TOO_LARGE), {}};
  }
  ReadResult result;
  result.bytes.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < result.bytes.size()) {
    const DWORD want =
        static_cast<DWORD>(std::min<std::size_t>(result.bytes.size() - done, kChunk));
    DWORD got = 0;
    if (!ReadFile(file.get(), result.bytes.data() + done, want, &got, nullptr)) {
      return {Failed(GetLastError()), {}};
    }
    if (got == 0) break;  // shorter than it said: take what is there
    done += got;
  }
  result.bytes.resize(done);
  return result;
}

bool Win32Platform::ChangeDirectory(const std::u16string& path) {
  return SetCurrentDirectoryW(Wide(path).c_str()) != 0;
}

Outcome Win32Platform::MakeDirectory(const std::u16string& path) {
  if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return Outcome::Success();
  return Failed(GetLastError());
}

bool Win32Platform::RemoveEmptyDirectory(const std::u16string& path) {
  std::wstring dir = Wide(path);
  while (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
  return RemoveDirectoryW(dir.c_str()) != 0;
}

std::u16string Win32Platform::TempFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return {};
  std::u16string dir = Narrow16(buffer, n);
  if (dir.back() != u'\\') dir += u'\\';
  return dir;
}

std::uint32_t Win32Platform::ProcessId() { return GetCurrentProcessId(); }

void Win32Platform::Pause(unsigned milliseconds) { Sleep(milliseconds); }

void Win32Platform::SetChildEnvironment(const std::u16string& name, const std::u16string& value) {
  SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

bool Win32Platform::ShellOpen(const std::u16string& file, const std::u16string& params,
                              int show) {
  // Shell handlers may be COM objects; the thread keeps COM for the process's life.
  static const bool comReady = [] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
  }();
  (void)comReady;
  const std::wstring wideFile = Wide(file);
  const std::wstring wideParams = Wide(params);
  const HINSTANCE result =
      ShellExecuteW(owner_, L"open", wideFile.c_str(),
                    params.empty() ? nullptr : wideParams.c_str(), nullptr, show);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

unsigned Win32Platform::AnsiCodePage() { return GetACP(); }

unsigned Win32Platform::OemCodePage() { return GetOEMCP(); }

Encoded Win32Platform::Encode(unsigned codePage, std::u16string_view text) {
  Encoded out;
  if (text.empty()) return out;
  if (text.size() > static_cast<std::size_t>(INT_MAX / 4)) {
    out.lossy = true;
    return out;
  }
  const std::wstring wide = Wide(text);
  const int length = static_cast<int>(wide.size());
  const bool utf8 = codePage == CP_UTF8;
  // UTF-8 knows no default character; only broken surrogates fail to encode.
  // Elsewhere best fit would turn "é" into "e" quietly, so it is off.
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultArg = utf8 ? nullptr : &usedDefault;
  int n = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr,
                              usedDefaultArg);
  if (n == 0) {
    // Invalid in UTF-8, or a code page that takes no flags: try plainly.
    out.lossy = utf8;
    flags = 0;
    n = WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr,
                            usedDefaultArg);
    if (n == 0) {
      out.lossy = true;
      return out;
    }
  }
  out.bytes.resize(static_cast<std::size_t>(n));
  usedDefault = FALSE;
  WideCharToMultiByte(codePage, flags, wide.data(), length, out.bytes.data(), n, nullptr,
                      usedDefaultArg);
  if (usedDefault) out.lossy = true;
  return out;
}

std::u16string Win32Platform::Decode(unsigned codePage, std::string_view bytes) {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(codePage, 0, bytes.data(), length, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), length, wide.data(), n);
  return Narrow16(wide.data(), wide.size());
}

}  // namespace kestrova::platform
