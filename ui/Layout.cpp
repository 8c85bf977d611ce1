#include "ui/Layout.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

namespace kestrova::ui {
namespace {

constexpr std::array<std::u16string_view, 9> kKinds = {
    u"form", u"tabs", u"page", u"group", u"edit", u"memo", u"button", u"label", u"status"};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Splits on `sep` outside double quotes; a backslash inside quotes escapes the next byte.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view s, char sep, int line) {
  std::vector<std::string_view> parts;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == sep) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  if (quoted) throw LayoutError(line, "unterminated quoted text");
  parts.push_back(s.substr(start));
  return parts;
}

std::string Unquote(std::string_view s, int line) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"')
    throw LayoutError(line, "text must be in double quotes");
  std::string out;
  s = s.substr(1, s.size() - 2);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') throw LayoutError(line, "stray quote inside text");
    if (s[i] == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '"' && s[i + 1] != '\\'))
        throw LayoutError(line, "unknown escape in text");
      ++i;
    }
    out.push_back(s[i]);
  }
  return out;
}

std::u16string Wide(std::string_view s, int line) {
  try {
    return Utf8ToUtf16(s);
  } catch (const std::invalid_argument&) {
    throw LayoutError(line, "invalid UTF-8");
  }
}

int Number(std::string_view s, int line, const char* what) {
  int value = 0;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, value);
  if (s.empty() || ec != std::errc() || p != end) throw LayoutError(line, std::string("bad ") + what);
  return value;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    const size_t start = i;
    bool quoted = false;
    for (; i < s.size(); ++i) {
      if (quoted && s[i] == '\\') {
        ++i;
      } else if (s[i] == '"') {
        quoted = !quoted;
      } else if (!quoted && (s[i] == ' ' || s[i] == '\t')) {
        break;
      }
    }
    words.push_back(s.substr(start, std::min(i, s.size()) - start));
  }
  return words;
}

ControlSpec ParseRecord(std::string_view text, int line) {
  const auto fields = SplitOutsideQuotes(text, '|', line);
  if (fields.size() != 6 && fields.size() != 7) throw LayoutError(line, "expected 6 or 7 fields");
  ControlSpec c;
  c.line = line;
  c.name = Wide(Trim(fields[0]), line);
  c.kind = Wide(Trim(fields[1]), line);
  const auto parent = Trim(fields[2]);
  if (parent != "-") c.parent = Wide(parent, line);
  if (c.name.empty()) throw LayoutError(line, "missing name");

  const auto rect = Words(Trim(fields[3]));
  if (rect.size() != 4) throw LayoutError(line, "expected left top width height");
  c.left = Number(rect[0], line, "left");
  c.top = Number(rect[1], line, "top");
  c.width = Number(rect[2], line, "width");
  c.height = Number(rect[3], line, "height");
  if (c.width < 0 || c.height < 0) throw LayoutError(line, "negative size");
  c.tabOrder = Number(Trim(fields[4]), line, "tab order");
  if (c.tabOrder < 0) throw LayoutError(line, "negative tab order");

  for (auto word : Words(Trim(fields[5]))) {
    const auto eq = word.find('=');
    std::u16string key = Wide(word.substr(0, eq), line);
    std::u16string value;
    if (eq != std::string_view::npos) {
      const auto raw = word.substr(eq + 1);
      value = Wide(!raw.empty() && raw.front() == '"' ? Unquote(raw, line) : std::string(raw), line);
    }
    if (key.empty()) throw LayoutError(line, "empty option name");
    if (!c.options.emplace(std::move(key), std::move(value)).second)
      throw LayoutError(line, "option given twice");
  }
  if (fields.size() == 7) {
    const auto t = Trim(fields[6]);
    if (!t.empty()) c.text = Wide(Unquote(t, line), line);
  }
  return c;
}

}  // namespace

LayoutError::LayoutError(int line, const std::string& what)
    : std::runtime_error("layout line " + std::to_string(line) + ": " + what), line_(line) {}

bool ControlSpec::Has(std::u16string_view option) const {
  return options.find(std::u16string(option)) != options.end();
}

std::u16string ControlSpec::Option(std::u16string_view key, std::u16string_view fallback) const {
  const auto it = options.find(std::u16string(key));
  return it == options.end() ? std::u16string(fallback) : it->second;
}

const ControlSpec* FormLayout::Find(std::u16string_view name) const {
  if (form.name == name) return &form;
  for (const auto& c : controls)
    if (c.name == name) return &c;
  return nullptr;
}

FormLayout ParseLayout(std::string_view utf8) {
  // A leading UTF-8 mark is tolerated: editors like to add one.
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  FormLayout layout;
  bool haveForm = false;
  std::set<std::u16string> names;
  int line = 0;
  size_t pos = 0;
  while (pos <= utf8.size()) {
    const size_t nl = utf8.find('\n', pos);
    const auto raw = utf8.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? utf8.size() + 1 : nl + 1;
    ++line;
    const auto text = Trim(raw);
    if (text.empty() || text.front() == '#') continue;

    ControlSpec c = ParseRecord(text, line);
    if (std::find(kKinds.begin(), kKinds.end(), c.kind) == kKinds.end())
      throw LayoutError(line, "unknown kind");
    if (!names.insert(c.name).second) throw LayoutError(line, "name defined twice");
    if (c.kind == u"form") {
      if (haveForm) throw LayoutError(line, "second form record");
      if (!c.parent.empty()) throw LayoutError(line, "the form has no parent");
      haveForm = true;
      layout.form = std::move(c);
      continue;
    }
    if (!haveForm) throw LayoutError(line, "the form record must come first");
    if (c.parent.empty() || !names.count(c.parent) || c.parent == c.name)
      throw LayoutError(line, "parent not defined above");
    if (c.kind == u"page" && layout.Find(c.parent)->kind != u"tabs")
      throw LayoutError(line, "a page belongs to a tabs control");
    layout.controls.push_back(std::move(c));
  }
  if (!haveForm) throw LayoutError(line, "no form record");
  return layout;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  auto cont = [&](size_t k) -> char32_t {
    if (i + k >= s.size()) throw std::invalid_argument("truncated UTF-8");
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) throw std::invalid_argument("bad UTF-8 continuation");
    return b & 0x3Fu;
  };
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t cp;
    size_t len;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = (char32_t{b & 0x1Fu} << 6) | cont(1);
      len = 2;
      if (cp < 0x80) throw std::invalid_argument("overlong UTF-8");
    } else if ((b & 0xF0) == 0xE0) {
      cp = (char32_t{b & 0x0Fu} << 12) | (cont(1) << 6) | cont(2);
      len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) throw std::invalid_argument("bad UTF-8");
    } else if ((b & 0xF8) == 0xF0) {
      cp = (char32_t{b & 0x07u} << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) throw std::invalid_argument("bad UTF-8");
    } else {
      throw std::invalid_argument("bad UTF-8 lead byte");
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

}  // namespace kestrova::ui
