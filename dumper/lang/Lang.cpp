#include "dumper/lang/Lang.h"

#include <array>

namespace kestrova::dumper::lang::M {
#define MSG KESTROVA_MSG_DEFINE
#include "dumper/lang/Catalog.def"
#undef MSG
}  // namespace kestrova::dumper::lang::M

namespace kestrova::dumper::lang {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace

void Append(std::string& out, Msg m, Lang l, std::initializer_list<Arg> args) {
  const std::string_view t = Text(m, l);
  std::size_t from = 0;
  for (std::size_t i = 0; i + 2 < t.size(); ++i) {
    if (t[i] != '{' || t[i + 2] != '}' || t[i + 1] < '0' || t[i + 1] > '9') continue;
    const std::size_t k = static_cast<std::size_t>(t[i + 1] - '0');
    out.append(t.substr(from, i - from));
    if (k < args.size()) out.append(args.begin()[k].View());
    from = i + 3;
    i += 2;
  }
  out.append(t.substr(from));
}

std::optional<Lang> Parse(std::string_view name) {
  if (SameWord(name, "en")) return Lang::En;
  if (SameWord(name, "zh") || SameWord(name, "zh-CN") || SameWord(name, "zh_CN") || SameWord(name, "zh-Hans"))
    return Lang::ZhCN;
  return std::nullopt;
}

Lang Choose(std::string_view kestrovaLang, std::string_view userLanguage) {
  if (auto l = Parse(kestrovaLang)) return *l;
  // "zh_CN.UTF-8", "zh-CN", "zh_SG", "zh": a Chinese reader reads Simplified
  // Chinese more readily than English, whatever the region.
  if (userLanguage.size() >= 2 && Lower(userLanguage[0]) == 'z' && Lower(userLanguage[1]) == 'h' &&
      (userLanguage.size() == 2 || userLanguage[2] == '_' || userLanguage[2] == '-' || userLanguage[2] == '.'))
    return Lang::ZhCN;
  return Lang::En;
}

int CodePointWidth(std::uint32_t cp) {
  // East Asian Wide (W) and Fullwidth (F), in ranges.
  static constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 18> kWide{{
      {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x2E80, 0x303E}, {0x3041, 0x33FF},
      {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF}, {0xA960, 0xA97F}, {0xAC00, 0xD7A3},
      {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F}, {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6},
      {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
  }};
  if (cp < 0x1100) return 1;
  for (const auto& [lo, hi] : kWide)
    if (cp >= lo && cp <= hi) return 2;
  return 1;
}

std::size_t DisplayWidth(std::string_view s) {
  std::size_t w = 0;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++w;
      ++i;
      continue;
    }
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + n > s.size()) n = 1;
    std::uint32_t cp = n == 4 ? c & 0x07u : n == 3 ? c & 0x0Fu : n == 2 ? c & 0x1Fu : c;
    for (std::size_t k = 1; k < n; ++k) {
      const unsigned char b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) {
        n = 1;
        cp = c;
        break;
      }
      cp = (cp << 6) | (b & 0x3Fu);
    }
    w += n == 1 ? 1 : static_cast<std::size_t>(CodePointWidth(cp));
    i += n;
  }
  return w;
}

std::span<const Msg> All() {
  static constexpr Msg kAll[] = {
#define MSG(Id, en, zh) M::Id,
#include "dumper/lang/Catalog.def"
#undef MSG
  };
  return kAll;
}

}  // namespace kestrova::dumper::lang
