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
#include <span>
#include <type_traits>

namespace kestrova::dumper::lang {

enum class Lang : std::uint8_t { En, ZhCN };

// One entry: its two texts. "{0}" ... "{9}" in a text stand for its
// arguments, in any order.
struct Entry {
  std::string_view en, zh;
  constexpr Entry(std::string_view e, std::string_view z) : en(e), zh(z) {}
  // Never copied: a Msg points at the one entry, not at a copy that dies.
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

// A catalog entry as code names it: lang::M::Foo converts to it. Each part's
// entries live in its own file (catalog/Part.def, included through
// catalog/Part.h), so that a new sentence rebuilds only the code that says it.
class Msg {
 public:
  constexpr Msg() = default;
  constexpr Msg(const Entry& e) : e_(&e) {}  // NOLINT: M::Foo reads as the entry it is
  constexpr const Entry& entry() const { return *e_; }
  friend constexpr bool operator==(Msg a, Msg b) { return a.e_ == b.e_; }

 private:
  const Entry* e_ = nullptr;
};

// Names one entry for the code that says it. The entries are defined once,
// in Lang.cpp, so that each text is in the program once, however many files say it.
#define KESTROVA_MSG(Id, en, zh) extern const ::kestrova::dumper::lang::Entry Id;

// Defines one entry; an entry without one of its texts stops the build, so a
// reader never meets a blank where a sentence should be.
#define KESTROVA_MSG_DEFINE(Id, en, zh)                                          \
  extern constinit const ::kestrova::dumper::lang::Entry Id{en, zh};             \
  static_assert(sizeof(en) > 1 && sizeof(zh) > 1, "the catalog entry " #Id " lacks one of its texts");

// The entry's text in `l`.
inline std::string_view Text(Msg m, Lang l) { return l == Lang::ZhCN ? m.entry().zh : m.entry().en; }
// Every entry of the catalog, for the checks that walk it.
std::span<const Msg> All();

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
void Append(std::string& out, Msg m, Lang l, std::initializer_list<Arg> args = {});

// The entry as a string, for what is kept and shown later (a warning).
inline std::string Say(Lang l, Msg m, std::initializer_list<Arg> args = {}) {
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
