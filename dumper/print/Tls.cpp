// The TLS directory: its callbacks first, since they run before the entry point,
// then the directory's fields.
#include "dumper/pe/Tls.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintTls(Printer& o, const pe::TlsDirectory& t, const pe::Context& ctx);

using namespace pe;

void PrintTls(Printer& o, const TlsDirectory& t, const Context& ctx) {
  if (!t.present) return;
  const bool wide = ctx.h.opt.pe32plus;
  Field(o, "Callbacks").Dec(t.callbacks);
  if (t.callbacks != 0) o.Text(t.callbacks == 1 ? ", runs before the entry point" : ", run before the entry point");
  o.Nl();
  for (std::uint32_t i = 0; i < t.callbacks && !o.Exhausted(); ++i) {
    TlsCallback c = TlsCallbackAt(ctx, t, i);
    o.Text("    ").DecR(i + 1, 3).Text("  VA ").Hex(c.va, wide ? 16 : 8);
    if (c.inImage) {
      o.Text("  RVA ").Hex(c.rva, 8);
      InSection(o, ctx, c.rva);
    } else {
      o.Text("  (outside the image)");
    }
    o.Nl();
  }
  PrintFields(o, t.fields, ctx, [](Printer& out, std::size_t, std::uint64_t v) {
    out.Hex(v, 8);
    if (std::uint64_t a = (v & kSectionAlignMask) >> 20; a != 0) {
      if (a <= 14) out.Text("  ALIGN_").Dec(std::uint64_t{1} << (a - 1)).Text("BYTES");
      else out.Text("  ALIGN_(invalid)");
    }
    if (std::uint64_t rest = v & ~std::uint64_t{kSectionAlignMask}; rest != 0)
      out.Text("  (reserved bits ").Hex(rest, 8).Ch(')');
  });
  if (t.size > t.fields.KnownSize()) {
    o.Text("  ").Dec(t.size - t.fields.KnownSize()).Text(" more bytes in the directory, past the structure");
    o.Nl();
  }
}

KESTROVA_PART(Tls)

}  // namespace kestrova::dumper::print
