// JSON Lines: keys and values are written, layout is not. Scopes are tracked so
// that a cut part, or one whose printer returned early, still closes.
#include "dumper/print/json/JsonPrinter.h"

#include <algorithm>

#include "dumper/io/Format.h"
#include "dumper/print/Encoding.h"

namespace kestrova::dumper::print {

namespace {
// Integers above this lose precision in a double, and so in most JSON readers.
constexpr std::uint64_t kMaxExact = std::uint64_t{1} << 53;
}  // namespace

int JsonPrinter::Head(Key k, char* out) {
  if (k.size() == 1 && k[0] == kNoKey[0]) return -1;
  const bool inList = !scopes_.empty() && scopes_.back().list;
  if (k.empty() && !inList) {
    if (pending_.empty()) return -1;
    k = pending_;
    pending_ = {};
    if (k.size() == 1 && k[0] == kNoKey[0]) return -1;  // a label that keys nothing
  }
  if (!scopes_.empty() && scopes_.back().dropped) return -1;
  if (Exhausted()) {
    cut_ = true;
    return -1;
  }
  bool comma = false;
  if (!scopes_.empty()) {
    comma = scopes_.back().any;
    scopes_.back().any = true;
  }
  char* p = out;
  if (comma) *p++ = ',';
  if (inList) return static_cast<int>(p - out);
  if (k.size() + 4 > static_cast<std::size_t>(kHead)) {
    buf_.append(out, static_cast<std::size_t>(p - out));
    buf_ += '"';
    buf_.append(k);
    buf_.append("\":");
    return 0;
  }
  *p++ = '"';
  p = std::copy(k.begin(), k.end(), p);  // keys are our own ASCII words
  *p++ = '"';
  *p++ = ':';
  return static_cast<int>(p - out);
}

bool JsonPrinter::Member(Key k) {
  char head[kHead];
  const int n = Head(k, head);
  if (n < 0) return false;
  buf_.append(head, static_cast<std::size_t>(n));
  return true;
}

void JsonPrinter::NumberMember(Key k, std::uint64_t v) {
  char tmp[kHead + 24];
  const int n = Head(k, tmp);
  if (n < 0) return;
  char* e = tmp + n;
  if (v >= kMaxExact) {
    *e++ = '"';
    e = io::PutHex(e, v, 0);
    *e++ = '"';
  } else {
    e = io::PutDec(e, v);
  }
  buf_.append(tmp, static_cast<std::size_t>(e - tmp));
}

bool JsonPrinter::OpenMember(Key k, char bracket) {
  char tmp[kHead + 1];
  const int n = Head(k, tmp);
  if (n < 0) return false;
  tmp[n] = bracket;
  buf_.append(tmp, static_cast<std::size_t>(n) + 1);
  return true;
}

// Valid UTF-8 as it is; each byte that is not, as the lone surrogate U+DC00 +
// byte (Python's "surrogateescape"), so the bytes can be had back exactly.
void JsonPrinter::String(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  buf_.push_back('"');
  std::size_t i = 0;
  auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; };
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (plain(c)) {  // a run of plain ASCII, most names whole, in one append
      std::size_t end = i + 1;
      while (end < s.size() && plain(static_cast<unsigned char>(s[end]))) ++end;
      buf_.append(s.data() + i, end - i);
      i = end;
      continue;
    }
    if (c == '"' || c == '\\') {
      buf_.push_back('\\');
      buf_.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (c >= 0x80) {
      std::uint32_t cp = 0;
      if (std::size_t n = Utf8Len(s, i, cp); n != 0) {
        buf_.append(s.data() + i, n);
        i += n;
        continue;
      }
    }
    const unsigned u = c < 0x80 ? c : 0xDC00u + c;
    buf_.append("\\u");
    buf_.push_back(kHex[(u >> 12) & 0xF]);
    buf_.push_back(kHex[(u >> 8) & 0xF]);
    buf_.push_back(kHex[(u >> 4) & 0xF]);
    buf_.push_back(kHex[u & 0xF]);
    ++i;
  }
  buf_.push_back('"');
}

Printer& JsonPrinter::Label(std::string_view label, Key key) {
  if (key.empty()) key = label.substr(0, label.find(' '));
  pending_ = key;
  return *this;
}

Printer& JsonPrinter::Hex(Key k, std::uint64_t v, int) {
  NumberMember(k, v);
  return *this;
}

Printer& JsonPrinter::Dec(Key k, std::uint64_t v) {
  NumberMember(k, v);
  return *this;
}

Printer& JsonPrinter::Name(Key k, std::string_view bytes) {
  if (Member(k)) String(bytes);
  return *this;
}

Printer& JsonPrinter::Word(Key k, std::string_view, std::string_view json) {
  if (Member(k)) String(json);
  return *this;
}

Printer& JsonPrinter::Real(Key k, std::string_view, std::string_view number) {
  if (Member(k)) buf_.append(number.empty() ? std::string_view("null") : number);
  return *this;
}

Printer& JsonPrinter::Fact(Key k, bool v) {
  if (Member(k)) buf_.append(v ? "true" : "false");
  return *this;
}

Printer& JsonPrinter::Date(Key k, std::uint32_t t) {
  if (!Member(k)) return *this;
  const CivilTime c = Civil(t);
  char tmp[32];
  char* p = io::PutDec(tmp, static_cast<std::uint64_t>(c.year));
  auto two = [&](char sep, int v) {
    *p++ = sep;
    *p++ = static_cast<char>('0' + v / 10);
    *p++ = static_cast<char>('0' + v % 10);
  };
  two('-', c.month);
  two('-', c.day);
  two('T', c.hour);
  two(':', c.minute);
  two(':', c.second);
  *p++ = 'Z';
  buf_.push_back('"');
  buf_.append(tmp, static_cast<std::size_t>(p - tmp));
  buf_.push_back('"');
  return *this;
}

void JsonPrinter::Open(Key k) {
  const bool dropped = !OpenMember(k.empty() && !(scopes_.empty() || scopes_.back().list) ? Key("?") : k, '{');
  scopes_.push_back({false, false, dropped});
}

void JsonPrinter::OpenList(Key k) {
  const bool dropped = !OpenMember(k.empty() && !(scopes_.empty() || scopes_.back().list) ? Key("?") : k, '[');
  scopes_.push_back({true, false, dropped});
}

void JsonPrinter::Close() {
  if (scopes_.empty()) return;
  const Scope s = scopes_.back();
  scopes_.pop_back();
  if (!s.dropped) buf_.push_back(s.list ? ']' : '}');
  pending_ = {};
  // A part's records go out in chunks, as the listing's lines do, not held whole.
  if (buf_.size() >= kChunk) Flush();
}

void JsonPrinter::BeginDocument() {
  scopes_.clear();
  buf_.append("{\"schema\":1");
  scopes_.push_back({false, true, false});
}

void JsonPrinter::EndDocument() {
  while (!scopes_.empty()) Close();
  buf_.push_back('\n');
  Flush();
}

void JsonPrinter::OpenPart(Key id, std::string_view) {
  partDepth_ = scopes_.size();
  Open(id);
}

void JsonPrinter::ClosePart() {
  // A printer that returned inside a scope of its own leaves it to us.
  while (scopes_.size() > partDepth_) Close();
}

}  // namespace kestrova::dumper::print
