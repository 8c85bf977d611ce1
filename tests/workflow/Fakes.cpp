#include "tests/workflow/Fakes.h"

#include "workflow/ListingText.h"
#include "workflow/PathTerms.h"

namespace kestrova::testing {
namespace {

// A few characters of each code page are enough for the tests.
struct Mapping {
  char16_t ch;
  const char* bytes;
};
constexpr Mapping k936[] = {{u'中', "\xD6\xD0"}, {u'文', "\xCE\xC4"}, {u'测', "\xB2\xE2"},
                            {u'试', "\xCA\xD4"}, {u'表', "\xB1\xED"}};
constexpr Mapping k1252[] = {{u'é', "\xE9"}, {u'ü', "\xFC"}, {u'€', "\x80"}};
constexpr Mapping k437[] = {{u'é', "\x82"}, {u'ü', "\x81"}};

template <std::size_t N>
const Mapping* Table(const Mapping (&t)[N], std::size_t& n) {
  n = N;
  return t;
}

const Mapping* TableFor(unsigned cp, std::size_t& n) {
  switch (cp) {
    case 936: return Table(k936, n);
    case 1252: return Table(k1252, n);
    case 437: return Table(k437, n);
    default: n = 0; return nullptr;
  }
}

std::string EncodeUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace

Encoded FakePlatform::Encode(unsigned cp, std::u16string_view text) {
  if (cp == 65001) return {EncodeUtf8(text), false};
  std::size_t n = 0;
  const Mapping* table = TableFor(cp, n);
  Encoded out;
  for (const char16_t c : text) {
    if (c < 0x80) {
      out.bytes += static_cast<char>(c);
      continue;
    }
    bool found = false;
    for (std::size_t i = 0; i < n && !found; ++i) {
      if (table[i].ch == c) {
        out.bytes += table[i].bytes;
        found = true;
      }
    }
    if (!found) {
      out.bytes += '?';
      out.lossy = true;
    }
  }
  return out;
}

std::u16string FakePlatform::Decode(unsigned cp, std::string_view bytes) {
  if (cp == 65001) return workflow::DecodeUtf8(bytes);
  std::size_t n = 0;
  const Mapping* table = TableFor(cp, n);
  std::u16string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out += static_cast<char16_t>(bytes[i++]);
      continue;
    }
    bool found = false;
    for (std::size_t k = 0; k < n && !found; ++k) {
      const std::string_view seq(table[k].bytes);
      if (bytes.substr(i, seq.size()) == seq) {
        out += table[k].ch;
        i += seq.size();
        found = true;
      }
    }
    if (!found) {
      out += u'?';
      ++i;
    }
  }
  return out;
}

bool RunLastScript(FakePlatform& platform, std::string_view listing) {
  if (platform.shell.empty()) return false;
  const std::u16string script = platform.shell.back().file;
  if (!platform.IsFile(script)) return false;
  const Bytes& bytes = platform.FileBytes(script);
  // cmd reads the script in the OEM code page.
  const std::u16string line =
      platform.Decode(platform.oem, std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                     bytes.size()));
  const std::u16string head = u"tdump.exe ";
  const auto redirect = line.find(u" > ");
  if (line.rfind(head, 0) != 0 || redirect == std::u16string::npos || line.size() < 2 ||
      line.substr(line.size() - 2) != u"\r\n") {
    return false;
  }
  const std::u16string dir = workflow::DirectoryPart(script);
  const std::u16string input = line.substr(head.size(), redirect - head.size());
  const std::u16string output = line.substr(redirect + 3, line.size() - 2 - redirect - 3);
  if (!platform.IsFile(dir + u"tdump.exe")) return false;
  platform.AddFile(dir + output, ToBytes(listing));
  return platform.IsFile(dir + input);
}

}  // namespace kestrova::testing
