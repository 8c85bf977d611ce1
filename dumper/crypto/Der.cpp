#include "dumper/crypto/Der.h"

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Certificates.h"

namespace kestrova::dumper::der {

namespace M = lang::M;

namespace {

// Octets of a length beyond which no element of a file can be real.
constexpr std::uint64_t kMaxLengthOctets = 8;
// Longest OID content read: real ones are under 30 octets.
constexpr std::uint64_t kMaxOidOctets = 128;

void PutUtf8(std::string& out, std::uint32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, int& v) {
  v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  return true;
}

void Put2(std::string& out, int v) {
  out += static_cast<char>('0' + v / 10 % 10);
  out += static_cast<char>('0' + v % 10);
}

}  // namespace

std::string TagName(std::uint8_t id, lang::Lang l) {
  switch (id) {
    case kBoolean: return "BOOLEAN";
    case kInteger: return "INTEGER";
    case kBitString: return "BIT STRING";
    case kOctetString: return "OCTET STRING";
    case kNull: return "NULL";
    case kOid: return "OBJECT IDENTIFIER";
    case kUtf8String: return "UTF8String";
    case kPrintableString: return "PrintableString";
    case kIa5String: return "IA5String";
    case kUtcTime: return "UTCTime";
    case kGeneralizedTime: return "GeneralizedTime";
    case kBmpString: return "BMPString";
    case kSequence: return "SEQUENCE";
    case kSet: return "SET";
    default: break;
  }
  if ((id & 0xC0) == 0x80 && (id & 0x1F) != 0x1F)
    return (id & 0x20) != 0 ? "[" + io::Dec(id & 0x1Fu) + "]" : lang::Say(l, M::DerTagPrimitive, {id & 0x1Fu});
  return lang::Say(l, M::DerTagOther, {io::Hex(id, 2)});
}

std::optional<Element> Reader::Peek(std::uint64_t& next) const {
  const std::uint64_t off = pos_;
  const std::uint64_t at = data_.Base() + off;
  const lang::Lang l = Language();
  auto cut = [&] {
    Fail(Fault::kCut, at, lang::Say(l, M::DerCut));
    return std::nullopt;
  };
  auto id = data_.U8(off);
  if (!id) return cut();
  std::uint64_t p = off + 1;
  std::uint32_t number = *id & 0x1Fu;
  if (number == 0x1F) {
    number = 0;
    for (int i = 0;; ++i) {
      auto b = data_.U8(p++);
      if (!b) return cut();
      if (i == 0 && *b == 0x80) {
        Fail(Fault::kOverlong, at, lang::Say(l, M::DerTagOverlong));
        return std::nullopt;
      }
      if (i == 4) {
        Fail(Fault::kHugeLength, at, lang::Say(l, M::DerTagTooLarge));
        return std::nullopt;
      }
      number = (number << 7) | (*b & 0x7Fu);
      if ((*b & 0x80) == 0) break;
    }
    if (number < 0x1F) {
      Fail(Fault::kOverlong, at, lang::Say(l, M::DerTagLongForm, {number}));
      return std::nullopt;
    }
  }
  auto first = data_.U8(p++);
  if (!first) return cut();
  std::uint64_t len = *first;
  if (*first == 0x80) {
    Fail(Fault::kIndefinite, at, lang::Say(l, M::DerIndefinite, {TagName(*id, l)}));
    return std::nullopt;
  }
  if (*first > 0x80) {
    const std::uint64_t n = *first & 0x7Fu;
    if (n > kMaxLengthOctets) {
      Fail(Fault::kHugeLength, at, lang::Say(l, M::DerLengthOctets, {TagName(*id, l), n}));
      return std::nullopt;
    }
    len = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      auto b = data_.U8(p++);
      if (!b) return cut();
      if (i == 0 && *b == 0) {
        Fail(Fault::kOverlong, at, lang::Say(l, M::DerLengthLeadingZero, {TagName(*id, l)}));
        return std::nullopt;
      }
      len = (len << 8) | *b;
    }
    if (len < 0x80) {
      Fail(Fault::kOverlong, at, lang::Say(l, M::DerLengthLongForm, {TagName(*id, l), len}));
      return std::nullopt;
    }
  }
  const std::uint64_t header = p - off;
  if (!data_.Has(p, len)) {
    const std::uint64_t left = data_.Size() - p;
    Fail(Fault::kPastParent, at,
         lang::Say(l, depth_ == 0 ? M::DerPastData : M::DerPastParent, {TagName(*id, l), len, left}));
    return std::nullopt;
  }
  Element e;
  e.id = *id;
  e.number = number;
  e.offset = at;
  e.headerSize = header;
  e.body = *data_.Sub(p, len);
  e.whole = *data_.Sub(off, header + len);
  next = p + len;
  return e;
}

std::optional<Element> Reader::Next() {
  if (AtEnd()) return std::nullopt;
  std::uint64_t next = 0;
  auto e = Peek(next);
  if (e) pos_ = next;
  return e;
}

std::optional<Element> Reader::Expect(std::uint8_t tag, lang::Msg what) {
  if (!ok()) return std::nullopt;
  const lang::Lang l = Language();
  if (pos_ >= data_.Size()) {
    Fail(Fault::kUnexpected, data_.Base() + pos_, lang::Say(l, M::DerExpectedEnd, {TagName(tag, l), lang::Text(what, l)}));
    return std::nullopt;
  }
  std::uint64_t next = 0;
  auto e = Peek(next);
  if (!e) return std::nullopt;
  if (e->id != tag) {
    Fail(Fault::kUnexpected, e->offset,
         lang::Say(l, M::DerExpected, {TagName(tag, l), lang::Text(what, l), TagName(e->id, l)}));
    return std::nullopt;
  }
  pos_ = next;
  return e;
}

std::optional<Element> Reader::Optional(std::uint8_t tag) {
  if (AtEnd()) return std::nullopt;
  std::uint64_t next = 0;
  auto e = Peek(next);
  if (!e || e->id != tag) return std::nullopt;
  pos_ = next;
  return e;
}

Reader Reader::Enter(const Element& e) const {
  Reader inner(e.body, *status_, depth_ + 1);
  if (!e.Constructed()) {
    Fail(Fault::kUnexpected, e.offset, lang::Say(Language(), M::DerNotConstructed, {TagName(e.id, Language())}));
    inner.pos_ = e.body.Size();
  } else if (depth_ + 1 > kMaxDepth) {
    Fail(Fault::kTooDeep, e.offset, lang::Say(Language(), M::DerTooDeep, {kMaxDepth}));
  }
  return inner;
}

std::optional<std::string> Oid(const Reader& r, const Element& e) {
  const auto b = e.body.Bytes();
  if (b.empty() || b.size() > kMaxOidOctets || (b.back() & 0x80) != 0) {
    r.Fail(Fault::kBadValue, e.offset, lang::Say(r.Language(), M::DerOidBad));
    return std::nullopt;
  }
  std::string out;
  std::uint64_t v = 0;
  bool firstArc = true, start = true;
  for (std::uint8_t c : b) {
    if (start && c == 0x80) {
      r.Fail(Fault::kOverlong, e.offset, lang::Say(r.Language(), M::DerOidOverlong));
      return std::nullopt;
    }
    if (v > (UINT64_MAX >> 7)) {
      r.Fail(Fault::kBadValue, e.offset, lang::Say(r.Language(), M::DerOidHuge));
      return std::nullopt;
    }
    v = (v << 7) | (c & 0x7Fu);
    start = (c & 0x80) == 0;
    if (!start) continue;
    if (firstArc) {
      std::uint64_t top = v < 40 ? 0 : v < 80 ? 1 : 2;
      out = io::Dec(top) + "." + io::Dec(v - 40 * top);
      firstArc = false;
    } else {
      out += "." + io::Dec(v);
    }
    v = 0;
  }
  return out;
}

std::optional<std::uint64_t> SmallInt(const Reader& r, const Element& e) {
  const auto b = e.body.Bytes();
  if (b.empty() || (b[0] & 0x80) != 0 || b.size() > 9 || (b.size() == 9 && b[0] != 0)) {
    r.Fail(Fault::kBadValue, e.offset, lang::Say(r.Language(), M::DerBadVersion));
    return std::nullopt;
  }
  std::uint64_t v = 0;
  for (std::uint8_t c : b) v = (v << 8) | c;
  return v;
}

io::Reader Unsigned(const Element& e) {
  if (e.body.Size() > 1 && e.body.U8(0) == 0) return e.body.From(1);
  return e.body;
}

std::optional<std::string> Time(const Reader& r, const Element& e) {
  auto raw = e.body.Bytes();
  std::string_view s(reinterpret_cast<const char*>(raw.data()), raw.size());
  int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
  std::size_t at = 0;
  bool good = false;
  std::string_view frac;
  if (e.id == kUtcTime) {
    good = s.size() == 13 && Digits(s, 0, 2, year) && s[12] == 'Z';
    year += year < 50 ? 2000 : 1900;
    at = 2;
  } else if (e.id == kGeneralizedTime) {
    good = s.size() >= 15 && Digits(s, 0, 4, year) && s.back() == 'Z';
    at = 4;
    if (good && s.size() > 15) {
      frac = s.substr(14, s.size() - 15);
      good = frac.size() >= 2 && frac.size() <= 10 && frac[0] == '.';
      for (std::size_t i = 1; good && i < frac.size(); ++i) good = frac[i] >= '0' && frac[i] <= '9';
    }
  }
  good = good && Digits(s, at, 2, mon) && Digits(s, at + 2, 2, day) && Digits(s, at + 4, 2, hour) &&
         Digits(s, at + 6, 2, min) && Digits(s, at + 8, 2, sec) && mon >= 1 && mon <= 12 && day >= 1 &&
         day <= 31 && hour < 24 && min < 60 && sec < 61;
  if (!good) {
    r.Fail(Fault::kBadValue, e.offset, lang::Say(r.Language(), M::DerBadTime, {TagName(e.id, r.Language())}));
    return std::nullopt;
  }
  std::string out = io::Dec(static_cast<std::uint64_t>(year));
  out += '-';
  Put2(out, mon);
  out += '-';
  Put2(out, day);
  out += ' ';
  Put2(out, hour);
  out += ':';
  Put2(out, min);
  out += ':';
  Put2(out, sec);
  out += frac;
  out += " UTC";
  return out;
}

std::optional<std::string> Text(const Reader& r, const Element& e) {
  auto b = e.body.Bytes();
  std::string out;
  switch (e.id) {
    case kUtf8String:
    case kPrintableString:
    case kIa5String:
    case 0x12:  // NumericString
    case 0x1A:  // VisibleString
      return std::string(reinterpret_cast<const char*>(b.data()), b.size());
    case kT61String:
      for (std::uint8_t c : b) PutUtf8(out, c);
      return out;
    case kBmpString:
      if (b.size() % 2 != 0) break;
      for (std::size_t i = 0; i < b.size(); i += 2) {
        std::uint32_t c = (std::uint32_t{b[i]} << 8) | b[i + 1];
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < b.size()) {
          std::uint32_t lo = (std::uint32_t{b[i + 2]} << 8) | b[i + 3];
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
          }
        }
        PutUtf8(out, c);
      }
      return out;
    case kUniversalString:
      if (b.size() % 4 != 0) break;
      for (std::size_t i = 0; i < b.size(); i += 4)
        PutUtf8(out, (std::uint32_t{b[i]} << 24) | (std::uint32_t{b[i + 1]} << 16) | (std::uint32_t{b[i + 2]} << 8) |
                         b[i + 3]);
      return out;
    default:
      r.Fail(Fault::kUnexpected, e.offset, lang::Say(r.Language(), M::DerExpectedString, {TagName(e.id, r.Language())}));
      return std::nullopt;
  }
  r.Fail(Fault::kBadValue, e.offset, lang::Say(r.Language(), M::DerPartialChars, {TagName(e.id, r.Language())}));
  return std::nullopt;
}

}  // namespace kestrova::dumper::der
