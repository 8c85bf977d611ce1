#pragma once
// Readable forms of mangled C++ names. One entry point picks the scheme from
// the name's first characters; each scheme returns the readable text or
// nothing, and nothing is also the answer for every name it is not sure of:
// a wrong readable form is worse than the raw one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::dumper::demangle {

enum class Scheme : std::uint8_t {
  None,
  Microsoft,  // "?name@@...", and the 32-bit C decorations "_name@8", "@name@8"
  Itanium,    // "_Z...", the GNU compilers' scheme
  Borland,    // "@Unit@Class@Method$q...", Pascal and C++ compilers for Windows
  Count
};

// Bounds every scheme holds to, whatever the name: a name longer than
// kMaxInput, nested deeper than kMaxDepth or reading longer than kMaxOutput
// stays raw.
inline constexpr std::size_t kMaxInput = 4096;
inline constexpr int kMaxDepth = 64;
inline constexpr std::size_t kMaxOutput = 8192;

struct Result {
  Scheme scheme = Scheme::None;
  std::string text;  // empty when the name stays raw
};

// `x86`: the name comes from a 32-bit x86 image, where plain C functions carry
// the stdcall and fastcall decorations.
Result Demangle(std::string_view name, bool x86);

// The schemes one by one, for the table tests and the cross-checks.
std::optional<std::string> DemangleMicrosoft(std::string_view name);
std::optional<std::string> DemangleItanium(std::string_view name);
std::optional<std::string> DemangleBorland(std::string_view name);
// "_name@8" and "@name@8" (and "name@@8", vectorcall, in any image).
std::optional<std::string> DemangleCDecoration(std::string_view name, bool x86);

}  // namespace kestrova::dumper::demangle
