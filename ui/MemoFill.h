#pragma once
// Putting a long listing into the multi-line edit without freezing the window.
#include <windows.h>

#include <functional>
#include <string_view>

namespace kestrova::ui {

// Makes the memo wrap at blanks. Called once, right after the memo is made.
void PrepareMemo(HWND memo);

// Replaces the memo's text with `text` (up to its first NUL, as the control
// holds a C string). Long texts go in line-aligned pieces with redrawing off;
// between pieces `between` runs (it lets the window's messages through) and
// the fill stops when it returns false. True when the whole text went in.
bool FillMemo(HWND memo, std::u16string_view text, const std::function<bool()>& between);

}  // namespace kestrova::ui
