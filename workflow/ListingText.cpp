#include "workflow/ListingText.h"

#include <cstdint>

namespace kestrova::workflow {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

std::u16string DecodeUtf16(const Bytes& bytes, std::size_t from, bool bigEndian) {
  std::u16string out;
  out.reserve((bytes.size() - from) / 2);
  std::size_t i = from;
  for (; i + 1 < bytes.size(); i += 2) {
    const unsigned hi = bigEndian ? bytes[i] : bytes[i + 1];
    const unsigned lo = bigEndian ? bytes[i + 1] : bytes[i];
    out.push_back(static_cast<char16_t>((hi << 8) | lo));
  }
  if (i < bytes.size()) out.push_back(kReplacement);  // a dangling odd byte
  return out;
}

}  // namespace

std::u16string DecodeUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned b0 = at(i);
    if (b0 < 0x80) {
      out.push_back(static_cast<char16_t>(b0));
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    bool good = len != 0 && bytes.size() - i >= len;
    for (std::size_t k = 1; good && k < len; ++k) {
      const unsigned b = at(i + k);
      if ((b & 0xC0) != 0x80) good = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (good && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) good = false;
    if (!good) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    AppendCodePoint(out, cp);
    i += len;
  }
  return out;
}

std::u16string NormalizeLineBreaks(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r') {
      if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      out += u"\r\n";
    } else if (c == u'\n') {
      out += u"\r\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::u16string DecodeListing(const Bytes& bytes, Platform& platform) {
  const auto starts = [&](std::initializer_list<std::uint8_t> mark) {
    if (bytes.size() < mark.size()) return false;
    std::size_t k = 0;
    for (const auto b : mark) {
      if (bytes[k++] != b) return false;
    }
    return true;
  };
  std::u16string text;
  if (starts({0xEF, 0xBB, 0xBF})) {
    text = DecodeUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()) + 3,
                                       bytes.size() - 3));
  } else if (starts({0xFF, 0xFE})) {
    text = DecodeUtf16(bytes, 2, false);
  } else if (starts({0xFE, 0xFF})) {
    text = DecodeUtf16(bytes, 2, true);
  } else {
    text = platform.Decode(platform.AnsiCodePage(),
                           std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                            bytes.size()));
  }
  return NormalizeLineBreaks(text);
}

std::vector<PartLine> ListingParts(std::u16string_view text) {
  std::vector<PartLine> parts;
  std::size_t line = 0;
  for (std::size_t at = 0; at < text.size(); ++line) {
    std::size_t end = text.find(u'\n', at);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view l = text.substr(at, end - at);
    if (!l.empty() && l.back() == u'\r') l.remove_suffix(1);
    if (l.size() > 6 && l.substr(0, 3) == u"== " && l.substr(l.size() - 3) == u" ==")
      parts.push_back({std::u16string(l.substr(3, l.size() - 6)), at, line});
    at = end + 1;
  }
  return parts;
}

}  // namespace kestrova::workflow
