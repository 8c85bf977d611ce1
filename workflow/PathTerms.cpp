#include "workflow/PathTerms.h"

namespace kestrova::workflow {
namespace {

std::size_t AfterLastSeparator(std::u16string_view path) {
  const auto at = path.find_last_of(u"\\:");
  return at == std::u16string_view::npos ? 0 : at + 1;
}

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

}  // namespace

std::u16string DirectoryPart(std::u16string_view path) {
  return std::u16string(path.substr(0, AfterLastSeparator(path)));
}

std::u16string NamePart(std::u16string_view path) {
  return std::u16string(path.substr(AfterLastSeparator(path)));
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::u16string FromAscii(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::u16string Decimal(std::uint64_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

}  // namespace kestrova::workflow
