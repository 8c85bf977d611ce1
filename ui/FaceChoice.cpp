#include "ui/FaceChoice.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kestrova::ui {

namespace {

int CALLBACK OnFontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

int CALLBACK OnChineseFont(const LOGFONTW* lf, const TEXTMETRICW*, DWORD type, LPARAM out) {
  // Vertical faces ("@...") lay text sideways; bitmap faces do not scale.
  if (lf->lfFaceName[0] != L'@' && (type & TRUETYPE_FONTTYPE))
    reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(lf->lfFaceName);
  return 1;
}

bool Installed(HDC dc, const wchar_t* face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  EnumFontFamiliesExW(dc, &lf, OnFontFound, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

}  // namespace

FontChoice ChooseFace(const std::wstring& wanted) {
  HDC dc = GetDC(nullptr);
  FontChoice choice{wanted, ANSI_CHARSET};
  if (!Installed(dc, wanted.c_str())) {
    std::vector<std::wstring> chinese;
    LOGFONTW lf{};
    lf.lfCharSet = GB2312_CHARSET;
    EnumFontFamiliesExW(dc, &lf, OnChineseFont, reinterpret_cast<LPARAM>(&chinese), 0);
    // Faces close to SimSun first, then Noto's monospaced cut, which keeps the
    // listing's columns and both "-" and "_" at this height. Of WenQuanYi's
    // cuts only Sharp keeps both signs (plain drops the hyphen, Mono clips
    // "_"); a Chinese locale lists it by its Chinese name.
    static constexpr std::array<const wchar_t*, 9> kPreferred = {
        L"SimSun", L"NSimSun", L"新宋体", L"Microsoft YaHei", L"微软雅黑", L"SimHei",
        L"Noto Sans Mono CJK SC", L"WenQuanYi Zen Hei Sharp", L"文泉驿点阵正黑"};
    choice = {L"", GB2312_CHARSET};
    for (const wchar_t* p : kPreferred) {
      if (std::find(chinese.begin(), chinese.end(), p) != chinese.end()) {
        choice.face = p;
        break;
      }
    }
    if (choice.face.empty() && !chinese.empty()) choice.face = chinese.front();
  }
  ReleaseDC(nullptr, dc);
  return choice;
}

}  // namespace kestrova::ui
