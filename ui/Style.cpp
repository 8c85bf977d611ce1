#include "ui/Style.h"

#include <array>
#include <cmath>
#include <set>

#include "ui/Layout.h"

namespace kestrova::ui {
namespace {

struct ColourKey {
  std::string_view key;
  Rgb Style::*member;
};

constexpr std::array<ColourKey, 21> kColourKeys = {{
    {"face", &Style::face},
    {"face_text", &Style::faceText},
    {"border", &Style::border},
    {"group_border", &Style::groupBorder},
    {"edit", &Style::edit},
    {"edit_text", &Style::editText},
    {"edit_readonly", &Style::editReadOnly},
    {"button", &Style::button},
    {"button_text", &Style::buttonText},
    {"button_hot", &Style::buttonHot},
    {"button_pressed", &Style::buttonPressed},
    {"button_border", &Style::buttonBorder},
    {"button_disabled", &Style::buttonDisabled},
    {"button_disabled_text", &Style::buttonDisabledText},
    {"focus", &Style::focus},
    {"tab", &Style::tab},
    {"tab_text", &Style::tabText},
    {"tab_selected", &Style::tabSelected},
    {"tab_selected_text", &Style::tabSelectedText},
    {"status", &Style::status},
    {"status_text", &Style::statusText},
}};

constexpr std::string_view kFormat = "kestrova-style 1";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Rgb ParseColour(std::string_view v, int line) {
  if (v.size() != 7 || v[0] != '#')
    throw StyleError("style line " + std::to_string(line) + ": colour must be #RRGGBB");
  std::array<unsigned, 3> c{};
  for (size_t i = 0; i < 3; ++i) {
    const int hi = HexDigit(v[1 + 2 * i]), lo = HexDigit(v[2 + 2 * i]);
    if (hi < 0 || lo < 0)
      throw StyleError("style line " + std::to_string(line) + ": colour must be #RRGGBB");
    c[i] = static_cast<unsigned>(hi * 16 + lo);
  }
  return c[0] | (c[1] << 8) | (c[2] << 16);
}

double Luminance(Rgb c) {
  auto channel = [](unsigned v) {
    const double s = v / 255.0;
    return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(c & 0xFF) + 0.7152 * channel((c >> 8) & 0xFF) +
         0.0722 * channel((c >> 16) & 0xFF);
}

}  // namespace

Style ParseStyle(std::string_view utf8) {
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  Style style;
  std::set<std::string> seen;
  bool haveFormat = false;
  int line = 0;
  size_t pos = 0;
  while (pos < utf8.size()) {
    const size_t nl = utf8.find('\n', pos);
    const auto raw = utf8.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? utf8.size() : nl + 1;
    ++line;
    const auto text = Trim(raw);
    if (text.empty() || text.front() == '#') continue;
    const auto eq = text.find('=');
    if (eq == std::string_view::npos)
      throw StyleError("style line " + std::to_string(line) + ": expected key = value");
    const std::string key(Trim(text.substr(0, eq)));
    const auto value = Trim(text.substr(eq + 1));
    if (!seen.insert(key).second)
      throw StyleError("style line " + std::to_string(line) + ": " + key + " given twice");

    if (key == "format") {
      if (value != kFormat) throw StyleError("unknown style format");
      haveFormat = true;
    } else if (key == "name") {
      if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        throw StyleError("style line " + std::to_string(line) + ": name must be in quotes");
      try {
        style.name = Utf8ToUtf16(value.substr(1, value.size() - 2));
      } catch (const std::invalid_argument&) {
        throw StyleError("style name is not UTF-8");
      }
    } else {
      bool known = false;
      for (const auto& k : kColourKeys) {
        if (k.key == key) {
          style.*k.member = ParseColour(value, line);
          known = true;
          break;
        }
      }
      if (!known) throw StyleError("style line " + std::to_string(line) + ": unknown key " + key);
    }
  }
  if (!haveFormat) throw StyleError("not a style: no format line");
  if (style.name.empty()) throw StyleError("style has no name");
  for (const auto& k : kColourKeys)
    if (!seen.count(std::string(k.key))) throw StyleError("style lacks " + std::string(k.key));
  return style;
}

double Contrast(Rgb a, Rgb b) {
  double la = Luminance(a), lb = Luminance(b);
  if (la < lb) std::swap(la, lb);
  return (la + 0.05) / (lb + 0.05);
}

StyleRegistry::StyleRegistry(NameEqual equal) : equal_(std::move(equal)) {}

void StyleRegistry::Register(Style style) {
  for (auto& s : styles_) {
    if (equal_(s.name, style.name)) {
      s = std::move(style);
      return;
    }
  }
  styles_.push_back(std::move(style));
}

const Style* StyleRegistry::Find(std::u16string_view name) const {
  for (const auto& s : styles_)
    if (equal_(s.name, name)) return &s;
  return nullptr;
}

}  // namespace kestrova::ui
