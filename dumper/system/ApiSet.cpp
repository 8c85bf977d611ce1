// The API-set schema in its three layouts, and the loader's lookup in it.
#include "dumper/system/ApiSet.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Dependencies.h"

namespace kestrova::dumper::system {

using io::Dec;
using io::Hex;
namespace M = lang::M;

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
std::uint16_t LowerUnit(std::uint16_t c) { return c >= 'A' && c <= 'Z' ? static_cast<std::uint16_t>(c + 32) : c; }

// A Count that runs past the real entries reads garbage as entries; past a few
// such warnings the rest say nothing new, so they are counted instead of listed.
inline constexpr int kDamageListed = 8;
inline constexpr std::uint32_t kMaxNameBytes = 1024;

struct Reading {
  const io::Reader& data;
  pe::Anomalies& an;
  pe::Area area;
  pe::Budget& budget;
  int* damage;
  lang::Lang language;
  void At(std::uint64_t off, lang::Msg m, std::initializer_list<lang::Arg> args = {}) const {
    if (++*damage <= kDamageListed) an.AtOffset(area, data.Base() + off, lang::Say(language, m, args));
  }
};

// A name field pair; false (and a warning naming `what`) when it does not lie
// whole inside the schema.
// `what` makes the name's description, only when there is a warning: a schema
// holds thousands of names.
template <class What>
bool CheckName(const Reading& r, std::uint64_t fieldAt, WideName n, const What& what) {
  if (n.length == 0) return true;
  if (!r.data.Has(n.offset, n.length) || r.data.Bytes().size() < std::uint64_t{n.offset} + n.length) {
    r.At(fieldAt, M::ApiNameOutside, {what(), Hex(n.offset), n.length});
    return false;
  }
  // Contract and DLL names are tens of characters; a longer one is damage, and
  // left unread keeps hashing and comparing names cheap whatever the counts say.
  if (n.length > kMaxNameBytes) {
    r.At(fieldAt, M::ApiNameTooLong, {what(), n.length});
    return false;
  }
  if (n.length % 2 != 0) {
    r.At(fieldAt, M::ApiNameOdd, {what(), n.length});
    return false;
  }
  return true;
}

// Reads `count` value entries of `width` bytes at `at`; the layout of each is
// the same apart from a leading Flags field in versions 4 and 6.
template <class Who>
void ReadValues(const Reading& r, ApiSetEntry& e, std::uint64_t at, std::uint64_t count, bool flags, const Who& who) {
  const std::uint64_t width = flags ? 20 : 16;
  std::uint64_t fit = r.data.Size() > at ? (r.data.Size() - at) / width : 0;
  if (count > fit) {
    r.At(at, M::ApiValuesPartly, {who(), fit, count});
    count = fit;
  }
  if (!r.budget.Take(count)) {
    r.At(at, M::ApiValuesBudget, {who()});
    return;
  }
  e.values.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t v = at + i * width;
    io::Cursor c(r.data, v);
    if (flags) c.U32();
    ApiSetValue val;
    val.importer.offset = c.U32();
    val.importer.length = c.U32();
    val.host.offset = c.U32();
    val.host.length = c.U32();
    auto what = [&](lang::Msg name) {
      return [&, name] { return lang::Say(r.language, name, {i, who()}); };
    };
    if (!CheckName(r, v + (flags ? 4 : 0), val.importer, what(M::ApiValueImporter))) {
      val.importer = {};
      val.host = {};  // one warning a value: its other name says nothing more
    } else if (!CheckName(r, v + (flags ? 12 : 8), val.host, what(M::ApiValueHost))) {
      val.host = {};
    }
    e.values.push_back(val);
  }
}

std::uint32_t HashOf(const ApiSetSchema& s, WideName n, std::uint32_t units) {
  std::uint32_t h = 0;
  for (std::uint32_t i = 0; i < units; ++i)
    h = h * s.hashFactor + LowerUnit(s.data.U16(std::uint64_t{n.offset} + 2u * i).value_or(0));
  return h;
}

// Version 6 keeps a table of (hash, entry) pairs sorted by hash, which the
// loader searches by halves: a pair out of order or not matching its entry's
// name makes a contract unreachable even though its entry is there.
void CheckHashTable(const Reading& r, const ApiSetSchema& s) {
  const std::uint64_t count = s.count;
  if (!r.data.Has(s.hashOffset, count * 8)) {
    r.At(20, M::ApiHashOutside, {Hex(s.hashOffset), count});
    return;
  }
  bool orderSaid = false, indexSaid = false, hashSaid = false;
  std::uint32_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!r.budget.Take()) {
      r.At(s.hashOffset + i * 8, M::ApiHashBudget);
      return;
    }
    const std::uint64_t at = s.hashOffset + i * 8;
    const std::uint32_t hash = *r.data.U32(at), index = *r.data.U32(at + 4);
    if (i > 0 && hash < previous && !orderSaid) {
      r.At(at, M::ApiHashOrder);
      orderSaid = true;
    }
    previous = hash;
    if (index >= s.entries.size()) {
      if (!indexSaid) r.At(at + 4, M::ApiHashIndex, {i, index});
      indexSaid = true;
      continue;
    }
    const ApiSetEntry& e = s.entries[index];
    // A HashedLength past the name was reported with the entry; the loader could never match it.
    if (e.hashedLength > e.name.length) continue;
    if (HashOf(s, e.name, e.hashedLength / 2) != hash && !hashSaid) {
      r.At(at, M::ApiHashMismatch, {i, Hex(hash, 8), index});
      hashSaid = true;
    }
  }
}

bool UnitsEqual(const ApiSetSchema& s, WideName n, std::string_view text, std::size_t units) {
  if (n.length / 2 < units || text.size() < units) return false;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint16_t c = LowerUnit(s.data.U16(std::uint64_t{n.offset} + 2 * i).value_or(0));
    if (c != static_cast<std::uint16_t>(static_cast<unsigned char>(Lower(text[i])))) return false;
  }
  return true;
}

// Case-insensitive order of a schema name against `text`: <0, 0, >0.
int Compare(const ApiSetSchema& s, WideName n, std::string_view text) {
  const std::size_t units = n.length / 2;
  for (std::size_t i = 0; i < units && i < text.size(); ++i) {
    const std::uint16_t a = LowerUnit(s.data.U16(std::uint64_t{n.offset} + 2 * i).value_or(0));
    const auto b = static_cast<std::uint16_t>(static_cast<unsigned char>(Lower(text[i])));
    if (a != b) return a < b ? -1 : 1;
  }
  return units < text.size() ? -1 : units > text.size() ? 1 : 0;
}

bool NameIs(const ApiSetSchema& s, WideName n, std::string_view text) {
  return n.length / 2 == text.size() && UnitsEqual(s, n, text, text.size());
}

}  // namespace

ApiSetSchema ReadApiSetSchema(const io::Reader& data, pe::Anomalies& an, pe::Area area, pe::Budget& budget,
                               lang::Lang language) {
  ApiSetSchema s;
  s.data = data;
  int damage = 0;
  const Reading r{data, an, area, budget, &damage, language};
  auto version = data.U32(0);
  if (!version) {
    r.At(0, M::ApiEmpty);
    return s;
  }
  s.version = *version;
  std::uint64_t entriesAt = 0, width = 0;
  io::Cursor c(data, 4);
  switch (s.version) {
    case 2:
      s.count = c.U32();
      entriesAt = 8;
      width = 12;
      break;
    case 4:
      s.size = c.U32(); s.flags = c.U32(); s.count = c.U32();
      entriesAt = 16;
      width = 24;
      break;
    case 6:
      s.size = c.U32(); s.flags = c.U32(); s.count = c.U32();
      s.entryOffset = c.U32(); s.hashOffset = c.U32(); s.hashFactor = c.U32();
      entriesAt = s.entryOffset;
      width = 24;
      break;
    default:
      r.At(0, M::ApiUnknownVersion, {s.version});
      return s;
  }
  if (!c.ok()) {
    r.At(0, M::ApiHeaderCut);
    return s;
  }
  s.present = true;
  if (s.size > data.Size())
    r.At(4, M::ApiSizeTooLarge, {Hex(s.size), Hex(data.Size())});

  std::uint64_t count = s.count;
  const std::uint64_t fit = data.Size() > entriesAt ? (data.Size() - entriesAt) / width : 0;
  if (count > fit) {
    r.At(s.version == 2 ? 4 : 12, M::ApiCountTooLarge, {count, fit});
    count = fit;
  }
  if (!budget.Take(count)) {
    r.At(entriesAt, M::ApiEntriesBudget);
    return s;
  }
  s.entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = entriesAt + i * width;
    io::Cursor e(data, at);
    ApiSetEntry entry;
    std::uint64_t valuesAt = 0, valueCount = 0;
    bool valueFlags = false;
    std::uint64_t nameField = at;
    if (s.version == 2) {
      entry.name.offset = e.U32(); entry.name.length = e.U32();
      valuesAt = e.U32();
    } else if (s.version == 4) {
      entry.flags = e.U32();
      nameField = at + 4;
      entry.name.offset = e.U32(); entry.name.length = e.U32();
      e.U32(); e.U32();  // the alias: a second spelling no lookup uses
      valuesAt = e.U32();
      valueFlags = true;
    } else {
      entry.flags = e.U32();
      nameField = at + 4;
      entry.name.offset = e.U32(); entry.name.length = e.U32(); entry.hashedLength = e.U32();
      valuesAt = e.U32();
      valueCount = e.U32();
      valueFlags = true;
    }
    auto who = [i, language] { return lang::Say(language, M::ApiEntry, {i}); };
    if (!CheckName(r, nameField, entry.name, [&] { return lang::Say(language, M::ApiEntryName, {who()}); })) {
      entry.name = {};
    } else if (s.version == 6 && entry.hashedLength > entry.name.length)
      r.At(at + 12, M::ApiHashedLength, {who(), entry.hashedLength, entry.name.length});
    // Versions 2 and 4 put a count before the values; version 6 keeps it in the entry.
    if (s.version != 6) {
      io::Cursor v(data, valuesAt);
      if (s.version == 4) v.U32();
      valueCount = v.U32();
      if (!v.ok()) {
        r.At(at + (s.version == 2 ? 8 : 20), M::ApiValuesOutside, {who(), Hex(valuesAt)});
        s.entries.push_back(std::move(entry));
        continue;
      }
      valuesAt = v.Offset();
    }
    if (valueCount != 0) ReadValues(r, entry, valuesAt, valueCount, valueFlags, who);
    s.entries.push_back(std::move(entry));
  }
  if (s.version == 6) CheckHashTable(r, s);
  if (damage > kDamageListed)
    an.AtOffset(area, data.Base(), lang::Say(language, M::ApiMoreProblems, {damage - kDamageListed}));
  return s;
}

ApiSetSchema ParseApiSetSchema(const pe::Context& ctx, pe::Area area) {
  for (const pe::Section& sec : ctx.h.sections) {
    if (sec.name != ".apiset") continue;
    auto view = ctx.map.View(sec.virtualAddress);
    if (!view) {
      ctx.an.AtRva(area, sec.virtualAddress, lang::Say(ctx.options.lang, M::ApiSectionNotBacked));
      return {};
    }
    // The schema is what the section holds as mapped; its zero fill is no part of it.
    std::uint64_t len = std::min<std::uint64_t>(view->Size(), sec.virtualSize != 0 ? sec.virtualSize : view->Size());
    return ReadApiSetSchema(*view->Sub(0, len), ctx.an, area, ctx.budget, ctx.options.lang);
  }
  ctx.an.Note(area, lang::Say(ctx.options.lang, M::ApiNoSection));
  return {};
}

std::string Narrow(const ApiSetSchema& s, WideName n) {
  std::string out;
  out.reserve(n.length / 2);
  for (std::uint32_t i = 0; i + 1 < n.length; i += 2) {
    std::uint16_t c = s.data.U16(std::uint64_t{n.offset} + i).value_or(0);
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return out;
}

std::string ContractName(const ApiSetSchema& s, const ApiSetEntry& e) {
  std::string name = Narrow(s, e.name);
  for (char& ch : name) ch = Lower(ch);
  if (s.version != 6 && !IsContractName(name)) name = "api-" + name;
  return name;
}

bool IsContractName(std::string_view dll) {
  if (dll.size() <= 4) return false;
  std::string p;
  for (std::size_t i = 0; i < 4; ++i) p.push_back(Lower(dll[i]));
  return p == "api-" || p == "ext-";
}

ApiSetHit ResolveApiSet(const ApiSetSchema& s, std::string_view dll, std::string_view importer) {
  ApiSetHit hit;
  if (!IsContractName(dll)) return hit;
  hit.kind = ApiSetHit::Kind::Unknown;
  if (!s.present) return hit;
  const std::size_t dot = std::min(dll.find('.'), dll.size());
  const ApiSetEntry* found = nullptr;
  if (s.version == 6) {
    // The hash covers the name up to its last hyphen: the minor version is left
    // out, so any minor version of a contract finds the entry.
    std::size_t hashLen = 0;
    for (std::size_t i = 0; i < dot; ++i)
      if (dll[i] == '-') hashLen = i;
    std::uint32_t hash = 0;
    for (std::size_t i = 0; i < hashLen; ++i)
      hash = hash * s.hashFactor + static_cast<std::uint8_t>(Lower(dll[i]));
    std::int64_t lo = 0, hi = static_cast<std::int64_t>(s.count) - 1;
    while (lo <= hi) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      auto h = s.data.U32(s.hashOffset + static_cast<std::uint64_t>(mid) * 8);
      auto index = s.data.U32(s.hashOffset + static_cast<std::uint64_t>(mid) * 8 + 4);
      if (!h || !index) break;
      if (*h < hash) {
        lo = mid + 1;
      } else if (*h > hash) {
        hi = mid - 1;
      } else {
        if (*index < s.entries.size()) {
          const ApiSetEntry& e = s.entries[*index];
          if (e.hashedLength == hashLen * 2 && UnitsEqual(s, e.name, dll, hashLen)) {
            found = &e;
            hit.entry = *index;
          }
        }
        break;
      }
    }
  } else {
    // The older layouts hold the name after its four-letter prefix, whole, in
    // ascending order, and the loader searches them by halves.
    const std::string_view key = dll.substr(4, dot - 4);
    std::int64_t lo = 0, hi = static_cast<std::int64_t>(s.entries.size()) - 1;
    while (lo <= hi) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      const int c = Compare(s, s.entries[static_cast<std::size_t>(mid)].name, key);
      if (c == 0) {
        found = &s.entries[static_cast<std::size_t>(mid)];
        hit.entry = static_cast<std::uint32_t>(mid);
        break;
      }
      if (c < 0) lo = mid + 1;
      else hi = mid - 1;
    }
  }
  if (found == nullptr) return hit;
  if (found->values.empty()) {
    hit.kind = ApiSetHit::Kind::NoHost;
    return hit;
  }
  // Value 0 is the default; the others name one importer each.
  const ApiSetValue* value = &found->values[0];
  if (!importer.empty()) {
    for (std::size_t i = 1; i < found->values.size(); ++i) {
      if (NameIs(s, found->values[i].importer, importer)) {
        value = &found->values[i];
        hit.exception = true;
        break;
      }
    }
  }
  if (value->host.Empty()) {
    hit.kind = ApiSetHit::Kind::NoHost;
    return hit;
  }
  hit.kind = ApiSetHit::Kind::Host;
  hit.host = Narrow(s, value->host);
  return hit;
}

}  // namespace kestrova::dumper::system
