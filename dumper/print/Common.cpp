// The print services every part shares.
#include "dumper/print/Printers.h"

namespace kestrova::dumper::print {

using namespace pe;

void Title(Out& o, std::string_view title) {
  o.Nl();
  o.Text("== ").Text(title).Text(" ==");
  o.Nl();
}

void Count(Out& o, std::uint64_t n, std::string_view one, std::string_view many) {
  o.Dec(n).Ch(' ').Text(n == 1 ? one : many);
}

Out& Field(Out& o, std::string_view label) {
  o.Text("  ").Text(label).Col(kValueCol);
  return o;
}

void FlagLines(Out& o, std::uint64_t value, std::span<const Named> table, int width) {
  std::uint64_t known = 0;
  for (const Named& n : table) {
    known |= n.value;
    if ((value & n.value) == 0) continue;
    o.Col(kValueCol + 2).Hex(n.value, width).Text("  ").Text(n.name);
    o.Col(kValueCol + 2 + static_cast<std::size_t>(width) + 26).Text(n.meaning);
    o.Nl();
  }
  if (std::uint64_t rest = value & ~known; rest != 0) {
    o.Col(kValueCol + 2).Hex(rest, width).Text("  (unknown bits)");
    o.Nl();
  }
}

std::uint64_t FlagWords(Out& o, std::uint64_t value, std::span<const Named> table, std::string_view first) {
  std::uint64_t known = 0;
  bool any = false;
  for (const Named& n : table) {
    known |= n.value;
    if ((value & n.value) == 0) continue;
    o.Text(any ? " " : first).Text(n.name);
    any = true;
  }
  return known;
}

void Stamp(Out& o, std::uint32_t t, StampStyle style) {
  o.Hex(t, 8);
  if (style == StampStyle::Header) {
    if (t == 0) o.Text("  (not set)");
    else o.Text("  ").Date(t);
  } else if (t != 0 && t != 0xFFFFFFFF) {
    o.Text("  ").Date(t);
  }
}

void DirectoryStamp(Out& o, std::uint32_t characteristics, std::uint32_t stamp, std::uint16_t major,
                    std::uint16_t minor) {
  Field(o, "Characteristics").Hex(characteristics, 8);
  o.Nl();
  Field(o, "TimeDateStamp");
  Stamp(o, stamp, StampStyle::Table);
  o.Nl();
  Field(o, "Version").Dec(major).Ch('.').Dec(minor);
  o.Nl();
}

std::string_view SectionName(const Section& s) { return s.longName.empty() ? s.name : s.longName; }

void InSection(Out& o, const Context& ctx, std::uint64_t rva) {
  int i = ctx.map.SectionOf(rva);
  if (i == kNoSection) return;
  std::string_view name = SectionName(ctx.h.sections[static_cast<std::size_t>(i)]);
  // A section without a name is named by its number, as the section table counts.
  if (name.empty()) o.Text("  in section ").Dec(static_cast<std::uint64_t>(i) + 1);
  else o.Text("  in ").Name(name);
}

void HexBytes(Out& o, std::span<const std::uint8_t> bytes, std::size_t max) {
  std::size_t n = bytes.size() < max ? bytes.size() : max;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) o.Ch(' ');
    o.Hex(bytes[i], 2);
  }
  o.Text("  |");
  for (std::size_t i = 0; i < n; ++i) o.Ch(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
  o.Ch('|');
}

void Guid(Out& o, std::span<const std::uint8_t> b) {
  if (b.size() < 16) {
    o.Text("(short GUID)");
    return;
  }
  auto le = [&](std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = (v << 8) | b[at + static_cast<std::size_t>(k)];
    o.Hex(v, 2 * n);
  };
  o.Ch('{');
  le(0, 4);
  o.Ch('-');
  le(4, 2);
  o.Ch('-');
  le(6, 2);
  o.Ch('-');
  for (std::size_t i = 8; i < 16; ++i) {
    if (i == 10) o.Ch('-');
    o.Hex(b[i], 2);
  }
  o.Ch('}');
}

void PrintFields(Out& o, const FieldBlock& b, const Context& ctx, const FieldHook& special) {
  for (std::size_t i = 0; i < b.defs.size(); ++i) {
    if (!b.Claimed(i)) continue;
    const FieldDef& d = b.defs[i];
    Field(o, d.label);
    if (!b.Has(i)) {
      o.Text("(past the end of the file)");
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
        InSection(o, ctx, v);
        break;
      case FieldKind::Va: {
        o.Hex(v, digits);
        const std::uint64_t base = ctx.h.opt.imageBase;
        if (v != 0 && v >= base && v - base <= UINT32_MAX) {
          o.Text("  RVA ").Hex(v - base, 8);
          InSection(o, ctx, v - base);
        }
        break;
      }
      case FieldKind::Stamp: Stamp(o, static_cast<std::uint32_t>(v), StampStyle::Table); break;
      case FieldKind::Flags:
        o.Hex(v, digits);
        o.Nl();
        if (d.names != nullptr) FlagLines(o, v, d.names(), digits);
        continue;
      case FieldKind::Enum: {
        o.Hex(v, digits);
        const Named* n = d.names != nullptr ? Find(d.names(), static_cast<std::uint32_t>(v)) : nullptr;
        if (n != nullptr) {
          o.Text("  ").Text(n->name).Text("  ").Text(n->meaning);
        } else {
          o.Text("  (unknown ");
          for (char c : d.label) o.Ch(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
          o.Ch(')');
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

void Where(Out& o, const Anomaly& a) {
  if (a.where == Anomaly::Where::Offset) o.Text(" (file offset 0x").Hex(a.at, 0).Ch(')');
  else if (a.where == Anomaly::Where::Rva) o.Text(" (RVA 0x").Hex(a.at, 0).Ch(')');
}

void AreaAnomalies(Out& o, const Anomalies& an, Area area) {
  if (!an.Any(area)) return;
  for (const Anomaly& a : an.List()) {
    if (a.area != area) continue;
    o.Text("  ! warning: ").Name(a.text);
    Where(o, a);
    o.Nl();
  }
}

void PrintSummary(Out& o, const Anomalies& an) {
  PrintReadableTally(o);
  Title(o, "Anomalies");
  const auto& list = an.List();
  if (list.empty()) {
    o.Text("  none found");
    o.Nl();
    return;
  }
  static constexpr std::string_view kAreas[] = {
      "file",
#define PART(Id, title, summary, anchor) summary,
#include "dumper/Parts.def"
#undef PART
  };
  static_assert(std::size(kAreas) == kAreaCount);
  const std::size_t total = list.size() + an.Suppressed();
  o.Text("  ").Dec(total).Text(total == 1 ? " problem found" : " problems found");
  if (an.Suppressed() != 0) o.Text(" (").Dec(an.Suppressed()).Text(" not listed)");
  o.Nl();
  for (const Anomaly& a : list) {
    o.Text("  ").Text(kAreas[static_cast<std::size_t>(a.area)]).Text(": ").Name(a.text);
    Where(o, a);
    o.Nl();
  }
}

}  // namespace kestrova::dumper::print
