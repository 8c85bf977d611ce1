#pragma once
// The listing's own words in the reader's language. Every sentence and word of
// ours is one entry of the catalog (Catalog.def), with its English and its
// Simplified Chinese text; code names the entry, never a literal. The format's
// own names (field names, flag names, section and symbol names) are not ours
// and stay as they are in both languages. JSON never translates: its words are
// the English entries.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrova::dumper::lang {

enum class Lang : std::uint8_t { En, ZhCN };

enum class M : std::uint16_t {
#define MSG(Id, en, zh) Id,
#include "dumper/lang/Catalog.def"
#undef MSG
  Count
};
inline constexpr std::size_t kCount = static_cast<std::size_t>(M::Count);

// The entry's text: "{0}" ... "{9}" stand for its arguments, in any order.
std::string_view Text(M m, Lang l);
// The entry's identifier, for the catalog's own checks.
std::string_view Id(M m);

// One argument of an entry: a text, or a number shown in decimal.
class Arg {
 public:
  Arg(std::string_view s) : s_(s) {}                    // NOLINT: arguments read as they are written
  Arg(const char* s) : s_(s) {}                         // NOLINT
  Arg(const std::string& s) : s_(s) {}                  // NOLINT
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>, int> = 0>
  Arg(T v) {                                            // NOLINT
    std::uint64_t u = static_cast<std::uint64_t>(v);
    char tmp[20];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    while (n > 0) num_[len_++] = tmp[--n];
    numeric_ = true;
  }
  std::string_view View() const { return numeric_ ? std::string_view(num_, len_) : s_; }

 private:
  std::string_view s_;
  char num_[20] = {};
  std::uint8_t len_ = 0;
  bool numeric_ = false;
};

// Appends the entry's text in `l` to `out`, its placeholders filled.
void Append(std::string& out, M m, Lang l, std::initializer_list<Arg> args = {});

// The entry as a string, for what is kept and shown later (a warning).
inline std::string Say(Lang l, M m, std::initializer_list<Arg> args = {}) {
  std::string s;
  Append(s, m, l, args);
  return s;
}

// A language from its name: "en", "zh-CN" (also "zh", "zh_CN", any case).
std::optional<Lang> Parse(std::string_view name);
// The names --lang takes, for its error.
inline constexpr std::string_view kNames = "en, zh-CN";

// The reader's language when nothing names one on the command line: a value
// of KESTROVA_LANG first (an unknown one is ignored), then the user's language
// as the platform tells it (a locale or language tag such as "zh_CN.UTF-8" or
// "zh-CN"); English unless one of them says Chinese.
Lang Choose(std::string_view kestrovaLang, std::string_view userLanguage);

// Columns the UTF-8 text takes in a monospace font: East Asian wide and full-width
// characters take two, others one; bytes that are not UTF-8 one each.
std::size_t DisplayWidth(std::string_view s);
// The display width of the code point `cp`.
int CodePointWidth(std::uint32_t cp);

}  // namespace kestrova::dumper::lang
