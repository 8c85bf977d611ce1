#include "tests/wine/WineTestSupport.h"

#include <algorithm>

namespace kestrova::winetest {

void MemoryState::ProcessPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  static unsigned serial = 0;
  for (;;) {
    const std::wstring dir = std::wstring(temp) + L"kestrova-test-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++);
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
      path_ = U(dir) + u"\\";
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  WIN32_FIND_DATAW found;
  const std::wstring dir = W(path_);
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW((dir + found.cFileName).c_str());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

bool WriteBytes(const std::u16string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
  CloseHandle(file);
  return ok && wrote == bytes.size();
}

std::string ReadBytes(const std::u16string& path) {
  HANDLE file = CreateFileW(W(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0) out.append(buffer, got);
  CloseHandle(file);
  return out;
}

bool DirectoryExists(const std::u16string& path) {
  const DWORD a = GetFileAttributesW(W(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> DescribeDirectory(const std::u16string& dir) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((W(dir) + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    out.push_back(std::wstring(found.cFileName) + L" " + std::to_wstring(found.nFileSizeLow) +
                  L" " + std::to_wstring(found.ftLastWriteTime.dwLowDateTime) + L"." +
                  std::to_wstring(found.ftLastWriteTime.dwHighDateTime));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(out.begin(), out.end());
  return out;
}

std::u16string OwnDirectory() {
  wchar_t self[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  return U(path.substr(0, path.find_last_of(L'\\') + 1));
}

}  // namespace kestrova::winetest
