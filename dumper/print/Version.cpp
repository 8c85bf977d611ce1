// The version resource: fixed file information, string tables, translations.
#include <initializer_list>
#include <string>

#include "dumper/lang/catalog/Version.h"
#include "dumper/pe/Version.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintVersion(Printer& o, const pe::VersionInfo& v, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

namespace {

// "a.b" or "a.b.c.d" from 16-bit halves: one value in both forms.
void Dotted(Printer& o, Key k, std::initializer_list<std::uint32_t> parts) {
  std::string s;
  for (std::uint32_t p : parts) {
    if (!s.empty()) s.push_back('.');
    s += std::to_string(p);
  }
  o.Word(k, s);
}

void Quad(Printer& o, Key k, std::uint32_t ms, std::uint32_t ls) {
  Dotted(o, k, {ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF});
}

// The value (under the pending label) and its name from `table` under `nameKey`.
void NamedValue(Printer& o, std::uint32_t value, std::span<const Named> table, Key nameKey) {
  o.Hex(value, 8);
  if (const Named* n = Find(table, value)) o.Text("  ").Word(nameKey, n->name).Say(M::VerGloss, {n->meaning.In(o.Language())});
  else o.Say(M::VerUnknownValue);
}

// "0409 (en-US)": the LANGID under `k`, its locale under "locale".
void Language(Printer& o, Key k, std::uint32_t lang) {
  o.Hex(k, lang, 4);
  if (const Named* n = Find(Languages(), lang)) {
    o.Say(M::VerParenOpen);
    if (const auto w = LanguageWord(lang)) o.Word("locale", *w);
    else o.Word("locale", n->name);
    o.Say(M::VerParenClose);
  }
}

// `keyed`: the numbers are this line's facts; otherwise the line gave them already.
void LanguageAndCodePage(Printer& o, std::uint32_t lang, std::uint32_t cp, bool keyed) {
  o.Say(M::VerTableLang);
  Language(o, keyed ? Key("lang") : kNoKey, lang);
  o.Say(M::VerCodePage).Dec(keyed ? Key("codePage") : kNoKey, cp);
  if (const Named* n = Find(CodePages(), cp)) {
    o.Say(M::VerParenOpen);
    if (const auto w = CodePageWord(cp)) o.Word("codePageName", *w);
    else o.Word("codePageName", n->name);
    o.Say(M::VerParenClose);
  }
}

}  // namespace

void PrintVersion(Printer& o, const VersionInfo& v, const Context& ctx) {
  if (!v.present) return;
  Field(o, M::VerResource);
  if (v.leaf.name.named) o.Name("name", FromUtf16(v.leaf.name.name));
  else o.Ch('#').Dec("name", v.leaf.name.id);
  o.Say(M::VerLang);
  if (v.leaf.lang.named) o.Say(M::VerLangNamed).FactName("lang", FromUtf16(v.leaf.lang.name));
  else Language(o, "lang", v.leaf.lang.id);
  o.Text("  RVA ").Hex("rva", v.leaf.rva, 8).Say(M::VerSize).Hex("size", v.leaf.size, 8);
  InSection(o, ctx, v.leaf.rva);
  o.Nl();
  if (!v.otherLanguages.empty()) {
    // The system picks among these by the user's language; the listing shows the first.
    Field(o, M::VerAlsoIn);
    Scoped langs(o, Scoped::kList, "otherLanguages");
    for (std::size_t i = 0; i < v.otherLanguages.size(); ++i) {
      Scoped one(o, Scoped::kObject, {});
      if (i != 0) o.Say(M::VerListSep);
      Language(o, "lang", v.otherLanguages[i]);
    }
    o.Nl();
  }
  if (v.hasFixed) {
    const auto& f = v.fixed;
    Field(o, "Signature").Hex(f[kSignature], 8);
    o.Nl();
    Field(o, "StrucVersion");
    Dotted(o, {}, {f[kStrucVersion] >> 16, f[kStrucVersion] & 0xFFFF});
    o.Nl();
    Field(o, "FileVersion");
    Quad(o, {}, f[kFileVersionMs], f[kFileVersionLs]);
    o.Nl();
    Field(o, "ProductVersion");
    Quad(o, {}, f[kProductVersionMs], f[kProductVersionLs]);
    o.Nl();
    Field(o, "FileFlagsMask").Hex(f[kFileFlagsMask], 8);
    o.Nl();
    Field(o, "FileFlags").Hex(f[kFileFlags], 8);
    if (std::uint32_t outside = f[kFileFlags] & ~f[kFileFlagsMask]; outside != 0)
      o.Say(M::VerOutsideOpen).Hex("outsideMask", outside, 8).Say(M::VerOutsideMask);
    o.Nl();
    FlagLines(o, "FileFlagsFlags", f[kFileFlags] & f[kFileFlagsMask], VersionFileFlags(), 8);
    Field(o, "FileOS");
    NamedValue(o, f[kFileOs], VersionFileOs(), "FileOSName");
    o.Nl();
    Field(o, "FileType");
    NamedValue(o, f[kFileType], VersionFileTypes(), "FileTypeName");
    o.Nl();
    Field(o, "FileSubtype");
    if (f[kFileType] == 3) NamedValue(o, f[kFileSubtype], VersionDriverSubtypes(), "FileSubtypeName");
    else if (f[kFileType] == 4) NamedValue(o, f[kFileSubtype], VersionFontSubtypes(), "FileSubtypeName");
    else if (f[kFileType] == 5) o.Hex(f[kFileSubtype], 8).Say(M::VerVirtualDeviceId);
    else o.Hex(f[kFileSubtype], 8);
    o.Nl();
    Field(o, "FileDate").Hex("FileDateMS", f[kFileDateMs], 8).Hex("FileDateLS", f[kFileDateLs], 8);
    // 100-ns intervals since 1601; shown as a date when it falls in the range the listing's dates cover.
    const std::uint64_t ticks = (std::uint64_t{f[kFileDateMs]} << 32) | f[kFileDateLs];
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
    if (ticks == 0) {
      o.Say(M::VerDateNotSet);
    } else if (ticks >= kUnixEpoch && (ticks - kUnixEpoch) / 10000000 <= 0xFFFFFFFFull) {
      o.Text("  ").Date(kNoKey, static_cast<std::uint32_t>((ticks - kUnixEpoch) / 10000000));
    }
    o.Nl();
  }
  {
    Scoped tables(o, Scoped::kList, "stringTables");
    for (const VersionTable& t : v.tables) {
      if (o.Exhausted()) return;
      Scoped table(o, Scoped::kObject, {});
      o.Nl();
      std::string key = FromUtf16(t.key);
      Field(o, "StringFileInfo", "key").Name(key);
      std::uint32_t lc = 0;
      bool hex = key.size() == 8;
      for (char c : key) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) hex = false;
        lc = (lc << 4) | static_cast<std::uint32_t>(d < 0 ? 0 : d);
      }
      if (hex) {
        o.Text("  ");
        LanguageAndCodePage(o, lc >> 16, lc & 0xFFFF, true);
      }
      o.Nl();
      Scoped strings(o, Scoped::kList, "strings");
      for (const VersionString& s : t.strings) {
        if (o.Exhausted()) return;
        Scoped row(o, Scoped::kObject, {});
        o.Text("    ").Name("key", FromUtf16(s.key));
        if (!s.value.empty()) o.Col(kValueCol).Name("value", FromUtf16(s.value));
        else o.FactName("value", "");
        o.Nl();
      }
    }
  }
  if (!v.translations.empty()) {
    o.Nl();
    Scoped rows(o, Scoped::kList, "translations");
    for (std::uint32_t tr : v.translations) {
      Scoped row(o, Scoped::kObject, {});
      Field(o, "Translation").Hex("lang", tr & 0xFFFF, 4).Hex("codePage", tr >> 16, 4).Text("  ");
      LanguageAndCodePage(o, tr & 0xFFFF, tr >> 16, false);
      o.Nl();
    }
  }
}

KESTROVA_PART(Version)

}  // namespace kestrova::dumper::print
