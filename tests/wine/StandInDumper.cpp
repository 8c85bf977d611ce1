// Stands in for the dump tool in the Wine tests: writes a short UTF-8 listing
// (with a byte-order mark, as the real tool does when redirected) that names
// its argument. An input file that starts with "SLOW" makes it hold its output
// open for a few seconds, as a long dump would.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

void Put(HANDLE out, const std::string& text) {
  DWORD wrote = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const wchar_t* name = argc > 1 ? argv[1] : L"";
  Put(out, "\xEF\xBB\xBFStand-in dump of " + Utf8(name) + "\r\n");
  HANDLE in = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    Put(out, "Cannot open the file\r\n");
    return 1;
  }
  char head[4] = {};
  DWORD got = 0;
  ReadFile(in, head, sizeof head, &got, nullptr);
  const DWORD size = GetFileSize(in, nullptr);
  CloseHandle(in);
  Put(out, "Size " + std::to_string(size) + "\r\n");
  if (got == 4 && std::string(head, 4) == "SLOW") Sleep(3000);
  Put(out, "End of dump\r\n");
  return 0;
}
