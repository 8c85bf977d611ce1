// Prints what the system's version API reads from each file named in a list
// (one path a line, UTF-8), for the test that holds tdump's version listing to it:
//   FILE <path>
//   NONE                                   no version information
//   FIXED <file version> <product version> as a.b.c.d
//   TABLE <8 hex digits>                   one per entry of \VarFileInfo\Translation
//   STRING <8 hex digits> <key>=<value>    each standard key the table has
// Text is UTF-8; control characters are written as \xNN, as tdump does.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* const kKeys[] = {L"CompanyName",  L"FileDescription", L"FileVersion",     L"InternalName",
                                L"LegalCopyright", L"OriginalFilename", L"ProductName",  L"ProductVersion",
                                L"Comments",     L"LegalTrademarks", L"PrivateBuild",    L"SpecialBuild"};

std::string Utf8(const wchar_t* text, int units) {
  std::string out;
  for (int i = 0; i < units; ++i)
    if (text[i] < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(text[i]));
      out += buf;
    } else {
      int n = WideCharToMultiByte(CP_UTF8, 0, text + i, 1, nullptr, 0, nullptr, nullptr);
      bool pair = text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < units;
      if (pair) n = WideCharToMultiByte(CP_UTF8, 0, text + i, 2, nullptr, 0, nullptr, nullptr);
      std::string piece(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
      WideCharToMultiByte(CP_UTF8, 0, text + i, pair ? 2 : 1, piece.data(), n, nullptr, nullptr);
      out += piece;
      if (pair) ++i;
    }
  return out;
}

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Quad(DWORD ms, DWORD ls) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(ms)),
                static_cast<unsigned long>(LOWORD(ms)), static_cast<unsigned long>(HIWORD(ls)),
                static_cast<unsigned long>(LOWORD(ls)));
  return buf;
}

void One(const std::string& path, std::string& out) {
  out += "FILE " + path + "\n";
  std::wstring wpath = Wide(path);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(wpath.c_str(), &handle);
  std::vector<unsigned char> block(size);
  if (size == 0 || !GetFileVersionInfoW(wpath.c_str(), 0, size, block.data())) {
    out += "NONE\n";
    return;
  }
  void* p = nullptr;
  UINT len = 0;
  if (VerQueryValueW(block.data(), L"\\", &p, &len) && len >= sizeof(VS_FIXEDFILEINFO)) {
    auto* f = static_cast<const VS_FIXEDFILEINFO*>(p);
    out += "FIXED " + Quad(f->dwFileVersionMS, f->dwFileVersionLS) + " " +
           Quad(f->dwProductVersionMS, f->dwProductVersionLS) + "\n";
  }
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &p, &len)) return;
  auto* t = static_cast<const WORD*>(p);
  for (UINT i = 0; i + 1 < len / 2; i += 2) {
    wchar_t table[16];
    swprintf(table, 16, L"%04X%04X", t[i], t[i + 1]);
    out += "TABLE " + Utf8(table, 8) + "\n";
    for (const wchar_t* key : kKeys) {
      std::wstring query = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + key;
      wchar_t* value = nullptr;
      UINT units = 0;
      if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &units)) continue;
      int n = 0;
      while (value != nullptr && n < static_cast<int>(units) && value[n] != 0) ++n;
      out += "STRING " + Utf8(table, 8) + " " + Utf8(key, static_cast<int>(wcslen(key))) + "=" + Utf8(value, n) + "\n";
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: version_oracle LIST\n", stderr);
    return 2;
  }
  FILE* list = _wfopen(argv[1], L"rb");
  if (list == nullptr) {
    std::fputs("version_oracle: cannot open the list\n", stderr);
    return 2;
  }
  std::string out, line;
  for (int c; (c = std::fgetc(list)) != EOF;) {
    if (c != '\n') {
      if (c != '\r') line.push_back(static_cast<char>(c));
      continue;
    }
    if (!line.empty()) One(line, out);
    line.clear();
  }
  if (!line.empty()) One(line, out);
  std::fclose(list);
  DWORD wrote = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &wrote, nullptr);
  return 0;
}
