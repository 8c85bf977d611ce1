// The Dependencies part's Win32 half.
#include "dumper/system_win32.h"

#include <windows.h>

#include <cstdint>
#include <vector>

namespace kestrova::dumper::win32 {

namespace {

std::string Utf8(const wchar_t* w, int n) {
  int len = WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return {};
  std::string s(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), len, nullptr, nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(len > 0 ? len : 0), L'\0');
  if (len > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), len);
  return w;
}

// A folder the system names, with '/' between its parts like every path of the walk.
template <class Get>
std::string Folder(Get get) {
  wchar_t buf[MAX_PATH + 1];
  UINT n = get(buf, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  std::string s = Utf8(buf, static_cast<int>(n));
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

class View final : public system::FileBytes {
 public:
  View(const void* p, std::size_t n) : p_(p), n_(n) {}
  ~View() override {
    if (p_ != nullptr) UnmapViewOfFile(p_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  std::span<const std::uint8_t> Bytes() const override { return {static_cast<const std::uint8_t*>(p_), n_}; }

 private:
  const void* p_;
  std::size_t n_;
};

class Files final : public system::Files {
 public:
  bool List(const std::string& dir, std::vector<std::string>& names) override {
    std::string error;
    return ListFolder(dir, names, error);
  }

  bool ListFolder(const std::string& dir, std::vector<std::string>& names, std::string& error) override {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileExW((Wide(dir) + L"\\*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
      error = "cannot be listed (system error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    do {
      if (d.cFileName[0] == L'.' && (d.cFileName[1] == 0 || (d.cFileName[1] == L'.' && d.cFileName[2] == 0))) continue;
      names.push_back(Utf8(d.cFileName, -1));
      names.back().pop_back();  // the converted NUL
    } while (FindNextFileW(h, &d));
    FindClose(h);
    return true;
  }

  // Links and junctions are followed: a folder is known by its volume and file index.
  system::PathKind Kind(const std::string& path) override {
    system::PathKind k;
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      k.error = "cannot be found (system error " + std::to_string(GetLastError()) + ")";
      return k;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      k.type = system::PathKind::Type::File;
      return k;
    }
    k.type = system::PathKind::Type::Folder;
    HANDLE h = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (h != INVALID_HANDLE_VALUE) {
      if (GetFileInformationByHandle(h, &info))
        k.id = std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
               std::to_string(info.nFileIndexLow);
      CloseHandle(h);
    }
    return k;
  }

  std::unique_ptr<system::FileBytes> Open(const std::string& path, std::string& error) override {
    HANDLE f = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
      error = "cannot open (system error " + std::to_string(GetLastError()) + ")";
      return nullptr;
    }
    LARGE_INTEGER size{};
    std::unique_ptr<system::FileBytes> out;
    if (GetFileSizeEx(f, &size) && size.QuadPart > 0 && static_cast<unsigned long long>(size.QuadPart) <= SIZE_MAX) {
      // A data mapping: the DLL is read as bytes, never mapped as an image or run.
      if (HANDLE m = CreateFileMappingW(f, nullptr, PAGE_READONLY, 0, 0, nullptr)) {
        if (void* v = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0))
          out = std::make_unique<View>(v, static_cast<std::size_t>(size.QuadPart));
        CloseHandle(m);
      }
    } else if (size.QuadPart == 0) {
      out = std::make_unique<View>(nullptr, 0);
    }
    if (!out) error = "cannot map (system error " + std::to_string(GetLastError()) + ")";
    CloseHandle(f);
    return out;
  }
};

std::vector<std::string> KnownDllsFromRegistry() {
  std::vector<std::string> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0,
                    KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0; i < 4096; ++i) {
    wchar_t name[256], data[512];
    DWORD nameLen = 256, dataLen = sizeof data - sizeof(wchar_t), type = 0;
    LONG rc = RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataLen / sizeof(wchar_t)] = 0;
    std::string v = system::LowerAscii(Utf8(data, -1).c_str());
    if (v.find('.') == std::string::npos) continue;  // DllDirectory and its kin name folders
    out.push_back(v);
  }
  RegCloseKey(key);
  return out;
}

}  // namespace

std::unique_ptr<system::Files> SystemFiles() { return std::make_unique<Files>(); }

system::SystemView RunningSystem(system::Files& files) {
  (void)files;
  system::SystemView v;
  v.windows = Folder([](wchar_t* b, UINT n) { return GetSystemWindowsDirectoryW(b, n); });
  v.system32 = Folder([](wchar_t* b, UINT n) { return GetSystemDirectoryW(b, n); });
  v.sysWow64 = Folder([](wchar_t* b, UINT n) { return GetSystemWow64DirectoryW(b, n); });
  if (!v.windows.empty()) v.system16 = v.windows + "/System";
  // A 32-bit tool on 64-bit Windows is shown SysWOW64 under the name System32;
  // the real one, where a 64-bit program's DLLs lie, answers to Sysnative.
  BOOL wow64 = FALSE;
  if (!v.windows.empty() && IsWow64Process(GetCurrentProcess(), &wow64) && wow64) v.system32 = v.windows + "/Sysnative";
  if (v.system32.empty()) {
    v.why = "the system folder is not known";
    return v;
  }
  v.present = true;
  v.knownDlls = KnownDllsFromRegistry();
  if (v.knownDlls.empty()) {
    v.knownDlls = system::FixedKnownDlls();
  } else {
    v.knownFrom = system::SystemView::KnownFrom::Registry;
    v.knownDlls.push_back("ntdll.dll");
  }
  DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (n > 0) {
    std::wstring path(n, L'\0');
    n = GetEnvironmentVariableW(L"PATH", path.data(), n);
    std::string all = Utf8(path.c_str(), static_cast<int>(n));
    std::size_t at = 0;
    while (at <= all.size()) {
      std::size_t end = all.find(';', at);
      if (end == std::string::npos) end = all.size();
      std::string dir = all.substr(at, end - at);
      for (char& c : dir)
        if (c == '\\') c = '/';
      if (!dir.empty()) v.path.push_back(dir);
      at = end + 1;
    }
  }
  return v;
}

std::string AppDirFromEnvironment() { return EnvironmentValue(L"KESTROVA_APP_DIR"); }

std::string EnvironmentValue(const wchar_t* name) {
  std::wstring buf(32768, L'\0');
  DWORD n = GetEnvironmentVariableW(name, buf.data(), 32768);
  if (n == 0 || n >= 32768) return {};
  return Utf8(buf.data(), static_cast<int>(n));
}

std::string UserUiLanguage() {
  wchar_t tag[LOCALE_NAME_MAX_LENGTH] = {};
  const LCID id = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  const int n = LCIDToLocaleName(id, tag, LOCALE_NAME_MAX_LENGTH, 0);
  return n > 1 ? Utf8(tag, n - 1) : std::string();
}

}  // namespace kestrova::dumper::win32
