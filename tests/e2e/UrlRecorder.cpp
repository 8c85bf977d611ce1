// Stands in for the web browser: the test prefix's http handler runs
//   UrlRecorder.exe OUTPUT ADDRESS
// and this appends ADDRESS and a line break to OUTPUT, in UTF-8, so the driver
// can see exactly what the shell was asked to open, and how often.
#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3) return 2;
  std::wstring line = argv[2];
  for (int i = 3; i < argc; ++i) line += std::wstring(L" ") + argv[i];  // should never happen
  line += L"\n";
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr,
                      nullptr);
  HANDLE f = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 1;
  DWORD done = 0;
  const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(f);
  LocalFree(argv);
  return ok ? 0 : 1;
}
