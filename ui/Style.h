#pragma once
// Window styles: a text resource of type "VCLSTYLE" holding a name and a colour
// scheme. Parsing and lookup are plain C++; the Win32 side lives in Skin.h.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::ui {

// 0x00BBGGRR, the layout of a COLORREF.
using Rgb = std::uint32_t;

struct Style {
  std::u16string name;
  Rgb face = 0, faceText = 0, border = 0, groupBorder = 0;
  Rgb edit = 0, editText = 0, editReadOnly = 0;
  Rgb button = 0, buttonText = 0, buttonHot = 0, buttonPressed = 0, buttonBorder = 0;
  Rgb buttonDisabled = 0, buttonDisabledText = 0, focus = 0;
  Rgb tab = 0, tabText = 0, tabSelected = 0, tabSelectedText = 0;
  Rgb status = 0, statusText = 0;
};

class StyleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every colour key must be there exactly once, and the name must not be empty:
// a half-filled scheme would paint unreadable controls. Throws StyleError.
Style ParseStyle(std::string_view utf8);

// Relative luminance contrast ratio of two colours (1 to 21).
double Contrast(Rgb a, Rgb b);

class StyleRegistry {
 public:
  using NameEqual = std::function<bool(std::u16string_view, std::u16string_view)>;
  explicit StyleRegistry(NameEqual equal);

  // A second style of the same name replaces the first.
  void Register(Style style);
  const Style* Find(std::u16string_view name) const;
  std::size_t size() const { return styles_.size(); }

 private:
  NameEqual equal_;
  std::vector<Style> styles_;
};

}  // namespace kestrova::ui
