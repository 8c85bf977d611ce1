#include "tests/e2e/Harness.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

namespace kestrova::e2e {

Config& config() {
  static Config c;
  return c;
}

namespace {

std::wstring Lower(std::wstring s) {
  for (auto& ch : s) ch = static_cast<wchar_t>(std::towlower(ch));
  return s;
}

std::wstring WithoutAmpersands(std::wstring s) {
  s.erase(std::remove(s.begin(), s.end(), L'&'), s.end());
  return s;
}

bool Contains(HWND outer, HWND inner) {
  RECT o{}, i{};
  GetWindowRect(outer, &o);
  GetWindowRect(inner, &i);
  return i.left >= o.left && i.top >= o.top && i.right <= o.right && i.bottom <= o.bottom;
}

// Every scenario's files live under one directory of this driver run.
const std::wstring& ScratchBase() {
  static const std::wstring base = [] {
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, tmp);
    std::wstring b = std::wstring(tmp) + L"kestrova-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(b.c_str(), nullptr);
    return b;
  }();
  return base;
}

struct BaseRemover {
  ~BaseRemover() { RemoveTree(ScratchBase()); }
};

}  // namespace

std::string FindControls(HWND form, Controls& c) {
  c = Controls{};
  c.form = form;
  std::vector<HWND> groups, edits;
  for (HWND w : Descendants(form)) {
    const std::wstring cls = Lower(ClassOf(w));
    if (cls == L"systabcontrol32") {
      c.tab = w;
    } else if (cls == L"msctls_statusbar32") {
      c.status = w;
    } else if (cls == L"button") {
      if ((StyleOf(w) & BS_TYPEMASK) == BS_GROUPBOX) {
        groups.push_back(w);
        continue;
      }
      const std::wstring text = WithoutAmpersands(TextOf(w));
      if (text == L"浏览") c.browse = w;
      if (text == L"分析") c.analyze = w;
      if (text == L"软件更新") c.update = w;
    } else if (cls == L"edit") {
      if (StyleOf(w) & ES_MULTILINE)
        c.memo = w;
      else
        edits.push_back(w);
    } else if (cls == L"static") {
      if (TextOf(w).rfind(L"Delphi工具之TDUMP", 0) == 0) c.label2 = w;
    }
  }
  for (HWND e : edits) {
    if (!(StyleOf(e) & WS_VISIBLE) && TextOf(e) == L"1.0")
      c.softVer = e;
    else if (!c.edit1)
      c.edit1 = e;
  }
  for (HWND g : groups) {
    if (c.browse && (IsChild(g, c.browse) || Contains(g, c.browse)))
      c.group1 = g;
    else if (c.memo && (IsChild(g, c.memo) || Contains(g, c.memo)))
      c.group2 = g;
  }
  std::string missing;
  auto need = [&](HWND w, const char* name) {
    if (!w) missing += std::string(missing.empty() ? "" : ", ") + name;
  };
  need(c.tab, "PageControl1");
  need(c.group1, "GroupBox1");
  need(c.group2, "GroupBox2");
  need(c.edit1, "Edit1");
  need(c.browse, "Button3");
  need(c.analyze, "Button1");
  need(c.update, "Button2");
  need(c.memo, "Memo1");
  need(c.label2, "Label2");
  need(c.status, "StatusBar1");
  need(c.softVer, "Edit_SoftVer");
  return missing.empty() ? missing : "not found: " + missing;
}

Scratch::Scratch(const std::string& name) {
  static BaseRemover remover;
  root_ = ScratchBase() + Widen(name) + L"-" + std::to_wstring(GetTickCount()) + L"\\";
  RemoveTree(root_);
  CreateDirectoryW(root_.c_str(), nullptr);
}

Scratch::~Scratch() { RemoveTree(root_); }

std::wstring Scratch::Dir(const std::wstring& sub) const {
  std::wstring d = root_ + sub + L"\\";
  CreateDirectoryW(d.c_str(), nullptr);
  return d;
}

void RemoveTree(const std::wstring& dir) {
  std::wstring d = dir;
  if (!d.empty() && d.back() != L'\\') d += L'\\';
  for (const auto& name : ListDir(d)) {
    const std::wstring p = d + name;
    if (IsDirectory(p)) {
      RemoveTree(p);
    } else {
      SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(p.c_str());
    }
  }
  RemoveDirectoryW(d.c_str());
}

std::vector<std::wstring> ListDir(const std::wstring& dir) {
  std::vector<std::wstring> out;
  std::wstring pattern = dir;
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L"*";
  WIN32_FIND_DATAW fd{};
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::wstring n = fd.cFileName;
    if (n != L"." && n != L"..") out.push_back(n);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(out.begin(), out.end());
  return out;
}

bool IsDirectory(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CopyOf(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(ToWindowsPath(from).c_str(), to.c_str(), FALSE) != 0;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(f);
  return ok && done == bytes.size();
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size{};
  GetFileSizeEx(f, &size);
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD done = 0;
  const BOOL ok = bytes.empty() || ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(f);
  if (!ok || done != bytes.size()) return std::nullopt;
  return bytes;
}

FILETIME WriteTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a);
  return a.ftLastWriteTime;
}

std::wstring DecodeListing(const std::string& bytes) {
  std::wstring raw;
  auto fromCodePage = [&](UINT cp, size_t skip) {
    const char* p = bytes.data() + skip;
    const int len = static_cast<int>(bytes.size() - skip);
    if (len == 0) return;
    const int n = MultiByteToWideChar(cp, 0, p, len, nullptr, 0);
    raw.resize(static_cast<size_t>(n));
    MultiByteToWideChar(cp, 0, p, len, raw.data(), n);
  };
  auto fromUtf16 = [&](bool bigEndian) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
      raw.push_back(static_cast<wchar_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
    }
  };
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    fromCodePage(CP_UTF8, 3);
  else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0)
    fromUtf16(false);
  else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFE\xFF") == 0)
    fromUtf16(true);
  else
    fromCodePage(CP_ACP, 0);
  std::wstring out;
  out.reserve(raw.size() + raw.size() / 16);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == L'\r') {
      out += L"\r\n";
      if (i + 1 < raw.size() && raw[i + 1] == L'\n') ++i;
    } else if (raw[i] == L'\n') {
      out += L"\r\n";
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

namespace {

// The carried dump tool, taken out of Kestrova.exe's resources once per run.
std::optional<std::wstring> Payload(std::string* why) {
  static std::optional<std::wstring> path;
  if (path) return path;
  HMODULE m = LoadLibraryExW(config().kestrova.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!m) {
    *why = "cannot load Kestrova.exe's resources";
    return std::nullopt;
  }
  HRSRC r = FindResourceW(m, L"TDUMP", L"EXE");
  const void* data = r ? LockResource(LoadResource(m, r)) : nullptr;
  const DWORD size = r ? SizeofResource(m, r) : 0;
  std::string bytes = data ? std::string(static_cast<const char*>(data), size) : std::string();
  FreeLibrary(m);
  if (bytes.empty()) {
    *why = "Kestrova.exe carries no resource TDUMP of type EXE";
    return std::nullopt;
  }
  std::wstring dir = ScratchBase() + L"payload\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  if (!WriteBytes(dir + L"tdump.exe", bytes)) {
    *why = "cannot write the payload";
    return std::nullopt;
  }
  path = dir + L"tdump.exe";
  return path;
}

}  // namespace

unsigned MemoColumns(HWND memo) {
  RECT r{};
  DWORD_PTR ignored = 0, first = 0, second = 0;
  if (!SendBounded(memo, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&r), &ignored, Ms(10000)) || r.right <= r.left) {
    // Where the rectangle does not cross processes: the client area less the margins.
    DWORD_PTR margins = 0;
    if (!GetClientRect(memo, &r) || !SendBounded(memo, EM_GETMARGINS, 0, 0, &margins, Ms(10000))) return 0;
    r.left += LOWORD(margins);
    r.right -= HIWORD(margins);
  }
  // The listing's first line is ASCII in a monospace font: two positions give a character's width.
  if (!SendBounded(memo, EM_POSFROMCHAR, 0, 0, &first, Ms(10000)) ||
      !SendBounded(memo, EM_POSFROMCHAR, 1, 0, &second, Ms(10000)))
    return 0;
  const int w = static_cast<int>(LOWORD(second)) - static_cast<int>(LOWORD(first));
  if (w <= 0 || r.right <= r.left) return 0;
  return static_cast<unsigned>((r.right - r.left) / w);
}

std::optional<std::wstring> ExpectedListing(const std::wstring& dir, const std::wstring& name, HWND memo,
                                            std::string* why) {
  auto tool = Payload(why);
  if (!tool) return std::nullopt;
  const std::wstring out = ScratchBase() + L"expected-listing.txt";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE f = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    *why = "cannot create the expected listing's file";
    return std::nullopt;
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = f;
  si.hStdError = f;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring cmd = L"tdump.exe \"" + name + L"\"";
  // The window tells the tool the folder the user's file came from; so does this.
  SetEnvironmentVariableW(L"KESTROVA_APP_DIR", dir.c_str());
  // The window's listing is Chinese and wrapped to its memo.
  SetEnvironmentVariableW(L"KESTROVA_LANG", L"zh-CN");
  const unsigned columns = MemoColumns(memo);
  if (columns == 0) {
    *why = "cannot measure the memo's width";
    return std::nullopt;
  }
  SetEnvironmentVariableW(L"KESTROVA_WIDTH", std::to_wstring(columns).c_str());
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(tool->c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, dir.c_str(), &si, &pi);
  CloseHandle(f);
  if (!started) {
    *why = "cannot run the payload";
    return std::nullopt;
  }
  const bool ended = WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  auto bytes = ReadBytes(out);
  DeleteFileW(out.c_str());
  if (!ended || !bytes) {
    *why = "the payload did not finish within 120 s";
    return std::nullopt;
  }
  return DecodeListing(*bytes);
}

Kestrova::Kestrova(Scratch& scratch, std::wstring temp)
    : scratch_(scratch), appDir_(scratch.Dir(L"app")), temp_(std::move(temp)) {
  if (temp_.empty()) temp_ = scratch.Dir(L"temp");
  exe_ = appDir_ + L"Kestrova.exe";
  // Copies share one program directory when they share a scratch tree.
  if (GetFileAttributesW(exe_.c_str()) == INVALID_FILE_ATTRIBUTES)
    CopyFileW(config().kestrova.c_str(), exe_.c_str(), FALSE);
}

Kestrova::~Kestrova() {
  if (process_.Running()) Close(Ms(5000));
}

void Kestrova::Launch(const std::wstring& args) { process_ = Process::Start(exe_, temp_, appDir_, args); }

std::string Kestrova::Start(const std::wstring& args) {
  Launch(args);
  if (!process_.handle()) return "CreateProcess of Kestrova.exe failed";
  HWND form = WaitTopWindow(process_.pid(), L"TForm1", Ms(30000));
  if (!form) return "no visible TForm1 window within 30 s";
  std::string missing;
  WaitUntil(Ms(15000), [&] {
    missing = FindControls(form, controls_);
    return missing.empty() && GetWindowTextLengthW(form) > 0;
  }, Ms(50));
  return missing;
}

bool Kestrova::Close(Ms limit) {
  if (!process_.Running()) return true;
  if (controls_.form) PostMessageW(controls_.form, WM_CLOSE, 0, 0);
  if (process_.WaitExit(limit)) return true;
  process_.Kill();
  return false;
}

std::vector<std::wstring> Kestrova::WorkAreas() const {
  std::vector<std::wstring> out;
  for (const auto& n : ListDir(temp_))
    if (IsDirectory(temp_ + n)) out.push_back(temp_ + n + L"\\");
  return out;
}

namespace {

HWND FileNameEdit(HWND dlg) {
  constexpr int kFileNameCombo = 0x47c;  // cmb13 of the common dialog templates
  constexpr int kFileNameEdit = 0x480;   // edt1 of the older template
  if (HWND combo = GetDlgItem(dlg, kFileNameCombo)) {
    if (HWND e = FindWindowExW(combo, nullptr, L"Edit", nullptr)) return e;
    return combo;
  }
  if (HWND e = GetDlgItem(dlg, kFileNameEdit)) return e;
  for (HWND w : Descendants(dlg))
    if (Lower(ClassOf(w)) == L"edit" && IsWindowVisible(w)) return w;
  return nullptr;
}

}  // namespace

std::string Kestrova::AnswerFileDialog(const std::wstring& path, std::wstring* proposed, int type,
                                       std::vector<std::wstring>* types) {
  const HWND form = controls_.form;
  HWND dlg = nullptr;
  WaitUntil(Ms(15000), [&] {
    for (HWND w : TopWindows(process_.pid(), L"#32770"))
      if (GetWindow(w, GW_OWNER) == form) dlg = w;
    return dlg != nullptr;
  });
  if (!dlg) return "no file dialog owned by the window within 15 s";
  HWND name = nullptr;
  WaitUntil(Ms(15000), [&] { return (name = FileNameEdit(dlg)) != nullptr; });
  if (!name) return "the file dialog has no file-name field";
  if (proposed) *proposed = TextOf(name);
  if (type != 0 || types) {
    constexpr int kTypeCombo = 0x470;  // cmb1 of the common dialog templates
    HWND combo = GetDlgItem(dlg, kTypeCombo);
    if (!combo) return "the file dialog has no file-type list";
    DWORD_PTR count = 0;
    SendBounded(combo, CB_GETCOUNT, 0, 0, &count, Ms(5000));
    for (DWORD_PTR i = 0; types && i < count; ++i) {
      wchar_t text[256] = {};
      SendBounded(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), nullptr, Ms(5000));
      types->push_back(text);
    }
    if (type != 0) {
      if (static_cast<DWORD_PTR>(type) > count) return "the file dialog offers fewer file types";
      // As a pick with the mouse, which tells the dialog twice (Wine's listens
      // to the second).
      SendBounded(combo, CB_SETCURSEL, static_cast<WPARAM>(type - 1), 0, nullptr, Ms(5000));
      for (int note : {CBN_SELCHANGE, CBN_SELENDOK})
        SendBounded(dlg, WM_COMMAND, MAKEWPARAM(kTypeCombo, static_cast<WORD>(note)), reinterpret_cast<LPARAM>(combo), nullptr,
                    Ms(5000));
    }
  }
  SendBounded(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), nullptr, Ms(5000));
  HWND ok = GetDlgItem(dlg, IDOK);
  if (!ok) return "the file dialog has no OK button";
  PostMessageW(ok, BM_CLICK, 0, 0);
  if (!WaitUntil(Ms(15000), [&] { return !IsWindow(dlg) || !IsWindowVisible(dlg); }))
    return "the file dialog did not close after OK";
  return {};
}

std::string Kestrova::BrowseTo(const std::wstring& path) {
  PostMessageW(controls_.browse, BM_CLICK, 0, 0);
  if (std::string why = AnswerFileDialog(path); !why.empty()) return why;
  std::wstring shown;
  if (!WaitUntil(Ms(10000), [&] { return (shown = TextOf(controls_.edit1)) == path; }))
    return "Edit1 shows \"" + Narrow(shown) + "\" instead of the chosen path";
  return {};
}

bool Kestrova::ClickAnalyze() { return SendBounded(controls_.analyze, BM_CLICK, 0, 0, nullptr, Ms(15000)); }

std::optional<std::wstring> Kestrova::WaitListing(Ms limit) {
  const std::wstring waiting = std::wstring(kWaitingLine) + L"\r\n";
  DWORD_PTR last = 0;
  int steady = 0;
  const bool done = WaitUntil(limit, [&] {
    DWORD_PTR len = 0;
    if (!SendBounded(controls_.memo, WM_GETTEXTLENGTH, 0, 0, &len, Ms(10000))) return false;
    const bool candidate = len != 0 && len != waiting.size() && !IsWindowEnabled(controls_.analyze);
    steady = candidate && len == last ? steady + 1 : 0;
    last = len;
    return steady >= 3;  // same length over three polls: the fill is over
  }, Ms(100));
  if (!done) return std::nullopt;
  return TextOf(controls_.memo);
}

bool PressKey(HWND w, WORD key, bool ctrl, bool shift) {
  HWND top = GetAncestor(w, GA_ROOT);
  SetForegroundWindow(top);
  if (!WaitUntil(Ms(5000), [&] { return GetForegroundWindow() == top; })) return false;
  std::vector<INPUT> in;
  auto add = [&](WORD vk, bool up) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = vk;
    i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    in.push_back(i);
  };
  if (ctrl) add(VK_CONTROL, false);
  if (shift) add(VK_SHIFT, false);
  add(key, false);
  add(key, true);
  if (shift) add(VK_SHIFT, true);
  if (ctrl) add(VK_CONTROL, true);
  return SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT)) == in.size();
}

HWND Kestrova::WaitBox(const std::wstring& caption, Ms limit) {
  HWND box = nullptr;
  WaitUntil(limit, [&] {
    for (HWND w : TopWindows(process_.pid(), L""))
      if (w != controls_.form && TextOf(w) == caption) box = w;
    return box != nullptr;
  });
  return box;
}

namespace {

// What the screen shows inside `w`, as 32-bit BGRx pixels.
std::vector<unsigned char> Capture(HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  std::vector<unsigned char> out;
  if (width <= 0 || height <= 0) return out;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  if (bits) {
    const auto* px = static_cast<const unsigned char*>(bits);
    out.assign(px, px + static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return out;
}

// Share of strongly red pixels: the error icon is a red disc.
bool LooksRed(HWND w) {
  const auto px = Capture(w);
  const size_t total = px.size() / 4;
  size_t red = 0;
  for (size_t i = 0; i < total; ++i) {
    const unsigned b = px[i * 4], g = px[i * 4 + 1], rd = px[i * 4 + 2];
    if (rd > 150 && g < 110 && b < 110) ++red;
  }
  return total > 0 && red * 5 >= total;
}

// A loaded machine may take seconds to paint a new window, so `looks` is
// asked again, after a repaint request, until it holds or `limit` passes.
bool RepaintUntil(HWND w, Ms limit, const std::function<bool()>& looks) {
  return WaitUntil(limit, [&] {
    if (looks()) return true;
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    return false;
  }, Ms(200));
}

}  // namespace

BoxContent ReadBox(HWND box) {
  BoxContent b;
  for (HWND w : Descendants(box)) {
    if (!IsWindowVisible(w)) continue;
    const std::wstring cls = Lower(ClassOf(w));
    if (cls == L"static") {
      if ((StyleOf(w) & SS_TYPEMASK) == SS_ICON) {
        DWORD_PTR icon = 0;
        SendBounded(w, STM_GETICON, 0, 0, &icon, Ms(10000));
        b.hasIcon = b.hasIcon || icon != 0;
        b.iconIsRed = b.iconIsRed || RepaintUntil(w, Ms(15000), [&] { return LooksRed(w); });
      } else if (!TextOf(w).empty()) {
        b.text += TextOf(w);
      }
    } else if (cls == L"button") {
      b.buttons.push_back(TextOf(w));
    }
  }
  return b;
}

COLORREF AverageColour(HWND w) {
  const auto px = Capture(w);
  const size_t total = px.size() / 4;
  if (total == 0) return CLR_INVALID;
  unsigned long long sum[3] = {0, 0, 0};
  for (size_t i = 0; i < total; ++i)
    for (size_t c = 0; c < 3; ++c) sum[c] += px[i * 4 + c];
  return RGB(sum[2] / total, sum[1] / total, sum[0] / total);
}

COLORREF PaintedColour(HWND w, Ms limit, bool (*looks)(COLORREF)) {
  COLORREF c = CLR_INVALID;
  RepaintUntil(w, limit, [&] {
    c = AverageColour(w);
    if (c == CLR_INVALID) return true;
    return GetRValue(c) + GetGValue(c) + GetBValue(c) >= 24 && (!looks || looks(c));  // not unpainted black
  });
  return c;
}

}  // namespace kestrova::e2e
