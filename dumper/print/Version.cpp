// The version resource: fixed file information, string tables, translations.
#include "dumper/pe/Version.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintVersion(Printer& o, const pe::VersionInfo& v, const pe::Context& ctx);

using namespace pe;

namespace {

void Quad(Printer& o, std::uint32_t ms, std::uint32_t ls) {
  o.Dec(ms >> 16).Ch('.').Dec(ms & 0xFFFF).Ch('.').Dec(ls >> 16).Ch('.').Dec(ls & 0xFFFF);
}

void NamedValue(Printer& o, std::uint32_t value, std::span<const Named> table) {
  o.Hex(value, 8);
  if (const Named* n = Find(table, value)) o.Text("  ").Text(n->name).Text("  (").Text(n->meaning).Ch(')');
  else o.Text("  (not a known value)");
}

void LanguageAndCodePage(Printer& o, std::uint32_t lang, std::uint32_t cp) {
  o.Text("lang ").Text(LanguageText(lang)).Text(", code page ").Dec(cp);
  if (const Named* n = Find(CodePages(), cp)) o.Text(" (").Text(n->name).Ch(')');
}

}  // namespace

void PrintVersion(Printer& o, const VersionInfo& v, const Context& ctx) {
  if (!v.present) return;
  Field(o, "Resource");
  if (v.leaf.name.named) o.Name(FromUtf16(v.leaf.name.name));
  else o.Ch('#').Dec(v.leaf.name.id);
  o.Text("  lang ").Text(v.leaf.lang.named ? std::string("(named)") : LanguageText(v.leaf.lang.id));
  o.Text("  RVA ").Hex(v.leaf.rva, 8).Text(", size ").Hex(v.leaf.size, 8);
  InSection(o, ctx, v.leaf.rva);
  o.Nl();
  if (!v.otherLanguages.empty()) {
    // The system picks among these by the user's language; the listing shows the first.
    Field(o, "Also in");
    for (std::size_t i = 0; i < v.otherLanguages.size(); ++i)
      o.Text(i == 0 ? "" : ", ").Text(LanguageText(v.otherLanguages[i]));
    o.Nl();
  }
  if (v.hasFixed) {
    const auto& f = v.fixed;
    Field(o, "Signature").Hex(f[kSignature], 8);
    o.Nl();
    Field(o, "StrucVersion").Dec(f[kStrucVersion] >> 16).Ch('.').Dec(f[kStrucVersion] & 0xFFFF);
    o.Nl();
    Field(o, "FileVersion");
    Quad(o, f[kFileVersionMs], f[kFileVersionLs]);
    o.Nl();
    Field(o, "ProductVersion");
    Quad(o, f[kProductVersionMs], f[kProductVersionLs]);
    o.Nl();
    Field(o, "FileFlagsMask").Hex(f[kFileFlagsMask], 8);
    o.Nl();
    Field(o, "FileFlags").Hex(f[kFileFlags], 8);
    if (std::uint32_t outside = f[kFileFlags] & ~f[kFileFlagsMask]; outside != 0)
      o.Text("  (").Hex(outside, 8).Text(" outside the mask)");
    o.Nl();
    FlagLines(o, {}, f[kFileFlags] & f[kFileFlagsMask], VersionFileFlags(), 8);
    Field(o, "FileOS");
    NamedValue(o, f[kFileOs], VersionFileOs());
    o.Nl();
    Field(o, "FileType");
    NamedValue(o, f[kFileType], VersionFileTypes());
    o.Nl();
    Field(o, "FileSubtype");
    if (f[kFileType] == 3) NamedValue(o, f[kFileSubtype], VersionDriverSubtypes());
    else if (f[kFileType] == 4) NamedValue(o, f[kFileSubtype], VersionFontSubtypes());
    else if (f[kFileType] == 5) o.Hex(f[kFileSubtype], 8).Text("  (virtual device id)");
    else o.Hex(f[kFileSubtype], 8);
    o.Nl();
    Field(o, "FileDate").Hex(f[kFileDateMs], 8).Hex(f[kFileDateLs], 8);
    // 100-ns intervals since 1601; shown as a date when it falls in the range the listing's dates cover.
    const std::uint64_t ticks = (std::uint64_t{f[kFileDateMs]} << 32) | f[kFileDateLs];
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
    if (ticks == 0) {
      o.Text("  (not set)");
    } else if (ticks >= kUnixEpoch && (ticks - kUnixEpoch) / 10000000 <= 0xFFFFFFFFull) {
      o.Text("  ").Date(static_cast<std::uint32_t>((ticks - kUnixEpoch) / 10000000));
    }
    o.Nl();
  }
  for (const VersionTable& t : v.tables) {
    if (o.Exhausted()) return;
    o.Nl();
    std::string key = FromUtf16(t.key);
    Field(o, "StringFileInfo").Name(key);
    std::uint32_t lc = 0;
    bool hex = key.size() == 8;
    for (char c : key) {
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) hex = false;
      lc = (lc << 4) | static_cast<std::uint32_t>(d < 0 ? 0 : d);
    }
    if (hex) {
      o.Text("  ");
      LanguageAndCodePage(o, lc >> 16, lc & 0xFFFF);
    }
    o.Nl();
    for (const VersionString& s : t.strings) {
      if (o.Exhausted()) return;
      o.Text("    ").Name(FromUtf16(s.key));
      if (!s.value.empty()) o.Col(kValueCol).Name(FromUtf16(s.value));
      o.Nl();
    }
  }
  if (!v.translations.empty()) {
    o.Nl();
    for (std::uint32_t tr : v.translations) {
      Field(o, "Translation").Hex(tr & 0xFFFF, 4).Hex(tr >> 16, 4).Text("  ");
      LanguageAndCodePage(o, tr & 0xFFFF, tr >> 16);
      o.Nl();
    }
  }
}

KESTROVA_PART(Version)

}  // namespace kestrova::dumper::print
