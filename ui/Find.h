#pragma once
// Searching the listing: the system's Find dialog over the memo, with F3 and
// Shift+F3 repeating the last search down and up.
#include <windows.h>

#include <commdlg.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova::ui {

// Where `what` occurs in `text`: the first match at or after `from` (down),
// or the last one that starts before `from` (up); npos when there is none.
// Without `matchCase` letters match regardless of case; with `wholeWord` a
// match must not touch letters, digits or "_" on either side.
std::size_t FindIn(std::wstring_view text, std::wstring_view what, std::size_t from, bool down, bool matchCase,
                   bool wholeWord);

class Finder {
 public:
  Finder(HWND owner, HWND memo) : owner_(owner), memo_(memo) {}
  ~Finder();
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // Ctrl+F: shows the dialog, its text taken from the memo's selection when
  // that is one short line.
  void Open();
  // F3 (down) and Shift+F3 (up); with nothing searched yet, opens the dialog.
  void Repeat(bool down);
  // Handles the dialog's notification; false for any other message.
  bool OnMessage(UINT msg, LPARAM lp);
  HWND Dialog() const { return dialog_; }

 private:
  void Next(bool down);

  HWND owner_, memo_;
  HWND dialog_ = nullptr;
  UINT message_ = RegisterWindowMessageW(FINDMSGSTRINGW);
  FINDREPLACEW fr_{};
  wchar_t what_[256] = {};
  std::wstring last_;
  DWORD flags_ = FR_DOWN;
};

}  // namespace kestrova::ui
