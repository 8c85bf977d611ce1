// The print services every part shares.
#include "dumper/print/Printers.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Titles.h"

#include <string>

#include "dumper/io/Format.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {
// Titles of the closing blocks, which are not parts.
void Heading(Printer& o, lang::Msg title) {
  o.Nl();
  o.Text("== ").Say(title).Text(" ==");
  o.Nl();
}

// A field table label as a JSON key: the words run together, later ones
// capitalized ("MetaData RVA" -> "MetaDataRva"), so that two fields whose
// labels share a first word keep keys of their own.
std::string FieldKey(std::string_view label) {
  std::string key;
  std::size_t at = 0;
  while (at < label.size()) {
    std::size_t end = label.find(' ', at);
    if (end == std::string_view::npos) end = label.size();
    std::string_view w = label.substr(at, end - at);
    if (key.empty()) {
      key.append(w);
    } else if (!w.empty()) {
      key.push_back(w[0] >= 'a' && w[0] <= 'z' ? static_cast<char>(w[0] - 'a' + 'A') : w[0]);
      const bool upper = w.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string_view::npos;
      for (char c : w.substr(1)) key.push_back(upper && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    at = end + 1;
  }
  return key;
}
}  // namespace

void Count(Printer& o, Key k, std::uint64_t n, std::string_view one, std::string_view many) {
  o.Dec(k, n).Ch(' ').Text(n == 1 ? one : many);
}

void Count(Printer& o, Key k, std::uint64_t n, lang::Msg one, lang::Msg many) {
  o.Say(n == 1 ? one : many, {n}).Fact(k, n);
}

void FlagLines(Printer& o, Key k, std::uint64_t value, std::span<const Named> table, int width) {
  Scoped names(o, Scoped::kList, k);
  std::uint64_t known = 0;
  for (const Named& n : table) {
    known |= n.value;
    if ((value & n.value) == 0) continue;
    o.Col(kValueCol + 2).Hex(kNoKey, n.value, width).Text("  ").Word({}, n.name);
    o.Col(kValueCol + 2 + static_cast<std::size_t>(width) + 26).Text(n.meaning.In(o.Language()));
    o.Nl();
  }
  if (std::uint64_t rest = value & ~known; rest != 0) {
    o.Col(kValueCol + 2).Hex(kNoKey, rest, width).Say(lang::M::UnknownBits);
    o.Nl();
  }
}

std::uint64_t FlagWords(Printer& o, Key k, std::uint64_t value, std::span<const Named> table,
                        std::string_view first) {
  Scoped names(o, Scoped::kList, k);
  std::uint64_t known = 0;
  bool any = false;
  for (const Named& n : table) {
    known |= n.value;
    if ((value & n.value) == 0) continue;
    o.Text(any ? " " : first).Word({}, n.name);
    any = true;
  }
  return known;
}

void Stamp(Printer& o, Key k, std::uint32_t t, StampStyle style) {
  o.Hex(k, t, 8);
  if (style == StampStyle::Header) {
    if (t == 0) o.Say(lang::M::StampNotSet);
    else o.Text("  ").Date(kNoKey, t);
  } else if (t != 0 && t != 0xFFFFFFFF) {
    o.Text("  ").Date(kNoKey, t);
  }
}

void DirectoryStamp(Printer& o, std::uint32_t characteristics, std::uint32_t stamp, std::uint16_t major,
                    std::uint16_t minor) {
  Field(o, "Characteristics").Hex(characteristics, 8);
  o.Nl();
  Field(o, "TimeDateStamp");
  Stamp(o, {}, stamp, StampStyle::Table);
  o.Nl();
  Field(o, "Version").Dec("MajorVersion", major).Ch('.').Dec("MinorVersion", minor);
  o.Nl();
}

std::string_view SectionName(const Section& s) { return s.longName.empty() ? s.name : s.longName; }

void InSection(Printer& o, const Context& ctx, std::uint64_t rva, Key k) {
  int i = ctx.map.SectionOf(rva);
  if (i == kNoSection) return;
  std::string_view name = SectionName(ctx.h.sections[static_cast<std::size_t>(i)]);
  // A section without a name is named by its number, as the section table counts.
  if (name.empty()) o.Say(lang::M::InSectionNumber, {i + 1}).Fact(k, static_cast<std::uint64_t>(i) + 1);
  else o.Say(lang::M::InSectionNamed).Name(k, name);
}

void HexBytes(Printer& o, Key k, std::span<const std::uint8_t> bytes, std::size_t max) {
  const std::size_t n = bytes.size() < max ? bytes.size() : max;
  std::string text, hex;
  text.reserve(4 * n + 4);
  hex.reserve(2 * n);
  char tmp[4];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t len = static_cast<std::size_t>(io::PutHex(tmp, bytes[i], 2) - tmp);
    if (i != 0) text.push_back(' ');
    text.append(tmp, len);
    hex.append(tmp, len);
  }
  text.append("  |");
  for (std::size_t i = 0; i < n; ++i) text.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
  text.push_back('|');
  o.Word(k, text, hex);
}

void Guid(Printer& o, Key k, std::span<const std::uint8_t> b) {
  if (b.size() < 16) {
    o.Word(k, lang::M::ShortGuid, "");
    return;
  }
  char text[40];
  char* p = text;
  auto le = [&](std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    p = io::PutHex(p, v, 2 * n);
  };
  *p++ = '{';
  le(0, 4);
  *p++ = '-';
  le(4, 2);
  *p++ = '-';
  le(6, 2);
  *p++ = '-';
  for (std::size_t i = 8; i < 16; ++i) {
    if (i == 10) *p++ = '-';
    p = io::PutHex(p, b[i], 2);
  }
  *p++ = '}';
  const std::string_view g(text, static_cast<std::size_t>(p - text));
  o.Word(k, g, g);
}

void PrintFields(Printer& o, const FieldBlock& b, const Context& ctx, const FieldHook& special) {
  for (std::size_t i = 0; i < b.defs.size(); ++i) {
    if (!b.Claimed(i)) continue;
    const FieldDef& d = b.defs[i];
    const std::string key = FieldKey(d.label);
    Field(o, d.label, key);
    if (!b.Has(i)) {
      // JSON leaves the field out; the part's warning says where the file stops.
      o.Word(kNoKey, lang::M::PastEndOfFile);
      o.Nl();
      continue;
    }
    const std::uint64_t v = b[i];
    const int digits = 2 * d.Width(b.wide);
    switch (d.kind) {
      case FieldKind::Hex: o.Hex(v, digits); break;
      case FieldKind::Size: o.Hex(v, digits).Text(" (").Dec(v).Ch(')'); break;
      case FieldKind::Dec: o.Dec(v); break;
      case FieldKind::Rva:
        o.Hex(v, digits);
        InSection(o, ctx, v, key + "Section");
        break;
      case FieldKind::Va: {
        o.Hex(v, digits);
        const std::uint64_t base = ctx.h.opt.imageBase;
        if (v != 0 && v >= base && v - base <= UINT32_MAX) {
          o.Text("  RVA ").Hex(key + "Rva", v - base, 8);
          InSection(o, ctx, v - base, key + "Section");
        }
        break;
      }
      case FieldKind::Stamp: Stamp(o, {}, static_cast<std::uint32_t>(v), StampStyle::Table); break;
      case FieldKind::Flags:
        o.Hex(v, digits);
        o.Nl();
        if (d.names != nullptr) FlagLines(o, key + "Flags", v, d.names(), digits);
        continue;
      case FieldKind::Enum: {
        o.Hex(v, digits);
        const Named* n = d.names != nullptr ? Find(d.names(), static_cast<std::uint32_t>(v)) : nullptr;
        if (n != nullptr) {
          o.Text("  ").Word(key + "Name", n->name).Text("  ").Text(n->meaning.In(o.Language()));
        } else {
          // English says the field as a word ("unknown subsystem"); a translation keeps its name.
          std::string word(d.label);
          if (o.Language() == lang::Lang::En)
            for (char& c : word) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
          o.Say(lang::M::UnknownValueOf, {word});
        }
        break;
      }
      case FieldKind::Special:
        if (special) special(o, i, v);
        else o.Hex(v, digits);
        break;
    }
    o.Nl();
  }
}

void Where(Printer& o, const Anomaly& a) {
  if (a.where == Anomaly::Where::None) return;
  char hex[20];
  const std::string_view at(hex, static_cast<std::size_t>(io::PutHex(hex, a.at, 0) - hex));
  if (a.where == Anomaly::Where::Offset) o.Say(lang::M::AtFileOffset, {at}).Fact("offset", a.at);
  else o.Say(lang::M::AtRva, {at}).Fact("rva", a.at);
}

void AreaAnomalies(Printer& o, const Anomalies& an, Area area) {
  if (!an.Any(area)) return;
  Scoped all(o, Scoped::kList, "anomalies");
  for (const Anomaly& a : an.List()) {
    if (a.area != area) continue;
    Scoped one(o, Scoped::kObject, {});
    o.Say(lang::M::WarningPrefix).Name("text", a.text);
    Where(o, a);
    o.Nl();
  }
}

Key AreaKey(Area area) {
  static constexpr std::string_view kKeys[] = {
      "File",
#define PART(Id, title, titleZh, summary, summaryZh, anchor) #Id,
#include "dumper/Parts.def"
#undef PART
  };
  static_assert(std::size(kKeys) == kAreaCount);
  return kKeys[static_cast<std::size_t>(area)];
}

void PrintSummary(Printer& o, const Anomalies& an) {
  PrintReadableTally(o);
  Heading(o, lang::M::TitleAnomalies);
  const auto& list = an.List();
  if (list.empty()) {
    o.Text("  ").Say(lang::M::NoneFound).Fact("problems", std::uint64_t{0});
    o.Nl();
    return;
  }
  static constexpr lang::Msg kAreas[] = {
      lang::M::AreaFile,
#define PART(Id, title, titleZh, summary, summaryZh, anchor) lang::M::Area##Id,
#include "dumper/Parts.def"
#undef PART
  };
  static_assert(std::size(kAreas) == kAreaCount);
  const std::size_t total = list.size() + an.Suppressed();
  o.Text("  ");
  Count(o, "problems", total, lang::M::ProblemsFoundOne, lang::M::ProblemsFoundMany);
  if (an.Suppressed() != 0) o.Say(lang::M::ProblemsNotListed, {an.Suppressed()}).Fact("notListed", std::uint64_t{an.Suppressed()});
  o.Nl();
  Scoped all(o, Scoped::kList, "anomalies");
  for (const Anomaly& a : list) {
    Scoped one(o, Scoped::kObject, {});
    o.Text("  ").Word("part", kAreas[static_cast<std::size_t>(a.area)], AreaKey(a.area)).Say(lang::M::SummaryAreaSep);
    o.Name("text", a.text);
    Where(o, a);
    o.Nl();
  }
}

}  // namespace kestrova::dumper::print
