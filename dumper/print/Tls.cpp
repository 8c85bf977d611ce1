// The TLS directory: its callbacks first, since they run before the entry point,
// then the directory's fields.
#include "dumper/io/Format.h"
#include "dumper/pe/Tls.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Tls.h"

namespace kestrova::dumper::print {

void PrintTls(Printer& o, const pe::TlsDirectory& t, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

void PrintTls(Printer& o, const TlsDirectory& t, const Context& ctx) {
  if (!t.present) return;
  const bool wide = ctx.h.opt.pe32plus;
  // The count is the rows'.
  Field(o, M::TlsCallbacks, "Callbacks").Dec(kNoKey, t.callbacks);
  if (t.callbacks != 0) o.Say(t.callbacks == 1 ? M::TlsRunsBeforeEntryOne : M::TlsRunsBeforeEntryMany);
  o.Nl();
  {
    Scoped rows(o, Scoped::kList, "callbacks");
    for (std::uint32_t i = 0; i < t.callbacks && !o.Exhausted(); ++i) {
      TlsCallback c = TlsCallbackAt(ctx, t, i);
      Scoped row(o, Scoped::kObject, {});
      o.Text("    ").DecR(kNoKey, i + 1, 3).Text("  VA ").Hex("va", c.va, wide ? 16 : 8);
      if (c.inImage) {
        o.Text("  RVA ").Hex("rva", c.rva, 8);
        InSection(o, ctx, c.rva);
      } else {
        o.Say(M::TlsOutsideImage).Fact("outsideImage", true);
      }
      o.Nl();
    }
  }
  PrintFields(o, t.fields, ctx, [](Printer& out, std::size_t, std::uint64_t v) {
    out.Hex(v, 8);
    // The alignment by its flag name, as the section table gives it.
    if (std::uint64_t a = (v & kSectionAlignMask) >> 20; a != 0) {
      if (a <= 14) out.Text("  ").Word("align", "ALIGN_" + io::Dec(std::uint64_t{1} << (a - 1)) + "BYTES");
      else out.Word("align", M::TlsAlignInvalid, "invalid");
    }
    if (std::uint64_t rest = v & ~std::uint64_t{kSectionAlignMask}; rest != 0)
      out.Say(M::TlsReservedBits).Hex("reservedBits", rest, 8).Say(M::TlsCloseParen);
  });
  if (t.size > t.fields.KnownSize()) {
    const std::uint64_t past = t.size - t.fields.KnownSize();
    o.Say(M::TlsBytesPastStructure, {past}).Fact("bytesPastStructure", past);
    o.Nl();
  }
}

KESTROVA_PART(Tls)

}  // namespace kestrova::dumper::print
