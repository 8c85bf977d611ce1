#include "ui/Save.h"

#include <commdlg.h>
#include <shlobj.h>

#include "platform/win32/Win32Platform.h"
#include "ui/ErrorBox.h"
#include "ui/Skin.h"
#include "workflow/Error.h"
#include "workflow/PathTerms.h"

namespace kestrova::ui {

namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

void AppendUtf8(std::string& out, std::u16string_view piece) {
  if (piece.empty()) return;
  const auto* wide = reinterpret_cast<const wchar_t*>(piece.data());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(piece.size()), nullptr, 0, nullptr, nullptr);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(piece.size()), out.data() + at, n, nullptr, nullptr);
}

[[noreturn]] void Fail(const std::u16string& target, DWORD code) {
  throw workflow::Error(u"Cannot create file \"" + target + u"\". " + platform::Win32Platform::SystemText(code));
}

}  // namespace

std::string ListingBytes(std::u16string_view text) {
  std::string out = "\xEF\xBB\xBF";
  out.reserve(text.size() + text.size() / 8 + 3);
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r' && text[i] != u'\n') continue;
    AppendUtf8(out, text.substr(start, i - start));
    out += "\r\n";
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  AppendUtf8(out, text.substr(start));
  return out;
}

void WriteListingFile(const std::u16string& target, std::u16string_view text) {
  WriteFileReplacing(target, ListingBytes(text));
}

void WriteFileReplacing(const std::u16string& target, std::string_view bytes) {
  std::u16string dir = workflow::DirectoryPart(target);
  if (dir.empty()) dir = u".";
  wchar_t temp[MAX_PATH + 1] = {};
  // A temporary name in the target's own folder, so the rename stays on one volume.
  if (!GetTempFileNameW(W(dir), L"kst", 0, temp)) Fail(target, GetLastError());
  HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    DeleteFileW(temp);
    Fail(target, code);
  }
  DWORD code = 0;
  for (std::size_t at = 0; at < bytes.size() && code == 0;) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 20));
    DWORD wrote = 0;
    if (!WriteFile(file, bytes.data() + at, want, &wrote, nullptr) || wrote == 0) code = GetLastError();
    at += wrote;
  }
  if (code == 0 && !FlushFileBuffers(file)) code = GetLastError();
  if (!CloseHandle(file) && code == 0) code = GetLastError();
  if (code == 0 && !MoveFileExW(temp, W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    code = GetLastError();
  if (code != 0) {
    DeleteFileW(temp);
    Fail(target, code);
  }
}

void SaveListing(HWND owner, std::u16string_view text, std::u16string_view chosenPath,
                 const std::function<workflow::Bytes()>& definition) {
  if (text.empty()) return;
  std::u16string name = workflow::NamePart(std::u16string(chosenPath));
  if (name.empty()) name = u"Kestrova";
  name += u".txt";
  std::wstring file(32768, L'\0');
  std::copy(name.begin(), name.end(), file.begin());
  wchar_t documents[MAX_PATH] = {};
  const bool haveDocuments = SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, documents));
  static constexpr wchar_t kFilter[] = L"文本文件 (*.txt)\0*.txt\0模块定义文件 (*.def)\0*.def\0";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = kFilter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = haveDocuments ? documents : nullptr;
  ofn.lpstrDefExt = L"txt";
  // A folder that does not exist is reported by the write, with its reason.
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameW(&ofn)) return;
  file.resize(wcslen(file.c_str()));
  std::u16string target(file.begin(), file.end());
  if (ofn.nFilterIndex != 2) return WriteListingFile(target, text);

  // The name proposed for the listing, left as it was: the type the user
  // picked gives its extension, and the overwrite question is asked for it.
  if (workflow::EqualsIgnoringAsciiCase(workflow::NamePart(target), name)) {
    target.replace(target.size() - 4, 4, u".def");
    if (GetFileAttributesW(W(target)) != INVALID_FILE_ATTRIBUTES) {
      const std::u16string ask = workflow::NamePart(target) + u" 已存在。\n要替换它吗？";
      if (skin::ShowMessageBox(owner, W(ask), W(ApplicationTitle()), MB_YESNO | MB_ICONWARNING) != IDYES) return;
    }
  }
  workflow::Bytes made;
  // The tool runs while the window waits for it.
  const HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  try {
    made = definition();
    SetCursor(before);
  } catch (const workflow::Error& e) {
    SetCursor(before);
    // Its own words, without the error box's trailing period after a Chinese one.
    skin::ShowMessageBox(owner, W(e.message()), W(ApplicationTitle()), MB_OK | MB_ICONERROR);
    return;
  }
  WriteFileReplacing(target, std::string_view(reinterpret_cast<const char*>(made.data()), made.size()));
}

}  // namespace kestrova::ui
