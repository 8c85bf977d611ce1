#pragma once
// The window layout: a small text table carried as the "TFORM1" resource.
// Parsing is plain C++ so that the format can be checked on its own.
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::ui {

struct ControlSpec {
  std::u16string name;
  std::u16string kind;    // form, tabs, page, group, edit, memo, button, label, status
  std::u16string parent;  // empty for the form itself
  int left = 0, top = 0, width = 0, height = 0;
  int tabOrder = 0;
  // Bare words map to an empty value; key=value and key="quoted value" keep it.
  std::map<std::u16string, std::u16string> options;
  std::u16string text;
  int line = 0;  // where the record stood, for messages

  bool Has(std::u16string_view option) const;
  std::u16string Option(std::u16string_view key, std::u16string_view fallback = {}) const;
};

struct FormLayout {
  ControlSpec form;                   // the first record, of kind "form"
  std::vector<ControlSpec> controls;  // the rest, parent first

  const ControlSpec* Find(std::u16string_view name) const;
};

class LayoutError : public std::runtime_error {
 public:
  LayoutError(int line, const std::string& what);
  int line() const noexcept { return line_; }

 private:
  int line_;
};

// Throws LayoutError naming the first bad line: wrong field count, a number
// that is not one, an unknown or repeated name, a parent not defined above,
// invalid UTF-8, a kind this window cannot build.
FormLayout ParseLayout(std::string_view utf8);

// Strict UTF-8 decoding (no overlongs, no surrogates); throws std::invalid_argument.
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace kestrova::ui
