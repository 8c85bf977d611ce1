// Readable forms of mangled names beside the raw ones, and their tally.
#include "dumper/demangle/Demangle.h"
#include "dumper/print/Printers.h"
#include "dumper/lang/catalog/Common.h"

namespace kestrova::dumper::print {

namespace {
constexpr std::uint16_t kMachineI386 = 0x014C;
}  // namespace

void Readable(Printer& o, std::string_view name, const pe::Context& ctx) {
  if (!ctx.options.demangle || name.size() < 2) return;
  // Most names are plain C: skip them before any work.
  char c = name[0];
  if (c != '?' && c != '_' && c != '@' && name.find('@') == std::string_view::npos) return;
  demangle::Result r = demangle::Demangle(name, ctx.h.coff.machine == kMachineI386);
  if (r.scheme == demangle::Scheme::None) return;
  ++o.readable[static_cast<std::size_t>(r.scheme)];
  o.Say(lang::M::ReadableSep).Name("readable", r.text);
}

// How many names were shown readable, by scheme; nothing when none were.
void PrintReadableTally(Printer& o) {
  std::uint64_t total = 0;
  for (std::uint64_t n : o.readable) total += n;
  if (total == 0) return;
  o.Nl();
  o.Text("== ").Say(lang::M::TitleDemangled).Text(" ==");
  o.Nl();
  Scoped tally(o, Scoped::kObject, "demangled");
  auto line = [&](demangle::Scheme s, lang::Msg label, Key key) {
    Field(o, label, key).Dec(o.readable[static_cast<std::size_t>(s)]);
    o.Nl();
  };
  line(demangle::Scheme::Microsoft, lang::M::DemangledMicrosoft, "microsoft");
  line(demangle::Scheme::Itanium, lang::M::DemangledItanium, "itanium");
  line(demangle::Scheme::Borland, lang::M::DemangledBorland, "borland");
}

}  // namespace kestrova::dumper::print
