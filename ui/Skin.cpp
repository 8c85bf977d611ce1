#include "ui/Skin.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kestrova::ui::skin {
namespace {

const wchar_t* W(std::u16string_view s) { return reinterpret_cast<const wchar_t*>(s.data()); }
std::wstring Wide(std::u16string_view s) { return std::wstring(W(s), s.size()); }

struct Facility {
  StyleRegistry registry{SameStyleName};
  bool loaded = false;
  std::optional<Style> active;
};

Facility& TheFacility() {
  static Facility f;
  return f;
}

constexpr UINT_PTR kSubclassId = 0x4B53;  // "KS"
constexpr wchar_t kHotProp[] = L"Kestrova.Hot";

BOOL CALLBACK OnStyleResource(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR param) {
  auto& ctx = *reinterpret_cast<std::pair<StyleRegistry*, std::size_t>*>(param);
  HRSRC res = FindResourceW(module, name, L"VCLSTYLE");
  if (!res) return TRUE;
  HGLOBAL data = LoadResource(module, res);
  const DWORD size = SizeofResource(module, res);
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes) return TRUE;
  try {
    ctx.first->Register(ParseStyle(std::string_view(static_cast<const char*>(bytes), size)));
    ++ctx.second;
  } catch (const StyleError&) {
    // Not ours or damaged: the others still count.
  }
  return TRUE;
}

void FillColour(HDC dc, const RECT& rc, Rgb colour) { FillRect(dc, &rc, Brush(colour)); }

void FrameColour(HDC dc, const RECT& rc, Rgb colour) { FrameRect(dc, &rc, Brush(colour)); }

HFONT ControlFont(HWND hwnd) {
  return reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

// Fallback "not found" dialog, built in memory: no dialog resource needed.
class DialogTemplate {
 public:
  void Word(WORD w) { data_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(std::wstring_view s) {
    for (wchar_t c : s) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Align() {
    if (data_.size() % 2) Word(0);
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, std::wstring_view text) {
    Align();
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    for (short v : {x, y, cx, cy}) Word(static_cast<WORD>(v));
    Word(id);
    Word(0xFFFF);
    Word(cls);
    Text(text);
    Word(0);
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(data_.data()); }
  std::vector<WORD> data_;
};

constexpr WORD kIconId = 100;

INT_PTR CALLBACK FallbackProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      SendDlgItemMessageW(dlg, kIconId, STM_SETICON,
                          reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_ERROR)), 0);
      MessageBeep(MB_ICONERROR);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDCANCEL || LOWORD(wp) == IDCLOSE) EndDialog(dlg, IDCLOSE);
      return TRUE;
    default:
      return FALSE;
  }
}

void FallbackDialog(HWND owner, const std::wstring& text) {
  DialogTemplate t;
  t.Dword(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  t.Dword(0);
  t.Word(3);  // items
  for (int v : {0, 0, 200, 62}) t.Word(static_cast<WORD>(v));
  t.Word(0);  // no menu
  t.Word(0);  // standard class
  t.Text(L"Error");
  t.Word(8);
  t.Text(L"MS Shell Dlg");
  t.Item(SS_ICON, 10, 10, 20, 20, kIconId, 0x0082, L"");
  t.Item(SS_LEFT | SS_NOPREFIX, 40, 14, 150, 20, 101, 0x0082, text);
  t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 140, 40, 50, 14, IDCLOSE, 0x0080, L"&Close");
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), owner, FallbackProc, 0);
}

LRESULT CALLBACK HotProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_MOUSEMOVE:
      if (!GetPropW(hwnd, kHotProp)) {
        SetPropW(hwnd, kHotProp, reinterpret_cast<HANDLE>(1));
        TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&tme);
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      break;
    case WM_MOUSELEAVE:
      RemovePropW(hwnd, kHotProp);
      InvalidateRect(hwnd, nullptr, FALSE);
      break;
    case WM_NCDESTROY:
      RemovePropW(hwnd, kHotProp);
      RemoveWindowSubclass(hwnd, HotProc, kSubclassId);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK GroupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  const Style* s = Active();
  if (s && msg == WM_ERASEBKGND) return 1;
  if (s && msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillColour(dc, rc, s->face);
    // The frame starts half a line down, where a caption would sit.
    TEXTMETRICW tm{};
    HGDIOBJ old = SelectObject(dc, ControlFont(hwnd));
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    rc.top += tm.tmHeight / 2;
    FrameColour(dc, rc, s->groupBorder);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, GroupProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TabProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  const Style* s = Active();
  if (s && msg == WM_ERASEBKGND) return 1;
  if (s && msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillColour(dc, rc, s->face);
    HGDIOBJ old = SelectObject(dc, ControlFont(hwnd));
    const int count = TabCtrl_GetItemCount(hwnd);
    const int selected = TabCtrl_GetCurSel(hwnd);
    for (int i = 0; i < count; ++i) {
      RECT item;
      if (!TabCtrl_GetItemRect(hwnd, i, &item)) continue;
      wchar_t text[256] = {};
      TCITEMW ti{};
      ti.mask = TCIF_TEXT;
      ti.pszText = text;
      ti.cchTextMax = 255;
      TabCtrl_GetItem(hwnd, i, &ti);
      DrawTab(*s, dc, item, text, i == selected, i == selected && GetFocus() == hwnd);
    }
    SelectObject(dc, old);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_SETFOCUS || msg == WM_KILLFOCUS) InvalidateRect(hwnd, nullptr, FALSE);
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, TabProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

// The status bar keeps its ordinary text parts, so that SB_GETTEXT still
// answers; only the painting is ours.
LRESULT CALLBACK StatusProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  const Style* s = Active();
  if (s && msg == WM_ERASEBKGND) return 1;
  if (s && msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillColour(dc, rc, s->status);
    RECT line = rc;
    line.bottom = line.top + 1;
    FillColour(dc, line, s->border);
    const auto len = LOWORD(SendMessageW(hwnd, SB_GETTEXTLENGTHW, 0, 0));
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(hwnd, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
    text.resize(len);
    HGDIOBJ old = SelectObject(dc, ControlFont(hwnd));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, s->statusText);
    RECT t = rc;
    t.left += 4;
    t.top += 1;
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &t,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, old);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, StatusProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_NCPAINT) {
    const LRESULT r = DefSubclassProc(hwnd, msg, wp, lp);
    if (const Style* s = Active()) {
      HDC dc = GetWindowDC(hwnd);
      RECT rc;
      GetWindowRect(hwnd, &rc);
      OffsetRect(&rc, -rc.left, -rc.top);
      const bool focused = GetFocus() == hwnd;
      FrameColour(dc, rc, focused ? s->focus : s->border);
      InflateRect(&rc, -1, -1);
      FrameColour(dc, rc, s->edit);
      ReleaseDC(hwnd, dc);
    }
    return r;
  }
  if (msg == WM_SETFOCUS || msg == WM_KILLFOCUS) {
    const LRESULT r = DefSubclassProc(hwnd, msg, wp, lp);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOCHILDREN);
    return r;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, EditProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

// Message boxes: a thread hook catches the dialog as it is created and
// subclasses it, so its background, text and buttons follow the style.
thread_local HHOOK g_boxHook = nullptr;

LRESULT CALLBACK BoxProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  const Style* s = Active();
  if (s) {
    switch (msg) {
      case WM_INITDIALOG: {
        const LRESULT r = DefSubclassProc(hwnd, msg, wp, lp);
        for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
          wchar_t cls[16] = {};
          GetClassNameW(c, cls, 16);
          const auto type = GetWindowLongPtrW(c, GWL_STYLE) & BS_TYPEMASK;
          if (lstrcmpiW(cls, L"Button") == 0 && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)) {
            SendMessageW(c, BM_SETSTYLE, BS_OWNERDRAW, TRUE);
            TrackHot(c);
          }
        }
        DarkFrame(hwnd);
        return r;
      }
      case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillColour(reinterpret_cast<HDC>(wp), rc, s->face);
        return 1;
      }
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillColour(dc, rc, s->face);
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_CTLCOLORDLG:
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLORBTN: {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, s->faceText);
        SetBkColor(dc, s->face);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(Brush(s->face));
      }
      case WM_DRAWITEM: {
        const auto& di = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        if (di.CtlType == ODT_BUTTON) {
          DrawButton(*s, di, IsHot(di.hwndItem));
          return TRUE;
        }
        break;
      }
      default:
        break;
    }
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, BoxProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK BoxHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_CREATEWND) {
    const auto* cbt = reinterpret_cast<const CBT_CREATEWNDW*>(lp);
    const auto cls = reinterpret_cast<ULONG_PTR>(cbt->lpcs->lpszClass);
    if (cls == 32770) {  // the dialog class atom
      HWND box = reinterpret_cast<HWND>(wp);
      SetWindowSubclass(box, BoxProc, kSubclassId, 0);
      const LRESULT r = CallNextHookEx(g_boxHook, code, wp, lp);
      UnhookWindowsHookEx(g_boxHook);
      g_boxHook = nullptr;
      return r;
    }
  }
  return CallNextHookEx(g_boxHook, code, wp, lp);
}

}  // namespace

bool SameStyleName(std::u16string_view a, std::u16string_view b) {
  return CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, W(a), static_cast<int>(a.size()),
                         W(b), static_cast<int>(b.size()), nullptr, nullptr, 0) == CSTR_EQUAL;
}

std::size_t LoadStyles(HMODULE module, StyleRegistry& registry) {
  std::pair<StyleRegistry*, std::size_t> ctx{&registry, 0};
  EnumResourceNamesW(module, L"VCLSTYLE", OnStyleResource, reinterpret_cast<LONG_PTR>(&ctx));
  return ctx.second;
}

void ReportStyleNotFound(HWND owner, std::u16string_view name, bool allowTaskDialog) {
  const std::wstring text = L"Style '" + Wide(name) + L"' not found";
  using TaskDialogFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
  TaskDialogFn taskDialog = nullptr;
  if (allowTaskDialog) {
    // Only version 6 of the common controls has it; look it up so that the
    // program still loads where it is missing.
    if (HMODULE cc = LoadLibraryW(L"comctl32.dll"))
      taskDialog = reinterpret_cast<TaskDialogFn>(
          reinterpret_cast<void*>(GetProcAddress(cc, "TaskDialogIndirect")));
  }
  if (taskDialog) {
    const TASKDIALOG_BUTTON close{IDCLOSE, L"&Close"};
    TASKDIALOGCONFIG cfg{};
    cfg.cbSize = sizeof cfg;
    cfg.hwndParent = owner;
    cfg.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    cfg.pszWindowTitle = L"Error";
    cfg.pszMainIcon = TD_ERROR_ICON;
    cfg.pszContent = text.c_str();
    cfg.cButtons = 1;
    cfg.pButtons = &close;
    cfg.nDefaultButton = IDCLOSE;
    if (SUCCEEDED(taskDialog(&cfg, nullptr, nullptr, nullptr))) return;
  }
  FallbackDialog(owner, text);
}

bool Apply(std::u16string_view name, bool reportErrors, HMODULE module) {
  auto& f = TheFacility();
  if (!f.loaded) {
    LoadStyles(module ? module : GetModuleHandleW(nullptr), f.registry);
    f.loaded = true;
  }
  if (const Style* s = f.registry.Find(name)) {
    f.active = *s;
    return true;
  }
  if (reportErrors) ReportStyleNotFound(nullptr, name);
  return false;
}

const Style* Active() {
  auto& f = TheFacility();
  return f.active ? &*f.active : nullptr;
}

void Reset() {
  auto& f = TheFacility();
  f.registry = StyleRegistry(SameStyleName);
  f.loaded = false;
  f.active.reset();
}

HBRUSH Brush(Rgb colour) {
  // A handful of colours for the life of the process: never freed.
  static std::map<Rgb, HBRUSH> brushes;
  auto& b = brushes[colour];
  if (!b) b = CreateSolidBrush(colour);
  return b;
}

void DrawButton(const Style& s, const DRAWITEMSTRUCT& di, bool hot) {
  HDC dc = di.hDC;
  RECT rc = di.rcItem;
  const bool disabled = di.itemState & ODS_DISABLED;
  const bool pressed = di.itemState & ODS_SELECTED;
  const bool focused = di.itemState & ODS_FOCUS;
  const Rgb back = disabled ? s.buttonDisabled : pressed ? s.buttonPressed : hot ? s.buttonHot : s.button;
  FillColour(dc, rc, back);
  FrameColour(dc, rc, focused ? s.focus : s.buttonBorder);
  if (focused) {
    // Two pixels of the focus colour: the dotted system rectangle is hard to
    // see on a dark face.
    RECT inner = rc;
    InflateRect(&inner, -1, -1);
    FrameColour(dc, inner, s.focus);
  }
  const std::wstring text = WindowText(di.hwndItem);
  HGDIOBJ old = SelectObject(dc, ControlFont(di.hwndItem));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, disabled ? s.buttonDisabledText : s.buttonText);
  if (pressed) OffsetRect(&rc, 1, 1);
  UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  if (di.itemState & ODS_NOACCEL) flags |= DT_HIDEPREFIX;
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, flags);
  SelectObject(dc, old);
}

void DrawTab(const Style& s, HDC dc, RECT rc, std::wstring_view text, bool selected, bool focused) {
  FillColour(dc, rc, selected ? s.tabSelected : s.tab);
  FrameColour(dc, rc, focused ? s.focus : s.border);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, selected ? s.tabSelectedText : s.tabText);
  InflateRect(&rc, -4, 0);
  DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rc,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

void TrackHot(HWND button) { SetWindowSubclass(button, HotProc, kSubclassId, 0); }
bool IsHot(HWND button) { return GetPropW(button, kHotProp) != nullptr; }
void SkinGroupBox(HWND group) { SetWindowSubclass(group, GroupProc, kSubclassId, 0); }
void SkinTabControl(HWND tabs) { SetWindowSubclass(tabs, TabProc, kSubclassId, 0); }
void SkinStatusBar(HWND status) { SetWindowSubclass(status, StatusProc, kSubclassId, 0); }

void SkinEdit(HWND edit) {
  SetWindowSubclass(edit, EditProc, kSubclassId, 0);
  // Dark scroll bars on Windows 10 and later; elsewhere this changes nothing.
  SetWindowTheme(edit, L"DarkMode_Explorer", nullptr);
}

void DarkFrame(HWND window) {
  using SetAttr = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
  static const auto set = [] {
    HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
    return dwm ? reinterpret_cast<SetAttr>(reinterpret_cast<void*>(GetProcAddress(dwm, "DwmSetWindowAttribute")))
               : nullptr;
  }();
  if (!set) return;
  const BOOL on = TRUE;
  constexpr DWORD kUseImmersiveDarkMode = 20;
  set(window, kUseImmersiveDarkMode, &on, sizeof on);
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  if (Active() && !g_boxHook) g_boxHook = SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
  const int r = MessageBoxW(owner, text, caption, type);
  if (g_boxHook) {
    UnhookWindowsHookEx(g_boxHook);
    g_boxHook = nullptr;
  }
  return r;
}

}  // namespace kestrova::ui::skin
