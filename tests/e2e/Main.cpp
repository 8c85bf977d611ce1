// The end-to-end driver: kestrova_e2e --kestrova=PATH --recorder=PATH [gtest flags]
// It must run on the Wine desktop that Kestrova.exe will use (tests/e2e/run.sh).
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

#include "tests/e2e/Harness.h"

namespace {

// Kestrova copies left over by an earlier run that died would make every
// single-instance check fail, so they go before and after the run.
void EndStrayCopies() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL more = Process32FirstW(snap, &pe); more; more = Process32NextW(snap, &pe)) {
    if (_wcsicmp(pe.szExeFile, L"Kestrova.exe") != 0) continue;
    if (HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pe.th32ProcessID)) {
      TerminateProcess(p, 98);
      WaitForSingleObject(p, 5000);
      CloseHandle(p);
    }
  }
  CloseHandle(snap);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  auto& cfg = kestrova::e2e::config();
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a.rfind(L"--kestrova=", 0) == 0) cfg.kestrova = kestrova::e2e::ToWindowsPath(a.substr(11));
    if (a.rfind(L"--recorder=", 0) == 0) cfg.recorder = kestrova::e2e::ToWindowsPath(a.substr(11));
  }
  if (cfg.kestrova.empty() || GetFileAttributesW(cfg.kestrova.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "kestrova_e2e: give --kestrova=PATH of an existing Kestrova.exe\n");
    return 2;
  }
  EndStrayCopies();
  const int rc = RUN_ALL_TESTS();
  EndStrayCopies();
  return rc;
}
