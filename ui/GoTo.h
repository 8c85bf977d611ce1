#pragma once
// Ctrl+G: a list of the listing's parts with their lines; the one chosen is
// scrolled to the memo's top line.
#include <windows.h>

namespace kestrova::ui {

// The caption of the list and of the system menu's entry.
inline constexpr wchar_t kGoToCaption[] = L"转到部分";
inline constexpr wchar_t kGoToMenuText[] = L"转到部分...\tCtrl+G";

// Shows the list over `owner` for the text in `memo`; on a choice, puts that
// part's title on the memo's top line and the caret at its start. Nothing
// happens when the memo holds no part titles.
void GoToPart(HWND owner, HWND memo, HFONT font);

// How many columns of `font` a line of `memo` shows, its vertical scroll bar
// counted out; 0 when it cannot be told.
unsigned MemoColumns(HWND memo, HFONT font);

}  // namespace kestrova::ui
