// Which scheme a name is in, from its first characters, and the two schemes
// that need little code of their own: the C decorations and, through the C++
// runtime that both builds carry, the GNU compilers' names.
#include "dumper/demangle/Demangle.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

namespace kestrova::dumper::demangle {

namespace {

bool Identifier(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
          c == '?'))
      return false;
  return !(s[0] >= '0' && s[0] <= '9');
}

// The decimal after the last '@', when it is one and plausible as a byte count.
std::optional<unsigned> ArgumentBytes(std::string_view s, std::size_t at) {
  std::string_view d = s.substr(at + 1);
  if (d.empty() || d.size() > 4) return std::nullopt;
  unsigned v = 0;
  for (char c : d) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v;
}

std::string Decorated(const char* cc, std::string_view name, unsigned bytes) {
  std::string r = cc;
  r += ' ';
  r += name;
  r += " (" + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + " of arguments)";
  return r;
}

}  // namespace

std::optional<std::string> DemangleCDecoration(std::string_view name, bool x86) {
  std::size_t at = name.rfind('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  std::optional<unsigned> bytes = ArgumentBytes(name, at);
  if (!bytes) return std::nullopt;
  if (at >= 2 && name[at - 1] == '@' && Identifier(name.substr(0, at - 1)))
    return Decorated("__vectorcall", name.substr(0, at - 1), *bytes);
  if (!x86 || *bytes % 4 != 0) return std::nullopt;
  if (name[0] == '@' && Identifier(name.substr(1, at - 1))) return Decorated("__fastcall", name.substr(1, at - 1), *bytes);
  // The leading underscore is the decoration's; linkers that drop it leave "name@8".
  if (name[0] == '_' && Identifier(name.substr(1, at - 1))) return Decorated("__stdcall", name.substr(1, at - 1), *bytes);
  if (Identifier(name.substr(0, at))) return Decorated("__stdcall", name.substr(0, at), *bytes);
  return std::nullopt;
}

namespace {

// A GNU-mangled C++ function with a 32-bit convention's decoration:
// "_ZN1A1fEi@8" (stdcall), "@_ZN1A1fEi@8" (fastcall).
std::optional<std::string> DecoratedItanium(std::string_view name, bool x86) {
  std::size_t at = name.rfind('@');
  if (!x86 || at == std::string_view::npos || at == 0) return std::nullopt;
  std::optional<unsigned> bytes = ArgumentBytes(name, at);
  if (!bytes || *bytes % 4 != 0) return std::nullopt;
  bool fast = name[0] == '@';
  std::optional<std::string> inner = DemangleItanium(name.substr(fast ? 1 : 0, at - (fast ? 1 : 0)));
  if (!inner) return std::nullopt;
  return Decorated(fast ? "__fastcall" : "__stdcall", *inner, *bytes);
}

}  // namespace

std::optional<std::string> DemangleItanium(std::string_view name) {
  if (name.size() < 3 || name.size() > kMaxInput || name.substr(0, 2) != "_Z") return std::nullopt;
  // The runtime wants a terminated string and would read past an embedded NUL's meaning.
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  std::string z(name);
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(z.c_str(), nullptr, nullptr, &status), std::free);
  if (status != 0 || !out) return std::nullopt;
  std::string r(out.get());
  if (r.empty() || r.size() > kMaxOutput) return std::nullopt;
  return r;
}

Result Demangle(std::string_view name, bool x86) {
  Result r;
  if (name.size() < 2 || name.size() > kMaxInput) return r;
  std::optional<std::string> text;
  Scheme scheme = Scheme::None;
  if (name[0] == '?') {
    text = DemangleMicrosoft(name);
    scheme = Scheme::Microsoft;
  } else if ((name[0] == '_' && name[1] == 'Z') || (name[0] == '@' && name.substr(1, 2) == "_Z")) {
    text = DemangleItanium(name);
    if (!text) text = DecoratedItanium(name, x86);
    scheme = Scheme::Itanium;
  } else if ((text = DemangleCDecoration(name, x86))) {
    scheme = Scheme::Microsoft;
  } else if (name[0] == '@') {
    text = DemangleBorland(name);
    scheme = Scheme::Borland;
  }
  if (text && !text->empty()) {
    r.scheme = scheme;
    r.text = std::move(*text);
  }
  return r;
}

}  // namespace kestrova::dumper::demangle
