#include "ui/Find.h"

#include <dlgs.h>

#include <algorithm>

#include "ui/ErrorBox.h"
#include "ui/Skin.h"

namespace kestrova::ui {

namespace {

bool WordChar(wchar_t c) { return c == L'_' || IsCharAlphaNumericW(c); }

std::wstring Lowered(std::wstring_view s) {
  std::wstring out(s);
  if (!out.empty()) CharLowerBuffW(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

std::wstring TextOf(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace

std::size_t FindIn(std::wstring_view text, std::wstring_view what, std::size_t from, bool down, bool matchCase,
                   bool wholeWord) {
  if (what.empty() || what.size() > text.size()) return std::wstring_view::npos;
  std::wstring foldedText, foldedWhat;
  if (!matchCase) {
    foldedText = Lowered(text);
    foldedWhat = Lowered(what);
    text = foldedText;
    what = foldedWhat;
  }
  auto whole = [&](std::size_t at) {
    return (at == 0 || !WordChar(text[at - 1])) &&
           (at + what.size() == text.size() || !WordChar(text[at + what.size()]));
  };
  if (down) {
    for (std::size_t at = text.find(what, std::min(from, text.size())); at != std::wstring_view::npos;
         at = text.find(what, at + 1))
      if (!wholeWord || whole(at)) return at;
  } else {
    if (from == 0) return std::wstring_view::npos;
    for (std::size_t at = text.rfind(what, from - 1); at != std::wstring_view::npos; at = text.rfind(what, at - 1)) {
      if (!wholeWord || whole(at)) return at;
      if (at == 0) break;
    }
  }
  return std::wstring_view::npos;
}

Finder::~Finder() {
  if (dialog_) DestroyWindow(dialog_);
}

void Finder::Open() {
  DWORD start = 0, end = 0;
  SendMessageW(memo_, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  if (end > start && end - start < std::size(what_)) {
    const std::wstring text = TextOf(memo_);
    const std::wstring_view picked = std::wstring_view(text).substr(start, end - start);
    if (picked.find_first_of(L"\r\n") == std::wstring_view::npos) {
      std::copy(picked.begin(), picked.end(), what_);
      what_[picked.size()] = L'\0';
      if (dialog_) SetDlgItemTextW(dialog_, edt1, what_);
    }
  }
  if (dialog_) {
    SetActiveWindow(dialog_);
    return;
  }
  fr_ = {};
  fr_.lStructSize = sizeof fr_;
  fr_.hwndOwner = owner_;
  fr_.lpstrFindWhat = what_;
  fr_.wFindWhatLen = static_cast<WORD>(std::size(what_));
  fr_.Flags = flags_ & (FR_DOWN | FR_MATCHCASE | FR_WHOLEWORD);
  dialog_ = FindTextW(&fr_);
}

void Finder::Repeat(bool down) {
  if (last_.empty()) {
    Open();
    return;
  }
  Next(down);
}

bool Finder::OnMessage(UINT msg, LPARAM lp) {
  if (msg != message_) return false;
  const auto* fr = reinterpret_cast<const FINDREPLACEW*>(lp);
  if (fr->Flags & FR_DIALOGTERM) {
    dialog_ = nullptr;
  } else if (fr->Flags & FR_FINDNEXT) {
    last_ = what_;
    flags_ = fr->Flags;
    Next((flags_ & FR_DOWN) != 0);
  }
  return true;
}

void Finder::Next(bool down) {
  const std::wstring text = TextOf(memo_);
  DWORD start = 0, end = 0;
  SendMessageW(memo_, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  const std::size_t at = FindIn(text, last_, down ? end : start, down, (flags_ & FR_MATCHCASE) != 0,
                                (flags_ & FR_WHOLEWORD) != 0);
  if (at == std::wstring::npos) {
    const std::wstring message = L"找不到“" + last_ + L"”。";
    const std::u16string& title = ApplicationTitle();
    skin::ShowMessageBox(dialog_ ? dialog_ : owner_, message.c_str(), reinterpret_cast<const wchar_t*>(title.c_str()),
                         MB_OK | MB_ICONINFORMATION);
    return;
  }
  SendMessageW(memo_, EM_SETSEL, static_cast<WPARAM>(at), static_cast<LPARAM>(at + last_.size()));
  SendMessageW(memo_, EM_SCROLLCARET, 0, 0);
}

}  // namespace kestrova::ui
