#include "ui/GoTo.h"

#include <string>
#include <vector>

#include "workflow/ListingText.h"

namespace kestrova::ui {

namespace {

constexpr int kListId = 100;

struct Choice {
  const std::vector<workflow::PartLine>* parts;
  std::size_t current;  // the part the memo shows at its top
  HFONT font;
};

// A dialog template in memory: the list and the two buttons, in dialog units.
class Template {
 public:
  Template(const wchar_t* caption, short cx, short cy) {
    const DWORD style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    Dword(style);
    Dword(0);
    countAt_ = words_.size();
    Word(0);
    for (short v : {short{0}, short{0}, cx, cy}) Word(static_cast<WORD>(v));
    Word(0);  // no menu
    Word(0);  // the standard class
    Text(caption);
    Word(9);
    Text(L"宋体");
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom, const wchar_t* text) {
    if (words_.size() % 2 != 0) Word(0);  // DWORD-aligned
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    for (short v : {x, y, cx, cy}) Word(static_cast<WORD>(v));
    Word(id);
    Word(0xFFFF);
    Word(atom);
    Text(text);
    Word(0);
    ++words_[countAt_];
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const wchar_t* s) {
    for (; *s; ++s) Word(static_cast<WORD>(*s));
    Word(0);
  }
  std::vector<WORD> words_;
  std::size_t countAt_ = 0;
};

INT_PTR CALLBACK ChoiceProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      const auto* c = reinterpret_cast<const Choice*>(lp);
      HWND list = GetDlgItem(dialog, kListId);
      if (c->font) SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(c->font), FALSE);
      int stop = 120;
      SendMessageW(list, LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&stop));
      for (const workflow::PartLine& p : *c->parts) {
        const std::wstring item =
            std::wstring(p.title.begin(), p.title.end()) + L"\t第 " + std::to_wstring(p.line + 1) + L" 行";
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      }
      SendMessageW(list, LB_SETCURSEL, c->current, 0);
      SetFocus(list);
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || (LOWORD(wp) == kListId && HIWORD(wp) == LBN_DBLCLK)) {
        const LRESULT sel = SendDlgItemMessageW(dialog, kListId, LB_GETCURSEL, 0, 0);
        EndDialog(dialog, sel == LB_ERR ? 0 : sel + 1);
        return TRUE;
      }
      if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

std::u16string MemoText(HWND memo) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(memo)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(memo, text.data(), static_cast<int>(text.size()))));
  return std::u16string(text.begin(), text.end());
}

}  // namespace

void GoToPart(HWND owner, HWND memo, HFONT font) {
  const std::u16string text = MemoText(memo);
  const std::vector<workflow::PartLine> parts = workflow::ListingParts(text);
  if (parts.empty()) return;
  // The part the memo shows now is chosen to begin with.
  const auto top = static_cast<std::size_t>(SendMessageW(memo, EM_GETFIRSTVISIBLELINE, 0, 0));
  Choice choice{&parts, 0, font};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto line = static_cast<std::size_t>(SendMessageW(memo, EM_LINEFROMCHAR, parts[i].offset, 0));
    if (line <= top) choice.current = i;
  }
  Template t(kGoToCaption, 200, 170);
  t.Item(WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT, 7, 7, 186, 136,
         kListId, 0x0083, L"");
  t.Item(WS_TABSTOP | BS_DEFPUSHBUTTON, 86, 149, 50, 14, IDOK, 0x0080, L"确定");
  t.Item(WS_TABSTOP | BS_PUSHBUTTON, 143, 149, 50, 14, IDCANCEL, 0x0080, L"取消");
  const INT_PTR chosen = DialogBoxIndirectParamW(reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE)),
                                                 t.Get(), owner, ChoiceProc, reinterpret_cast<LPARAM>(&choice));
  if (chosen <= 0) return;
  // The memo counts lines as it shows them (wrapped), so go by the character offset.
  const std::size_t offset = parts[static_cast<std::size_t>(chosen - 1)].offset;
  SendMessageW(memo, EM_SETSEL, offset, static_cast<LPARAM>(offset));
  const LRESULT line = SendMessageW(memo, EM_LINEFROMCHAR, offset, 0);
  const LRESULT first = SendMessageW(memo, EM_GETFIRSTVISIBLELINE, 0, 0);
  SendMessageW(memo, EM_LINESCROLL, 0, line - first);
  SetFocus(memo);
}

unsigned MemoColumns(HWND memo, HFONT font) {
  RECT r{};
  SendMessageW(memo, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&r));
  int width = r.right - r.left;
  // A listing of any length brings the scroll bar, which takes its width off the text.
  SCROLLBARINFO sb{};
  sb.cbSize = sizeof sb;
  if (GetScrollBarInfo(memo, OBJID_VSCROLL, &sb) && (sb.rgstate[0] & STATE_SYSTEM_INVISIBLE) != 0)
    width -= GetSystemMetrics(SM_CXVSCROLL);
  HDC dc = GetDC(memo);
  if (dc == nullptr) return 0;
  HGDIOBJ old = SelectObject(dc, font);
  SIZE ten{};
  const BOOL measured = GetTextExtentPoint32W(dc, L"0123456789", 10, &ten);
  SelectObject(dc, old);
  ReleaseDC(memo, dc);
  if (!measured || ten.cx <= 0 || width <= 0) return 0;
  return static_cast<unsigned>(width * 10 / ten.cx);
}

}  // namespace kestrova::ui
