#include "ui/ErrorBox.h"

#include <exception>
#include <new>

#include "ui/Skin.h"
#include "workflow/Error.h"

namespace kestrova::ui {
namespace {

std::u16string& Title() {
  static std::u16string title;
  return title;
}

std::u16string FromAnsi(const char* s) {
  std::u16string out;
  for (; *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
  return out;
}

}  // namespace

void SetApplicationTitle(std::u16string title) { Title() = std::move(title); }
const std::u16string& ApplicationTitle() { return Title(); }

std::u16string ErrorBoxText(std::u16string_view message) {
  std::u16string text(message);
  if (!text.empty() && text.back() > u'.') text.push_back(u'.');
  return text;
}

void ShowErrorBox(HWND owner, std::u16string_view message) {
  try {
    const std::u16string text = ErrorBoxText(message);
    skin::ShowMessageBox(owner, reinterpret_cast<const wchar_t*>(text.c_str()),
                         reinterpret_cast<const wchar_t*>(ApplicationTitle().c_str()),
                         MB_OK | MB_ICONERROR);
  } catch (...) {
    // Out of memory while reporting: nothing better is left to do.
  }
}

void ShowCurrentException(HWND owner) noexcept {
  try {
    throw;
  } catch (const workflow::Error& e) {
    ShowErrorBox(owner, e.message());
  } catch (const std::bad_alloc&) {
    ShowErrorBox(owner, u"Out of memory");
  } catch (const std::exception& e) {
    ShowErrorBox(owner, FromAnsi(e.what()));
  } catch (...) {
    ShowErrorBox(owner, u"Unexpected failure");
  }
}

}  // namespace kestrova::ui
