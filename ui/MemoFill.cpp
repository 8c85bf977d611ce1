#include "ui/MemoFill.h"

#include <algorithm>
#include <string>

namespace kestrova::ui {

namespace {

// Up to this many characters go in with one WM_SETTEXT.
constexpr std::size_t kWholeAtOnce = 48 * 1024;
// Each piece should keep the window busy about this long, so that it still
// answers within the next human-noticeable moment.
constexpr double kPieceMs = 90;
constexpr std::size_t kMinPiece = 16 * 1024;
// Every piece also costs the control a pass over all it holds (Wine's edit
// control walks its lines again), so pieces grow with the text to keep the
// whole fill linear.
constexpr std::size_t kGrowthShare = 64;
constexpr std::size_t kMaxPiece = 4 * 1024 * 1024;

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Word starts are where a blank is followed by something else. Without a
// procedure of its own Wine's edit control finds them by analysing the whole
// text again after every change, which makes a fill in pieces quadratic;
// blanks are all a listing needs, and what the classic control breaks at.
int CALLBACK BreakAtBlanks(LPWSTR s, int at, int count, int code) {
  if (!s || count <= 0) return 0;
  auto wordStart = [&](int i) { return i > 0 && i < count && Blank(s[i - 1]) && !Blank(s[i]); };
  switch (code) {
    case WB_LEFT:
      if (at > 0) --at;
      while (at > 0 && !wordStart(at)) --at;
      return at;
    case WB_RIGHT:
      while (at < count && !wordStart(at)) ++at;
      return at;
    case WB_ISDELIMITER:
      return at >= 0 && at < count && Blank(s[at]);
    default:
      return 0;
  }
}

std::size_t Length(HWND memo) { return static_cast<std::size_t>(GetWindowTextLengthW(memo)); }

double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

void PrepareMemo(HWND memo) {
  SendMessageW(memo, EM_SETWORDBREAKPROC, 0, reinterpret_cast<LPARAM>(BreakAtBlanks));
}

bool FillMemo(HWND memo, std::u16string_view text, const std::function<bool()>& between) {
  const std::size_t expected = std::min(text.size(), text.find(u'\0'));
  text = text.substr(0, expected);
  if (expected <= kWholeAtOnce) {
    const std::wstring whole(text.begin(), text.end());
    SetWindowTextW(memo, whole.c_str());
    // It may replace a longer fill that was still going in, hidden.
    if (!(GetWindowLongPtrW(memo, GWL_STYLE) & WS_VISIBLE)) ShowWindow(memo, SW_SHOWNA);
    return true;
  }
  // The memo stays hidden while it fills. Wine's edit control does much more
  // work per piece when visible, even with redrawing off (it fills three to
  // four times slower), and nothing half-filled is worth showing.
  const bool hadFocus = GetFocus() == memo;
  ShowWindow(memo, SW_HIDE);
  SetWindowTextW(memo, L"");
  std::size_t at = 0, piece = kMinPiece * 4;
  std::wstring part;
  while (at < expected) {
    std::size_t end = std::min(expected, at + piece);
    if (end < expected) {
      const auto nl = text.rfind(u'\n', end - 1);
      if (nl != std::u16string_view::npos && nl >= at) end = nl + 1;
    }
    part.assign(text.begin() + static_cast<std::ptrdiff_t>(at), text.begin() + static_cast<std::ptrdiff_t>(end));
    const double started = NowMs();
    SendMessageW(memo, EM_SETSEL, static_cast<WPARAM>(at), static_cast<LPARAM>(at));
    SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(part.c_str()));
    const double took = std::max(1.0, NowMs() - started);
    if (Length(memo) != end) break;  // refused: the caller sees the length
    // The next piece takes what this one's pace allows in the budget.
    const double perMs = static_cast<double>(end - at) / took;
    piece = std::clamp(std::max(static_cast<std::size_t>(perMs * kPieceMs), end / kGrowthShare), kMinPiece,
                       kMaxPiece);
    at = end;
    // A newer text, or the window's end, may have come meanwhile; the newer
    // fill shows the memo again.
    if (at < expected && !between()) return false;
  }
  SendMessageW(memo, EM_SETSEL, 0, 0);
  SendMessageW(memo, EM_SCROLLCARET, 0, 0);
  ShowWindow(memo, SW_SHOWNA);
  if (hadFocus) SetFocus(memo);
  return true;
}

}  // namespace kestrova::ui
