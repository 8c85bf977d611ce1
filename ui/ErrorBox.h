#pragma once
// The program-wide error box: every failure that escapes a handler ends here.
#include <windows.h>

#include <string>
#include <string_view>

namespace kestrova::ui {

// The application title, the caption of every error box.
void SetApplicationTitle(std::u16string title);
const std::u16string& ApplicationTitle();

// The box's text: the message, with "." appended when its last character's
// code is above that of "."; an empty message stays empty.
std::u16string ErrorBoxText(std::u16string_view message);

// Modal, error icon, OK. Never throws.
void ShowErrorBox(HWND owner, std::u16string_view message);

// Runs `handler`, turning whatever it throws into the error box, so that no
// exception crosses the window procedure.
template <class F>
void Guarded(HWND owner, F&& handler) noexcept;

void ShowCurrentException(HWND owner) noexcept;

template <class F>
void Guarded(HWND owner, F&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    ShowCurrentException(owner);
  }
}

}  // namespace kestrova::ui
